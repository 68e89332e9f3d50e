"""A page that keeps what its mesh streams send it: each request names every area it shows and, in
"have", the pieces it holds, and the page applies the drop record. Whatever the order of requests
(its own view growing, other pages re-cutting its pieces while it is away, its own stream replaced
half-way), it ends holding exactly the pieces, id for id and byte for byte, that a fresh page gets
for the same areas."""
import contextlib
import os
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import qmhttp  # noqa: E402
from test_mesh_route import Stream  # noqa: E402
from test_terrain_route import SimHost  # noqa: E402


def box(lat1, lon1, lat2, lon2):
    corners = [(lat1, lon1), (lat1, lon2), (lat2, lon2), (lat2, lon1)]
    parts = ["%.5f,%.5f" % corners[0]]
    for (a, b), (c, d) in zip(corners, corners[1:]):
        parts.append("%d,%d" % (round((c - a) * 1e5), round((d - b) * 1e5)))
    return ";".join(parts)


# Four adjacent boxes in the hills next to the simulated map's origin (33.5N 65.5E): two side by
# side, a third along both of them, a fourth along the east side of all three.
BOXES = [box(33.501, 65.501, 33.505, 65.506), box(33.501, 65.506, 33.505, 65.511),
         box(33.505, 65.501, 33.509, 65.511), box(33.501, 65.511, 33.509, 65.516)]
# A band about 4 km wide over all of them, built as more than one group, and a band north of it.
WIDE = box(33.501, 65.501, 33.509, 65.545)
NORTH = box(33.509, 65.501, 33.513, 65.545)


def id_ranges(ids):
    runs = []
    for i in sorted(ids):
        if runs and runs[-1][1] + 1 == i:
            runs[-1][1] = i
        else:
            runs.append([i, i])
    return ",".join(str(a) if a == b else "%d-%d" % (a, b) for a, b in runs)


def piece_id(payload):
    return struct.unpack_from("<I", payload, 24)[0]


class Page:
    """A page's pieces: id -> piece frame payload."""

    def __init__(self, port, name):
        self.port, self.name = port, name
        self.held = {}
        self.epoch = None
        self.drops = []

    def open(self, areas):
        query = "page=%s&theatre=Afghanistan&areas=%s" % (self.name, "|".join(areas))
        if self.held:
            query += "&have=%s:%s" % (self.epoch, id_ranges(self.held))
        s = Stream(self.port, query)
        s.sock.settimeout(120)
        kind, head = s.frame()
        assert kind == 1, kind
        self.epoch = head["epoch"]
        return s

    def take(self, kind, payload):
        if kind == 3:
            self.held[piece_id(payload)] = bytes(payload)
        elif kind == 2:
            self.drops.append(payload["drop"])
            for part in payload["drop"].split(","):
                first, _, last = part.partition("-")
                for i in range(int(first), int(last or first) + 1):
                    self.held.pop(i, None)

    def finish(self, s):
        """Reads the stream to its complete end, keeping what it sends, and closes it."""
        try:
            while True:
                kind, payload = s.frame()
                if kind == 6:
                    assert payload == {"end": "complete", "failed": 0}, payload
                    return
                self.take(kind, payload)
        finally:
            s.close()

    def show(self, areas):
        """Runs one stream of the areas to its end."""
        self.finish(self.open(areas))


@contextlib.contextmanager
def sim_host():
    host = SimHost("tm")
    try:
        yield host
    finally:
        host.close()


def assert_holds_what_a_fresh_page_gets(port, page, areas, fresh_name):
    fresh = Page(port, fresh_name)
    fresh.show(areas)
    assert fresh.held, "a fresh page got no piece"
    assert sorted(page.held) == sorted(fresh.held), (page.name, sorted(page.held), sorted(fresh.held))
    differ = [i for i in fresh.held if page.held[i] != fresh.held[i]]
    assert not differ, (page.name, differ)


def test_a_page_extending_its_view_step_by_step():
    with sim_host() as host:
        page = Page(host.port, "extend")
        for n in range(1, len(BOXES) + 1):
            page.show(BOXES[:n])
            assert_holds_what_a_fresh_page_gets(host.port, page, BOXES[:n], "fresh%d" % n)
        # The later boxes re-cut pieces the page held: it was told to drop them.
        assert page.drops, "no drop record"


def test_a_page_coming_back_after_others_re_cut_its_pieces():
    with sim_host() as host:
        away = Page(host.port, "away")
        away.show(BOXES[:2])
        before = set(away.held)
        # Another page extends the view around the away page's pieces, re-cutting them.
        other = Page(host.port, "other")
        for n in range(1, len(BOXES) + 1):
            other.show(BOXES[:n])
        away.show(BOXES[:2])
        assert set(away.held) != before, "nothing was re-cut"
        assert_holds_what_a_fresh_page_gets(host.port, away, BOXES[:2], "fresh")


def test_a_fresh_page_whose_pieces_are_re_cut_during_its_stream():
    with sim_host() as host:
        page = Page(host.port, "wide")
        page.show([WIDE])
        # The second group re-cut the first group's piece after it was sent.
        assert page.drops, "no drop record"
        assert_holds_what_a_fresh_page_gets(host.port, page, [WIDE], "fresh")


def test_a_page_whose_stream_is_replaced_half_way():
    with sim_host() as host:
        page = Page(host.port, "swap")
        page.show(BOXES[:1])
        # The view grows over the wide band; once a piece of it has arrived while squares are still
        # to do, the page grows its view again and asks with what it holds by then.
        s = page.open(BOXES[:1] + [WIDE])
        sent = 0
        while True:
            kind, payload = s.frame()
            assert kind != 6, payload
            page.take(kind, payload)
            sent += kind == 3
            if kind == 4 and sent and payload["squares"]["done"] < payload["squares"]["total"]:
                break
        again = page.open(BOXES[:1] + [WIDE, NORTH])
        # The first stream ends; a page that asked anew no longer reads it.
        while s.frame()[0] != 6:
            pass
        s.close()
        page.finish(again)
        assert_holds_what_a_fresh_page_gets(host.port, page, BOXES[:1] + [WIDE, NORTH], "fresh")


if __name__ == "__main__":
    qmhttp.run_tests([test_a_page_extending_its_view_step_by_step,
                      test_a_page_coming_back_after_others_re_cut_its_pieces,
                      test_a_fresh_page_whose_pieces_are_re_cut_during_its_stream,
                      test_a_page_whose_stream_is_replaced_half_way])
