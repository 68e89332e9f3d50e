"""Helpers of the Python tests (HTTP, browser, Wine) and the soak scripts: a module host in another
process, free ports, waits, raw requests."""
import json
import os
import socket
import subprocess
import sys
import time

BUILD_DIR = os.environ.get("QM_BUILD_DIR", "build/default")
SOURCE_DIR = os.environ.get("QM_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
# How long a test waits for something it expects to happen: far longer than a loaded machine takes,
# so that only a fault runs into it. Tests wait for what they can observe, never for a fixed time.
EVENT_LIMIT = 60.0


def wait_until(what, limit=EVENT_LIMIT, interval=0.05, message=None):
    """Calls `what` until it gives a true value, and returns that value; fails once `limit` seconds
    have passed first (with `message`, or what it returns when it is callable)."""
    deadline = time.monotonic() + limit
    while True:
        value = what()
        if value:
            return value
        if time.monotonic() > deadline:
            text = message() if callable(message) else message
            raise AssertionError(text or "still not there after %.0f s" % limit)
        time.sleep(interval)


def host_env():
    """The environment of a host process: under ThreadSanitizer its runtime comes as
    QM_CHILD_PRELOAD (python3 itself crashes with it preloaded) and goes to the host only."""
    env = dict(os.environ)
    if env.get("QM_CHILD_PRELOAD"):
        env["LD_PRELOAD"] = env["QM_CHILD_PRELOAD"]
    return env


def wait_for_projection(port, limit=20.0):
    """Whether the host's mission gets a map projection (seen in GET /v1/status) within `limit`
    seconds: what meshing needs first."""
    deadline = time.monotonic() + limit
    while True:
        try:
            code, _, body = get(port, "/v1/status")
            if code == 200 and json.loads(body)["mesh"]["projection"]["kind"] != "none":
                return True
        except OSError:
            pass
        if time.monotonic() > deadline:
            return False
        time.sleep(0.2)


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Host:
    """lua5.1 running tests/http/host.lua with the built module, serving on `port`."""

    def __init__(self, port=None):
        self.port = port or free_port()
        script = os.path.join(SOURCE_DIR, "tests", "http", "host.lua")
        self.proc = subprocess.Popen(["lua5.1", script, BUILD_DIR, str(self.port)], env=host_env(),
                                     stdout=subprocess.PIPE, stderr=sys.stderr, text=True)
        line = self.proc.stdout.readline()
        if not line.startswith("serving"):
            self.close()
            raise RuntimeError("host did not start: %r" % line)
        self.control_port = int(line.split()[3])
        self.control = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.control.settimeout(EVENT_LIMIT)
        self.wait_serving()

    def lua(self, code):
        """Runs Lua code in the host (with `m` the module); returns its results as texts."""
        self.control.sendto(code.encode(), ("127.0.0.1", self.control_port))
        reply = self.control.recv(65536).decode()
        if not reply.startswith("ok"):
            raise RuntimeError("lua failed: " + reply)
        return reply[3:].split("\t") if len(reply) > 3 else []

    def wait_serving(self, port=None):
        port = port or self.port
        wait_until(lambda: serving(port), message="not serving on %d" % port)

    def status(self):
        """GET /v1/status. While a loaded machine runs the threads of earlier connections late, the
        server may answer busy: asked again then, as a page would."""
        def answered():
            status, _, body = get(self.port, "/v1/status")
            assert status in (200, 503), status
            return body if status == 200 else None
        return json.loads(wait_until(answered, message="the status stayed busy"))

    def wait_for(self, condition):
        """Reads the status (as the host's `status` gives it) until `condition` holds for it, and
        returns it."""
        last = [None]

        def holds():
            last[0] = self.lua_status()
            return last[0] if condition(last[0]) else None
        return wait_until(holds, message=lambda: "status stayed %r" % last[0])

    def lua_status(self):
        """The status document as the host's `status` gives it: read without a connection, so
        that it neither counts as a request nor meets the server's admission."""
        def document():
            reply = self.lua("return m.status()")
            return reply if reply and reply[0] != "nil" else None  # nil, "busy": a lock was held
        return json.loads(wait_until(document, interval=0.01, message="the status stayed busy")[0])

    def wait_idle(self, open_connections=0):
        """Waits until the server has no more than `open_connections` connections open: every other
        one has ended on the server's side, with all it counts counted and its slot given back. A
        loaded machine may run the connections' threads late; a test that counts, or that must not
        meet the server's admission limits, waits for them first."""
        wait_until(lambda: self.lua_status()["health"]["openConnections"] <= open_connections,
                   message=lambda: "connections left open: %r" % self.lua_status()["health"])

    def close(self):
        try:
            if self.proc.poll() is None:
                try:
                    self.control.sendto(b"exit", ("127.0.0.1", self.control_port))
                    self.proc.wait(EVENT_LIMIT)
                except Exception:
                    pass
        finally:
            if self.proc.poll() is None:
                self.proc.kill()
                self.proc.wait()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class MissionHost(Host):
    """The test host in a mission of the simulated world (sim/world.lua) on the own server, whose
    terrain batches nobody takes: the sampler's questions stay unanswered, so a job never finishes
    and its stream stays "meshing" for as long as a test looks at it."""

    def __init__(self, mode="tm"):
        super().__init__()
        sim = json.dumps(os.path.abspath(os.path.join(SOURCE_DIR, "sim")))
        self.lua('package.path = %s .. "/?.lua;" .. package.path\n'
                 'local world_lib = require("world")\n'
                 'local world = world_lib.new("%s")\n'
                 'm.mission_start(world_lib.OWN_SERVER, "Synthetic mission", world.theatre, 43200)\n'
                 'm.projection_anchors(unpack(world.anchors()))' % (sim, mode))
        self.wait_for(lambda status: status["mesh"]["projection"]["kind"] != "none")



_next_source = [0]


def spread_source():
    """A loopback source address of its own for each call (127.0.1.1 to 127.0.1.250 in turn), so
    that many requests of one test do not run into the per-peer connection bucket."""
    _next_source[0] = _next_source[0] % 250 + 1
    return "127.0.1.%d" % _next_source[0]


def connect(port, source=None, timeout=EVENT_LIMIT):
    source = source or spread_source()
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.settimeout(timeout)
    s.bind((source, 0))
    s.connect(("127.0.0.1", port))
    return s


def read_all(s, limit=EVENT_LIMIT):
    """Reads until the server closes; returns the bytes."""
    s.settimeout(limit)
    chunks = []
    while True:
        try:
            data = s.recv(65536)
        except ConnectionResetError:
            break
        if not data:
            break
        chunks.append(data)
    return b"".join(chunks)


def raw(port, data, source=None):
    """Sends raw bytes and returns everything the server answers before it closes."""
    with connect(port, source) as s:
        s.sendall(data)
        return read_all(s)


def split_answer(answer):
    """(status line, [(name, value)], body) of a raw answer."""
    head, _, body = answer.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    fields = [tuple(line.split(": ", 1)) for line in lines[1:]]
    return lines[0], fields, body


def request(port, method, target, headers=None, source=None):
    lines = ["%s %s HTTP/1.1" % (method, target)]
    if headers is None:
        headers = [("Host", "127.0.0.1:%d" % port)]
    lines += ["%s: %s" % h for h in headers]
    return raw(port, ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1"), source)


def serving(port):
    """Whether the port answers HTTP (any answer)."""
    try:
        return get(port, "/nothing")[0] is not None
    except OSError:
        return False


def get(port, target, headers=None, source=None):
    """(code, fields, body) of one GET."""
    answer = request(port, "GET", target, headers, source)
    if not answer:
        return None, [], b""
    line, fields, body = split_answer(answer)
    return int(line.split()[1]), fields, body


def still_open(s):
    """Whether the server still holds the connection (it has sent nothing and not closed it)."""
    s.setblocking(False)
    try:
        s.recv(1)
        return False
    except BlockingIOError:
        return True
    except OSError:
        return False


def while_held(hold, probe, attempts=5):
    """Holds connections and returns probe() once every held connection was still open after it.
    `hold(held)` opens them into the list `held`, each with a first byte sent, so that the server
    keeps it until its 2 s head deadline; the server accepts in order, so all of them are counted
    before the probe comes. On a machine slow enough for the server to cut one anyway before the
    probe ran, the probe's answer says nothing and the hold is made again."""
    for _ in range(attempts):
        held = []
        try:
            hold(held)
            result = probe()
            intact = all(still_open(s) for s in held)
        finally:
            for s in held:
                s.close()
        if intact:
            return result
    raise AssertionError("the server cut a held connection before the probe %d times" % attempts)


def run_tests(tests):
    failed = 0
    for test in tests:
        try:
            test()
            print("ok", test.__name__)
        except Exception:
            failed += 1
            import traceback
            print("FAILED", test.__name__)
            traceback.print_exc()
    sys.stdout.flush()
    sys.exit(1 if failed else 0)
