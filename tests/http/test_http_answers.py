"""Every failure answer of a connection, byte for byte, counted in "rejected" exactly once; the
Host, Origin and method rules; the answer header block."""
import os
import socket
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import qmhttp  # noqa: E402
from qmhttp import Host, raw, run_tests, split_answer  # noqa: E402

FIXED_TAIL = [("Cache-Control", "no-store"), ("X-Content-Type-Options", "nosniff"), ("Connection", "close")]
PAGE = "https://map.quillmarsh-export.io"

host = None


def rejected_and_requests():
    """The counts once every connection before has ended (so has counted all it will), read
    without a request of their own."""
    host.wait_idle()
    doc = host.lua_status()
    return doc["health"]["rejected"], doc["health"]["requests"]


def get(*args, **kwargs):
    """One GET once the connections before it have ended: on a loaded machine their threads may
    end late, and a client that goes faster meets the server's admission limits."""
    host.wait_idle()
    return qmhttp.get(*args, **kwargs)


def expect_answer(data, code, reason, body, extra=(), rejected=1, source=None):
    """Sends raw bytes; checks the whole answer and that it counted one rejection."""
    before, _ = rejected_and_requests()
    answer = raw(host.port, data, source)
    line, fields, got_body = split_answer(answer)
    assert line == "HTTP/1.1 %d %s" % (code, reason), (line, data)
    want = [("Content-Type", "text/plain; charset=utf-8"), ("Content-Length", str(len(body)))]
    want += list(extra) + FIXED_TAIL
    assert fields == want, (fields, want, data)
    assert got_body == body, (got_body, data)
    after, _ = rejected_and_requests()
    assert after - before == rejected, (after - before, data)


def head(target="/v1/status", method="GET", host_value=None, extra=""):
    host_value = host_value if host_value is not None else "localhost:%d" % host.port
    return ("%s %s HTTP/1.1\r\nHost: %s\r\n%s\r\n" % (method, target, host_value, extra)).encode("latin-1")


def origin_lines(origin):
    return [("Access-Control-Allow-Origin", origin), ("Vary", "Origin")]


def test_failure_table():
    expect_answer(b"GET / HTTP/1.1\r\n" + b"X-Fill: " + b"a" * 17000, 431,
                  "Request Header Fields Too Large", b"Request Header Fields Too Large")
    many = "".join("X-H%d: v\r\n" % i for i in range(33))
    expect_answer(head(extra=many), 431, "Request Header Fields Too Large", b"Request Header Fields Too Large")
    expect_answer(b"GET / HTTP/1.1\r\nHost: x\r\n folded\r\n\r\n", 400, "Bad Request", b"Bad Request")
    expect_answer(head(extra="X-A: 1\r\n folded\r\n"), 400, "Bad Request", b"Bad Request")
    expect_answer(b"GET /\xff HTTP/1.1\r\nHost: localhost:%d\r\n\r\n" % host.port, 400, "Bad Request", b"Bad Request")
    expect_answer(head(host_value="localhost:1"), 421, "Misdirected Request", b"Misdirected Request")
    expect_answer(head(extra="Origin: http://example.com\r\n"), 403, "Forbidden", b"Forbidden")
    expect_answer(head(method="POST", extra="Origin: http://localhost:5173\r\n"), 405, "Method Not Allowed",
                  b"Method Not Allowed", origin_lines("http://localhost:5173"))
    expect_answer(head("/v1/aircraft"), 403, "Forbidden",
                  b"game data is served to pages: an allowed Origin header is required")
    expect_answer(head("/v1/nothing", extra="Origin: %s\r\n" % PAGE), 404, "Not Found", b"Not Found",
                  origin_lines(PAGE))
    expect_answer(head("/v1/Status"), 404, "Not Found", b"Not Found")


def test_status_answer_and_query():
    before_rejected, before_requests = rejected_and_requests()
    code, fields, body = get(host.port, "/v1/status?anything=1", [("Host", "LOCALHOST:+0%d" % host.port)])
    assert code == 200
    assert fields[0] == ("Content-Type", "application/json")
    assert fields[1] == ("Content-Length", str(len(body)))
    assert fields[2:] == FIXED_TAIL, fields
    after_rejected, after_requests = rejected_and_requests()
    assert after_rejected == before_rejected
    assert after_requests - before_requests == 1, (before_requests, after_requests)
    code, fields, _ = get(host.port, "/v1/status", [("Host", "127.0.0.1:%d" % host.port), ("Origin", PAGE)])
    assert code == 200 and fields[2:4] == origin_lines(PAGE), fields


def test_host_rule():
    port = host.port
    cases = [
        ([("Host", "localhost:%d" % port)], 200),
        ([("Host", "LOCALHOST:+%d" % port)], 200),
        ([("Host", "localhost:0%d" % port)], 200),
        ([("Host", " \t127.0.0.1:%d \t" % port)], 200),
        ([("Host", "localhost")], 421),
        ([("Host", "localhost:%d" % (port + 1))], 421),
        ([("Host", "localhost:-%d" % port)], 421),
        ([("Host", "[::1]:%d" % port)], 421),
        ([("Host", "127.0.0.2:%d" % port)], 421),
        ([("Host", "localhost:%d" % port), ("Host", "localhost:%d" % port)], 421),
        ([], 421),
    ]
    for headers, want in cases:
        code, _, _ = get(port, "/v1/status", headers)
        assert code == want, (headers, code)


def test_origin_rule():
    port = host.port
    allowed = [PAGE, "http://[::1]", "http://[::1]:8080", "http://localhost", "http://LocalHost:3000",
               "http://127.0.0.1:%d" % port, "http://10.0.0.7", "http://172.16.5.4:80", "http://192.168.1.20:5173"]
    refused = ["https://localhost", "http://192.168.1.20:123456", "http://example.com", "http://8.8.8.8",
               "http://172.32.0.1", "http://localhost/", "null", PAGE + "/", "http://010.0.0.1"]
    for origin in allowed:
        for target in ("/v1/status", "/v1/nothing"):
            code, fields, _ = get(port, target, [("Host", "localhost:%d" % port), ("Origin", origin)])
            assert code in (200, 404), (origin, code)
            assert ("Access-Control-Allow-Origin", origin) in fields and ("Vary", "Origin") in fields, (origin, fields)
    for origin in refused:
        for target in ("/v1/status", "/v1/aircraft", "/v1/nothing"):
            code, fields, body = get(port, target, [("Host", "localhost:%d" % port), ("Origin", origin)])
            assert (code, body) == (403, b"Forbidden"), (origin, target, code)
    code, _, _ = get(port, "/v1/status", [("Host", "localhost:%d" % port), ("Origin", "http://localhost"),
                                          ("Origin", "http://localhost")])
    assert code == 403


def test_method_comes_before_the_path():
    for target in ("/v1/status", "/nothing", "/v1/aircraft"):
        answer = qmhttp.request(host.port, "POST", target, [("Host", "localhost:%d" % host.port)])
        assert split_answer(answer)[0] == "HTTP/1.1 405 Method Not Allowed", (target, answer)


def test_data_routes_answer_only_an_allowed_origin():
    for target in ("/v1/aircraft", "/v1/neutrals", "/v1/mesh?page=x&theatre=Caucasus"):
        code, _, body = get(host.port, target, [("Host", "localhost:%d" % host.port), ("Origin", PAGE)])
        assert code == 200, (target, code, body)
        code, _, body = get(host.port, target, [("Host", "localhost:%d" % host.port)])
        assert code == 403 and body.startswith(b"game data is served to pages"), (target, code)


def test_head_lines_as_the_parser_reads_them():
    # Bare line feeds and empty lines before the request line are read like CRLF heads.
    for data in (b"GET /v1/status HTTP/1.1\nHost: localhost:%d\n\n" % host.port,
                 b"\r\n\nGET /v1/status HTTP/1.1\r\nHost: localhost:%d\n\r\n" % host.port):
        line, _, body = split_answer(raw(host.port, data))
        assert line == "HTTP/1.1 200 OK" and body.startswith(b"{"), (line, data)
    # A 33rd header line is answered 431, though the head has no blank line yet and the peer keeps
    # the connection open (waiting for the head's deadline would close without an answer).
    many = "".join("X-H%d: v\r\n" % i for i in range(32)) + "X-"
    before, _ = rejected_and_requests()
    with qmhttp.connect(host.port) as s:
        s.sendall(("GET / HTTP/1.1\r\n" + many).encode())
        answer = qmhttp.read_all(s)
    assert split_answer(answer)[0] == "HTTP/1.1 431 Request Header Fields Too Large", answer
    after, _ = rejected_and_requests()
    assert after - before == 1


def test_closed_without_answer_is_not_counted():
    before, _ = rejected_and_requests()
    with qmhttp.connect(host.port) as s:
        s.sendall(b"GET /v1/sta")
        s.shutdown(socket.SHUT_WR)
        assert qmhttp.read_all(s) == b""
    # Once the connection's thread has given its counts back, it has counted all it ever will.
    host.wait_idle()
    after, _ = rejected_and_requests()
    assert after == before, (before, after)


if __name__ == "__main__":
    with Host() as h:
        host = h
        run_tests([test_failure_table, test_status_answer_and_query, test_host_rule, test_origin_rule,
                   test_method_comes_before_the_path, test_data_routes_answer_only_an_allowed_origin,
                   test_head_lines_as_the_parser_reads_them, test_closed_without_answer_is_not_counted])
