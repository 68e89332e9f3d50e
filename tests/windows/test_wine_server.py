"""The module under Wine's lua.exe, seen from this side over 127.0.0.1: the wake connection a
replaced or stopped server makes to its own port, GET /v1/status, stop and a restart on the same
port, and a host that exits with the server running.

Environment: QM_WINE (the command that runs a Windows program, "|" between words), QM_LUA_EXE,
QM_SOURCE_DIR, QM_BUILD_DIR (the Windows build)."""
import json
import os
import select
import socket
import subprocess
import sys
import time
import traceback

WINE = os.environ["QM_WINE"].split("|")
LUA_EXE = os.environ["QM_LUA_EXE"]
SOURCE_DIR = os.environ["QM_SOURCE_DIR"]
BUILD_DIR = os.environ["QM_BUILD_DIR"]

sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "support"))
import qmhttp  # noqa: E402
from qmhttp import EVENT_LIMIT, free_port, wait_until  # noqa: E402


def z(path):
    return "Z:" + path


class WineHost:
    """lua.exe running tests/windows/wine_host.lua with the DLL; each call runs one Lua line."""

    def __init__(self):
        env = dict(os.environ)
        env["LUA_CPATH"] = z(BUILD_DIR) + "/?.dll"
        env["LUA_PATH"] = z(SOURCE_DIR) + "/tests/lua/?.lua"
        script = z(os.path.join(SOURCE_DIR, "tests", "windows", "wine_host.lua"))
        self.proc = subprocess.Popen(WINE + [LUA_EXE, script], env=env, stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=sys.stderr)
        self.buffer = b""
        line = self.read_line(120)
        if line != "ready":
            raise RuntimeError("the host did not start: %r" % line)

    def read_line(self, limit):
        deadline = time.monotonic() + limit
        while b"\n" not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0:
                raise RuntimeError("no answer from the host within %g s" % limit)
            ready, _, _ = select.select([self.proc.stdout], [], [], left)
            if ready:
                data = os.read(self.proc.stdout.fileno(), 65536)
                if not data:
                    raise RuntimeError("the host ended (status %r)" % self.proc.poll())
                self.buffer += data
        line, self.buffer = self.buffer.split(b"\n", 1)
        return line.decode().rstrip("\r")

    def lua(self, code):
        self.proc.stdin.write(code.encode() + b"\n")
        self.proc.stdin.flush()
        reply = self.read_line(60)
        if not reply.startswith("ok"):
            raise RuntimeError("lua failed: %s (for %s)" % (reply, code))
        return reply[3:].split("\t") if len(reply) > 3 else []

    def close(self):
        try:
            self.proc.stdin.write(b"exit\n")
            self.proc.stdin.close()
            self.proc.wait(EVENT_LIMIT)
        except Exception:
            self.proc.kill()
            self.proc.wait()
        return self.proc.returncode


def listener():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    s.listen(8)
    return s, s.getsockname()[1]


def accept_one(server):
    """Waits for one connection (as long as only a fault takes) and closes it."""
    server.settimeout(EVENT_LIMIT)
    client, _ = server.accept()
    client.close()


def pending_accepts(server):
    """The connections that have arrived and not been accepted yet (accepted and closed)."""
    server.setblocking(False)
    count = 0
    while True:
        try:
            client, _ = server.accept()
        except BlockingIOError:
            return count
        count += 1
        client.close()


def status_or_none(port):
    try:
        status, _, body = qmhttp.get(port, "/v1/status")
        return (status, body) if status == 200 else None
    except OSError:
        return None


def refused(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=EVENT_LIMIT):
            return False
    except OSError:
        return True


host = None


def test_two_starts_make_one_wake_connection_to_the_old_port():
    old, old_port = listener()
    new, new_port = listener()
    try:
        # Each wake thread is started inside the call that asks for it. Its connection is awaited;
        # by the time the last one has come (the stop's), one that an earlier call had wrongly
        # started has come too, and is counted with the others.
        assert host.lua("return m.start(%d, false)" % old_port) == ["true"]
        assert host.lua("return m.start(%d, false)" % new_port) == ["true"]
        accept_one(old)
        assert host.lua("return m.stop()") == ["true"]
        accept_one(new)
        assert pending_accepts(old) == 0, "one wake connection to the old port, none before the second start"
        assert pending_accepts(new) == 0, "one to the new port, from the stop only"
    finally:
        old.close()
        new.close()


def test_a_host_that_exits_with_the_server_running_ends_cleanly():
    # Exit at once, stop first, or let the interpreter close its state with the threads running.
    for ending in ("os.exit(0)", "m.stop() os.exit(0)", None):
        other = WineHost()
        assert other.lua("return m.start(%d, false, nil, 300)" % free_port()) == ["true"]
        if ending:
            other.proc.stdin.write(ending.encode() + b"\n")
            other.proc.stdin.flush()
        other.proc.stdin.close()
        try:
            status = other.proc.wait(60)
        except subprocess.TimeoutExpired:
            other.proc.kill()
            other.proc.wait()
            raise AssertionError("the host did not end (%s)" % ending)
        assert status == 0, "exit status %r (%s)" % (status, ending)


def test_status_from_this_side_then_stop_and_restart_on_the_same_port():
    port = free_port()
    assert host.lua("return m.start(%d, false, nil, 300)" % port) == ["true"]
    answer = wait_until(lambda: status_or_none(port), message="GET /v1/status did not answer 200")
    health = json.loads(answer[1])["health"]
    assert health["pinned"] is True, health
    assert health["listeningPort"] == port, health
    assert health["error"] is None, health
    generation = health["generation"]
    assert host.lua("return m.stop()") == ["true"]
    wait_until(lambda: refused(port), message="the port is not closed after stop")
    assert host.lua("return m.start(%d, false, nil, 300)" % port) == ["true"]
    answer = wait_until(lambda: status_or_none(port), message="the restarted server does not answer on the same port")
    health = json.loads(answer[1])["health"]
    assert health["listeningPort"] == port, health
    assert health["generation"] > generation, (health, generation)
    assert host.lua("return m.stop()") == ["true"]


def main():
    global host
    tests = [(name, fn) for name, fn in sorted(globals().items()) if name.startswith("test_")]
    only = sys.argv[1:]
    passed = failed = 0
    host = WineHost()
    try:
        for name, fn in tests:
            if only and name not in only:
                continue
            try:
                fn()
                passed += 1
                print("PASS", name)
            except Exception:
                failed += 1
                print("FAIL", name)
                traceback.print_exc()
                host.lua("return m.stop()")
    finally:
        status = host.close()
        if status != 0:
            print("the host ended with status %r" % status)
            failed += 1
    print("%d passed, %d failed" % (passed, failed))
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
