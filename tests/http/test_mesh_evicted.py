"""A page that comes back after the store let its pieces go. The store's eviction limit is set low
while no stream runs, so that the pieces a page holds are evicted when the test wants it, and set
back before the next request. Whatever happened meanwhile (a neighbour built over the cells of an
evicted piece, half of its area rebuilt by another page, some of the pieces of a wider view
evicted), the page that comes back naming what it holds ends holding exactly the pieces, id for id
and byte for byte, that a fresh page gets for the same areas."""
import contextlib
import json
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import qmhttp  # noqa: E402
from test_mesh_have import BOXES, WIDE, Page, assert_holds_what_a_fresh_page_gets, box  # noqa: E402
from test_terrain_route import SimHost, get  # noqa: E402

FULL_LIMIT = 67108864
A, B = BOXES[0], BOXES[1]
A_WEST = box(33.501, 65.501, 33.505, 65.5035)  # the western half of A


class StoreLimitHost(SimHost):
    def __init__(self):
        super().__init__("tm", launcher=os.environ["QM_STORE_LIMIT_HOST"], seconds=600)

    def store(self):
        code, _, body = get(self.port, "/v1/status")
        assert code == 200, code
        return json.loads(body)["mesh"]["store"]

    def eviction_limit(self, limit):
        self.proc.stdin.write("eviction-limit %d\n" % limit)
        self.proc.stdin.flush()
        while True:
            line = self.proc.stdout.readline()
            assert line, "the host ended"
            if line.strip() == "eviction-limit %d" % limit:
                return

    def evict_down_to(self, limit):
        """Lets the store sweep down to `limit` bytes, then gives it its room back."""
        self.eviction_limit(limit)
        qmhttp.wait_until(lambda: self.store()["bytes"] <= limit, interval=0.1,
                          message=lambda: "the store stayed at %r" % self.store())
        self.eviction_limit(FULL_LIMIT)

    def pieces_bytes(self):
        store = self.store()
        return store["bytes"] - 36 * store["samples"]


@contextlib.contextmanager
def store_limit_host():
    host = StoreLimitHost()
    try:
        yield host
    finally:
        host.close()


def come_back_after_eviction(first, other, back):
    """A page shows `first`; every piece is evicted; another page shows `other`; the page comes back
    for `back`, naming what it holds."""
    with store_limit_host() as host:
        page = Page(host.port, "back")
        page.show(first)
        named = set(page.held)
        host.evict_down_to(0)
        assert host.store()["pieces"] == 0
        Page(host.port, "other").show(other)
        page.show(back)
        assert not named & set(page.held), "the page kept an evicted piece"
        assert_holds_what_a_fresh_page_gets(host.port, page, back, "fresh")


def test_a_page_back_after_its_piece_was_evicted_and_a_neighbour_built_over_its_cells():
    come_back_after_eviction([A], [B], [A, B])


def test_a_page_back_after_its_piece_was_evicted_and_half_its_area_rebuilt():
    come_back_after_eviction([A], [A_WEST], [A])


def test_a_page_that_zooms_out_and_back_after_its_oldest_pieces_were_evicted():
    with store_limit_host() as host:
        page = Page(host.port, "zoom")
        page.show([A])
        page.show([WIDE])
        before = host.store()
        host.evict_down_to(host.pieces_bytes() // 2)
        after = host.store()
        assert 0 < after["pieces"] < before["pieces"], (before, after)
        page.show([A])
        assert_holds_what_a_fresh_page_gets(host.port, page, [A], "fresh")


if __name__ == "__main__":
    qmhttp.run_tests([test_a_page_back_after_its_piece_was_evicted_and_a_neighbour_built_over_its_cells,
                      test_a_page_back_after_its_piece_was_evicted_and_half_its_area_rebuilt,
                      test_a_page_that_zooms_out_and_back_after_its_oldest_pieces_were_evicted])
