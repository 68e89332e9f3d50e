"""Helpers of the HTTP tests: a module host in another process, free ports, raw requests."""
import json
import os
import socket
import subprocess
import sys
import time

BUILD_DIR = os.environ.get("QM_BUILD_DIR", "build/default")
SOURCE_DIR = os.environ.get("QM_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))


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
        self.control.settimeout(10)
        self.wait_serving()

    def lua(self, code):
        """Runs Lua code in the host (with `m` the module); returns its results as texts."""
        self.control.sendto(code.encode(), ("127.0.0.1", self.control_port))
        reply = self.control.recv(65536).decode()
        if not reply.startswith("ok"):
            raise RuntimeError("lua failed: " + reply)
        return reply[3:].split("\t") if len(reply) > 3 else []

    def wait_serving(self, port=None, limit=10.0):
        port = port or self.port
        deadline = time.monotonic() + limit
        while True:
            try:
                status, _, _ = get(port, "/nothing")
                if status:
                    return
            except OSError:
                pass
            if time.monotonic() > deadline:
                raise RuntimeError("not serving on %d" % port)
            time.sleep(0.05)

    def status(self):
        status, _, body = get(self.port, "/v1/status")
        assert status == 200, status
        return json.loads(body)

    def close(self):
        try:
            if self.proc.poll() is None:
                try:
                    self.control.sendto(b"exit", ("127.0.0.1", self.control_port))
                    self.proc.wait(5)
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

    def wait_for(self, condition, limit=10.0):
        """Reads the status until `condition` holds for it (and returns it), at most `limit` s."""
        deadline = time.monotonic() + limit
        while True:
            status = self.status()
            if condition(status):
                return status
            assert time.monotonic() < deadline, status
            time.sleep(0.05)


_next_source = [0]


def spread_source():
    """A loopback source address of its own for each call (127.0.1.1 to 127.0.1.250 in turn), so
    that many requests of one test do not run into the per-peer connection bucket."""
    _next_source[0] = _next_source[0] % 250 + 1
    return "127.0.1.%d" % _next_source[0]


def connect(port, source=None, timeout=5.0):
    source = source or spread_source()
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.settimeout(timeout)
    s.bind((source, 0))
    s.connect(("127.0.0.1", port))
    return s


def read_all(s, limit=10.0):
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


def get(port, target, headers=None, source=None):
    """(code, fields, body) of one GET."""
    answer = request(port, "GET", target, headers, source)
    if not answer:
        return None, [], b""
    line, fields, body = split_answer(answer)
    return int(line.split()[1]), fields, body


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
