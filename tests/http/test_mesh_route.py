"""GET /v1/mesh through a host without a mission: the query's refusals, the stream limits, job-less
streams with their beats, and a second stream of a page replacing the first."""
import json
import os
import socket
import struct
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import qmhttp  # noqa: E402

ORIGIN = "https://map.quillmarsh-export.io"


def headers(port):
    return [("Host", "127.0.0.1:%d" % port), ("Origin", ORIGIN)]


def get(port, target, source=None):
    answer = qmhttp.request(port, "GET", target, headers(port), source)
    line, fields, body = qmhttp.split_answer(answer)
    return line, dict(fields), body


class Stream:
    """One mesh stream read frame by frame."""

    def __init__(self, port, query, source=None):
        self.sock = qmhttp.connect(port, source, timeout=qmhttp.EVENT_LIMIT)
        lines = ["GET /v1/mesh?%s HTTP/1.1" % query] + ["%s: %s" % h for h in headers(port)]
        self.sock.sendall(("\r\n".join(lines) + "\r\n\r\n").encode())
        self.buf = b""
        while b"\r\n\r\n" not in self.buf:
            self._more()
        head, _, self.buf = self.buf.partition(b"\r\n\r\n")
        self.head = head.decode("latin-1")

    def _more(self):
        data = self.sock.recv(65536)
        if not data:
            raise EOFError
        self.buf += data

    def frame(self):
        """(kind, payload); payload is a decoded JSON object for the JSON kinds."""
        while len(self.buf) < 8:
            self._more()
        length, kind = struct.unpack("<II", self.buf[:8])
        while len(self.buf) < 8 + length:
            self._more()
        payload, self.buf = self.buf[8:8 + length], self.buf[8 + length:]
        if kind in (1, 2, 4, 6):
            payload = json.loads(payload)
        return kind, payload

    def until_end(self):
        frames = []
        while True:
            kind, payload = self.frame()
            frames.append((kind, payload))
            if kind == 6:
                return frames

    def closed(self):
        """True when the server closed the connection after everything read."""
        self.sock.settimeout(qmhttp.EVENT_LIMIT)
        try:
            return self.sock.recv(1) == b""
        except ConnectionResetError:
            return True

    def close(self):
        self.sock.close()


def test_refusals():
    with qmhttp.Host() as host:
        port = host.port
        cases = [
            ("/v1/mesh", "400 Bad Request", b"missing page"),
            ("/v1/mesh?page=a.b&theatre=x", "400 Bad Request", b"page must be 1 to 64 letters, digits, - or _"),
            ("/v1/mesh?page=p", "400 Bad Request", b"missing theatre"),
            ("/v1/mesh?page=p&theatre=a%4", "400 Bad Request", b"theatre isn't printable text"),
            ("/v1/mesh?page=p&theatre=" + "x" * 65, "400 Bad Request", b"theatre must be 1 to 64 characters"),
            ("/v1/mesh?page=p&theatre=x&probe=1e3", "400 Bad Request", b"probe must be 1 to 3600 seconds"),
            ("/v1/mesh?page=p&theatre=x&areas=x", "400 Bad Request",
             b"areas: only digits, '.', '-', ',', ';' and '|'"),
            ("/v1/mesh?page=p&theatre=x&have=1", "400 Bad Request", b"have: <epoch>:<ranges>"),
            ("/v1/mesh?page=p&theatre=x&points=true", "400 Bad Request", b"points must be 0 or 1"),
            ("/v1/mesh?page=p&theatre=x&areas=33.5,64;100,0;0,100", "503 Service Unavailable", b"not in a mission"),
        ]
        # Each refusal is counted once its connection has ended; the counts are read without one.
        host.wait_idle()
        rejected_before = host.lua_status()["health"]["rejected"]
        for target, status, body in cases:
            host.wait_idle()
            line, fields, got = get(port, target)
            assert line == "HTTP/1.1 " + status, (target, line)
            assert got == body, (target, got)
            assert fields["Content-Type"] == "text/plain; charset=utf-8"
            assert fields["Access-Control-Allow-Origin"] == ORIGIN
            assert fields.get("Retry-After") == ("5" if status.startswith("503") else None), (target, fields)
        host.wait_idle()
        assert host.lua_status()["health"]["rejected"] == rejected_before + len(cases)

        # A mission on another server refuses even a job-less request.
        host.lua('m.mission_start("Elsewhere", "Other", "Caucasus", 0)')
        host.wait_for(lambda status: status["state"] == "other-server")
        for target in ("/v1/mesh?page=p&theatre=Caucasus", "/v1/mesh?page=p&theatre=x&areas=33.5,64;100,0;0,100"):
            line, _, body = get(port, target)
            assert (line, body) == ("HTTP/1.1 403 Forbidden", b"Forbidden"), (target, line, body)


def test_jobless_streams():
    with qmhttp.Host() as host:
        # Without a probe: the head frame and the complete end, nothing else; then the close.
        s = Stream(host.port, "page=solo&theatre=Caucasus")
        assert s.head.startswith("HTTP/1.1 200 OK\r\n"), s.head
        assert "Content-Type: application/octet-stream" in s.head
        assert "Access-Control-Allow-Origin: %s" % ORIGIN in s.head
        assert "Content-Length" not in s.head
        frames = s.until_end()
        assert [k for k, _ in frames] == [1, 6], frames
        head = frames[0][1]
        assert head["api"] == 1 and head["exporter"] == "1.1.0" and head["theatre"] == "Caucasus"
        assert head["projection"] == "none" and head["squares"] == 0 and head["refused"] == []
        assert len(head["epoch"]) == 16
        assert head["epoch"] == host.status()["mesh"]["epoch"]
        assert frames[1][1] == {"end": "complete", "failed": 0}
        assert s.closed()
        s.close()

        # A probe of 3 s in the menu: paused beats, then the complete end at 3 s. The beats come a
        # second after the turn of the last one, so a loaded machine that runs the stream's turns
        # late sees fewer than the three of a quiet one (their timing is held on a test clock in
        # the unit tests); here the stream lasts at least its 3 s.
        started = time.monotonic()
        s = Stream(host.port, "page=probe&theatre=Caucasus&probe=3")
        frames = s.until_end()
        took = time.monotonic() - started
        states = [p for k, p in frames if k == 4]
        assert 1 <= len(states) <= 3 and [p["beat"] for p in states] == list(range(1, len(states) + 1)), states
        assert all(p["state"] == "paused: menu" and p["owed"] == 0 for p in states), states
        assert frames[-1][1] == {"end": "complete", "failed": 0}
        assert took >= 3, took
        s.close()

        # The end is recorded just after the last bytes went out.
        streams = host.wait_for(lambda status: status["mesh"]["streams"]["ends"]["complete"] >= 2)["mesh"]["streams"]
        assert streams["recent"][0]["page"] == "prob" and streams["recent"][0]["reason"] == "complete"


def test_second_stream_of_a_page_replaces_the_first():
    with qmhttp.Host() as host:
        first = Stream(host.port, "page=twice&theatre=Caucasus&probe=60")
        assert first.frame()[0] == 1
        assert first.frame()[1]["state"] == "paused: menu"
        opened = host.status()["mesh"]["streams"]["open"]
        assert [o["page"] for o in opened] == ["twic"], opened
        second = Stream(host.port, "page=twice&theatre=Caucasus&probe=60")
        assert second.frame()[0] == 1
        # The first stream ends "replaced" long before its own probe's end (when it would end
        # "complete"); that it ends with the wake and not a beat later is held on a test clock in
        # the unit tests.
        frames = first.until_end()
        assert frames[-1] == (6, {"end": "replaced"}), frames
        assert all(kind == 4 for kind, _ in frames[:-1]), frames
        assert first.closed()
        first.close()
        status = host.wait_for(lambda status: status["mesh"]["streams"]["ends"]["replaced"] >= 1)["mesh"]["streams"]
        assert status["ends"]["replaced"] == 1
        assert len(status["open"]) == 1
        second.close()
        # The closed peer ends the second stream at its next beat.
        ends = host.wait_for(lambda status: status["mesh"]["streams"]["open"] == [])["mesh"]["streams"]["ends"]
        assert ends["closed"] + ends["reset"] == 1, ends


def test_stream_limits():
    with qmhttp.Host() as host:
        a = Stream(host.port, "page=a&theatre=C&probe=30", source="127.0.1.201")
        b = Stream(host.port, "page=b&theatre=C&probe=30", source="127.0.1.201")
        line, fields, body = get(host.port, "/v1/mesh?page=c&theatre=C&probe=30", source="127.0.1.201")
        assert (line, body) == ("HTTP/1.1 503 Service Unavailable", b"too many mesh streams open, try again"), line
        assert fields["Retry-After"] == "5"
        others = [Stream(host.port, "page=o%d&theatre=C&probe=30" % i, source="127.0.1.%d" % (210 + i))
                  for i in range(4)]
        line, _, body = get(host.port, "/v1/mesh?page=x&theatre=C&probe=30", source="127.0.1.220")
        assert (line, body) == ("HTTP/1.1 503 Service Unavailable", b"too many mesh streams open, try again"), line
        for s in [a, b] + others:
            s.close()
        # The slots come back once the streams see their peers gone.
        qmhttp.wait_until(lambda: get(host.port, "/v1/mesh?page=c&theatre=C", source="127.0.1.201")[0] ==
                          "HTTP/1.1 200 OK", interval=0.2)


if __name__ == "__main__":
    qmhttp.run_tests([test_refusals, test_jobless_streams, test_second_stream_of_a_page_replaces_the_first,
                      test_stream_limits])
