"""The LAN listener, inside network namespaces that the test makes itself.

The module runs in a namespace "server" whose veth carries 192.168.77.2/24 with a default route
through 192.168.77.1; LAN clients live in a second namespace "client" on the other end of the veth,
with source addresses 192.168.77.10 and up. Nothing here touches this machine's own interfaces:
without root or without `ip netns` the tests skip.
"""
import contextlib
import ctypes
import json
import os
import shutil
import socket
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import qmhttp  # noqa: E402

BUILD = os.environ.get("QM_BUILD_DIR", "build/default")
SUBNET = "192.168.77."
SERVER_IP = SUBNET + "2"
GATEWAY_IP = SUBNET + "1"
CLIENT_IPS = [SUBNET + str(10 + i) for i in range(8)]
NOT_PRIVATE = ("this PC's network address isn't a private LAN address (a VPN or a public connection?); "
               "set `address` in the settings file")
# Thread names as the operating system shows them, and which belong to a running server.
SERVER_THREADS = ("qm", "qm-lan", "qm-lan-accept", "qm-connection", "qm-wake")
# The module's threads that run below normal: on Linux nice 19, in the batch class for the terrain
# workers, which keep a CPU busy.
SCHED_OTHER, SCHED_BATCH = 0, 3
BELOW_NORMAL_THREADS = {"qm": (SCHED_OTHER, 19), "qm-lan": (SCHED_OTHER, 19), "qm-lan-accept": (SCHED_OTHER, 19),
                        "qm-connection": (SCHED_OTHER, 19), "qm-sampler": (SCHED_BATCH, 19),
                        "qm-builder": (SCHED_BATCH, 19)}

# A host that runs one line of Lua per line of standard input (the module as `m`) and answers
# with one line: "ok" and the results separated by tabs, or "error" and the message.
HOST_LUA = r"""
package.cpath = os.getenv("QM_BUILD_DIR") .. "/?.so;" .. package.cpath
local m = require("quillmarsh_exporter")
io.stdout:setvbuf("line")
print("ready")
for line in io.lines() do
  local chunk, err = loadstring(line)
  local reply
  if not chunk then
    reply = "error\t" .. tostring(err)
  else
    setfenv(chunk, setmetatable({ m = m }, { __index = _G }))
    local r = { n = 0 }
    local function keep(ok, ...)
      r.ok, r.n = ok, select("#", ...)
      for i = 1, r.n do r[i] = tostring((select(i, ...))) end
    end
    keep(pcall(chunk))
    reply = (r.ok and "ok" or "error")
    for i = 1, r.n do reply = reply .. "\t" .. r[i] end
  end
  print((reply:gsub("\n", "\\n")))
end
"""

# The supervisor's own timing (a check every 10 s) is held on a test clock in the unit tests; here
# the tests wait for what they can see, for as long as only a fault takes.
EVENT_LIMIT = qmhttp.EVENT_LIMIT
wait_until = qmhttp.wait_until
PAGE = "https://map.quillmarsh-export.io"

_libc = ctypes.CDLL(None, use_errno=True)
CLONE_NEWNET = 0x40000000


def plain_env():
    """The environment for `ip` and other helpers: no sanitizer runtime preloaded."""
    env = dict(os.environ)
    env.pop("LD_PRELOAD", None)
    return env


def ip(*args, check=True):
    return subprocess.run(["ip", *args], env=plain_env(), capture_output=True, text=True, check=check,
                          timeout=EVENT_LIMIT)


def namespaces_unavailable():
    if os.name != "posix" or not hasattr(os, "geteuid"):
        return "network namespaces exist on Linux only"
    if os.geteuid() != 0:
        return "making network namespaces needs root"
    if shutil.which("ip") is None:
        return "the ip tool (iproute2) is missing"
    probe = "qmlan-probe-%d" % os.getpid()
    made = subprocess.run(["ip", "netns", "add", probe], env=plain_env(), capture_output=True, text=True)
    if made.returncode != 0:
        return "ip netns add failed: " + made.stderr.strip()
    subprocess.run(["ip", "netns", "del", probe], env=plain_env(), capture_output=True)
    return None


@contextlib.contextmanager
def in_netns(name):
    """Runs the calling thread inside the named network namespace; sockets made there stay there."""
    own = os.open("/proc/thread-self/ns/net", os.O_RDONLY)
    target = os.open("/run/netns/" + name, os.O_RDONLY)
    try:
        if _libc.setns(target, CLONE_NEWNET) != 0:
            raise OSError(ctypes.get_errno(), "setns into " + name)
        yield
    finally:
        if _libc.setns(own, CLONE_NEWNET) != 0:
            raise OSError(ctypes.get_errno(), "setns back")
        os.close(own)
        os.close(target)


def read_all(sock, limit=EVENT_LIMIT):
    sock.settimeout(limit)
    data = b""
    while True:
        try:
            chunk = sock.recv(65536)
        except (ConnectionResetError, socket.timeout):
            break
        if not chunk:
            break
        data += chunk
    return data


class Network:
    """Two namespaces joined by a veth pair; removed again by `close`."""

    def __init__(self):
        tag = "%d-%d" % (os.getpid(), int(time.monotonic() * 1000) % 100000)
        self.server = "qmlan-s-" + tag
        self.client = "qmlan-c-" + tag
        self.made = []
        for name in (self.server, self.client):
            ip("netns", "add", name)
            self.made.append(name)
        # Both ends are created inside the namespaces: no interface of this machine is involved.
        ip("link", "add", "qms", "netns", self.server, "type", "veth", "peer", "name", "qmc", "netns", self.client)
        for name in (self.server, self.client):
            ip("-n", name, "link", "set", "lo", "up")
        ip("-n", self.server, "link", "set", "qms", "up")
        ip("-n", self.client, "link", "set", "qmc", "up")
        ip("-n", self.client, "addr", "add", GATEWAY_IP + "/24", "dev", "qmc")
        for address in CLIENT_IPS:
            ip("-n", self.client, "addr", "add", address + "/24", "dev", "qmc")

    def lan_up(self, address=SERVER_IP):
        ip("-n", self.server, "addr", "add", address + "/24", "dev", "qms")
        ip("-n", self.server, "route", "replace", "default", "via", GATEWAY_IP)

    def server_ip(self, *args, check=True):
        return ip("-n", self.server, *args, check=check)

    def close(self):
        for name in self.made:
            ip("netns", "del", name, check=False)
        self.made = []


class Host:
    """lua5.1 with the module, started inside the server namespace."""

    def __init__(self, network):
        env = {"QM_BUILD_DIR": BUILD}
        child = []
        if os.environ.get("QM_CHILD_PRELOAD"):
            child.append("LD_PRELOAD=" + os.environ["QM_CHILD_PRELOAD"])
        elif os.environ.get("LD_PRELOAD"):
            child.append("LD_PRELOAD=" + os.environ["LD_PRELOAD"])
        cmd = ["ip", "netns", "exec", network.server, "env", "QM_BUILD_DIR=" + BUILD, *child,
               "lua5.1", "-e", HOST_LUA]
        full_env = plain_env()
        full_env.update(env)
        self.proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=full_env)
        line = self.proc.stdout.readline()
        if line.strip() != "ready":
            self.close()
            raise RuntimeError("the host did not start: %r" % line)
        self.pid = self.proc.pid  # ip netns exec and env exec the interpreter in place

    def lua(self, code):
        self.proc.stdin.write(code.replace("\n", " ") + "\n")
        self.proc.stdin.flush()
        reply = self.proc.stdout.readline().rstrip("\n").split("\t")
        if reply[0] != "ok":
            raise RuntimeError("lua %r failed: %r" % (code, reply))
        return reply[1:]

    def lan_status(self):
        return self.lua("return m.lan_status()")

    def lan_changes(self):
        return int(float(self.lua("return m.lan_changes()")[0]))

    def status(self):
        # The status only tries its locks: "busy" while a server thread holds one.
        got = wait_until(lambda: (lambda r: r if r[0] != "nil" else None)(self.lua("return m.status()")),
                         interval=0.01, message="status stayed busy")
        return json.loads(got[0])

    def tasks(self):
        """(thread id, name) of each thread."""
        out = []
        for tid in os.listdir("/proc/%d/task" % self.pid):
            try:
                with open("/proc/%d/task/%s/comm" % (self.pid, tid)) as f:
                    out.append((int(tid), f.read().strip()))
            except OSError:
                pass
        return sorted(out)

    def threads_not_run_yet(self, tasks):
        """The threads that still have the interpreter's name, which a new thread has until it has
        run and named itself. A sanitizer's runtime has a thread of that name too: it starts just
        before the module's first thread, the sampler, so it is older than both workers."""
        main = dict(tasks).get(self.pid)
        unnamed = [tid for tid, name in tasks if name == main and tid != self.pid]
        workers = [tid for tid, name in tasks if name in ("qm-sampler", "qm-builder")]
        return [tid for tid in unnamed if len(workers) < 2 or tid > min(workers)]

    def thread_names(self):
        names = []
        for tid in os.listdir("/proc/%d/task" % self.pid):
            try:
                with open("/proc/%d/task/%s/comm" % (self.pid, tid)) as f:
                    names.append(f.read().strip())
            except OSError:
                pass
        return sorted(names)

    def levels(self):
        """(thread id, name, scheduling policy, nice value) of each thread, as the system has them."""
        out = []
        for tid in os.listdir("/proc/%d/task" % self.pid):
            try:
                with open("/proc/%d/task/%s/stat" % (self.pid, tid)) as f:
                    stat = f.read()
            except OSError:
                continue
            name = stat[stat.index("(") + 1:stat.rindex(")")]
            fields = stat[stat.rindex(")") + 2:].split()  # from field 3, the state
            out.append((int(tid), name, int(fields[38]), int(fields[16])))  # fields 41 and 19
        return sorted(out)

    def fds(self):
        out = []
        for fd in os.listdir("/proc/%d/fd" % self.pid):
            try:
                out.append(os.readlink("/proc/%d/fd/%s" % (self.pid, fd)))
            except OSError:
                pass
        return sorted(out)

    def close(self):
        if self.proc.poll() is None:
            try:
                self.proc.stdin.close()
                self.proc.wait(EVENT_LIMIT)
            except Exception:
                self.proc.kill()
                self.proc.wait(EVENT_LIMIT)
        if self.proc.stdout:
            self.proc.stdout.close()


class LanNamespaceTest(unittest.TestCase):
    def setUp(self):
        reason = namespaces_unavailable()
        if reason:
            self.skipTest("LAN tests need their own network namespaces: " + reason)
        self.net = Network()
        self.addCleanup(self.net.close)
        self.port = 20000 + (os.getpid() * 7 + int(time.monotonic() * 1000)) % 40000

    def host(self):
        host = Host(self.net)
        self.addCleanup(host.close)
        return host

    # -- clients ----------------------------------------------------------------------------

    def client_socket(self, source=CLIENT_IPS[0]):
        with in_netns(self.net.client):
            s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.bind((source, 0))
        return s

    def lan_get(self, to=SERVER_IP, host_header=None, source=CLIENT_IPS[0], path="/v1/status"):
        s = self.client_socket(source)
        try:
            s.settimeout(EVENT_LIMIT)
            s.connect((to, self.port))
            header = host_header if host_header is not None else "%s:%d" % (to, self.port)
            s.sendall(("GET %s HTTP/1.1\r\nHost: %s\r\n\r\n" % (path, header)).encode())
            return self.parse(read_all(s))
        finally:
            s.close()

    def loopback_get(self, path="/v1/status"):
        with in_netns(self.net.server):
            s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        try:
            s.settimeout(EVENT_LIMIT)
            s.connect(("127.0.0.1", self.port))
            s.sendall(("GET %s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % (path, self.port)).encode())
            return self.parse(read_all(s))
        finally:
            s.close()

    @staticmethod
    def parse(raw):
        if not raw:
            return None, b""
        head, _, body = raw.partition(b"\r\n\r\n")
        return int(head.split(b" ", 2)[1]), body

    # -- helpers ------------------------------------------------------------------------------

    def open_stream(self, s, to, page):
        """Opens a job-less mesh stream on the socket, which runs until its peer goes."""
        s.settimeout(EVENT_LIMIT)
        s.connect((to, self.port))
        s.sendall(("GET /v1/mesh?page=%s&theatre=Caucasus&probe=3600 HTTP/1.1\r\nHost: %s:%d\r\n"
                   "Origin: %s\r\n\r\n" % (page, to, self.port, PAGE)).encode())
        head = b""
        while b"\r\n\r\n" not in head:
            chunk = s.recv(4096)
            self.assertTrue(chunk, "the stream's head did not come: %r" % head)
            head += chunk
        self.assertTrue(head.startswith(b"HTTP/1.1 200 OK\r\n"), head)

    def while_held(self, host, sources, probe):
        """probe() with one LAN connection held from each source (see qmhttp.while_held), once the
        connections before have ended."""
        def hold(held):
            wait_until(lambda: host.status()["health"]["openConnections"] == 0)
            for source in sources:
                s = self.client_socket(source)
                s.settimeout(EVENT_LIMIT)
                s.connect((SERVER_IP, self.port))
                s.sendall(b"G")
                held.append(s)
        return qmhttp.while_held(hold, probe)

    def listening_text(self, address=SERVER_IP):
        return "listening on %s:%d" % (address, self.port)

    def start_listening(self, host):
        """Starts the server in the automatic LAN mode and waits until both its listeners run: the
        LAN one (lan_status) and the loopback one (listeningPort), each bound by its own thread."""
        self.assertEqual(host.lua("return m.start(%d, true)" % self.port), ["true"])
        self.wait_lan_status(host, self.listening_text())
        wait_until(lambda: host.status()["health"]["listeningPort"] == self.port,
                   message="the loopback listener does not run")

    def wait_lan_status(self, host, text):
        wait_until(lambda: host.lan_status() == [text],
                   message=lambda: "lan_status stayed %r, wanted %r" % (host.lan_status(), text))

    def server_threads(self, host):
        return [n for n in host.thread_names() if n in SERVER_THREADS]

    def settled(self, host):
        """Threads and descriptors once no thread or socket of a server is left and every thread
        started has shown its own name (until it runs, a new thread has its creator's)."""
        def now():
            tasks, fds = host.tasks(), host.fds()
            if host.tasks() != tasks:
                return None  # changed while the descriptors were read
            names = sorted(name for _, name in tasks)
            server = [n for n in names if n in SERVER_THREADS]
            if host.threads_not_run_yet(tasks) or server or any(fd.startswith("socket:") for fd in fds):
                return None
            return names, fds
        return wait_until(now, message=lambda: "still there: threads %r, descriptors %r"
                          % (host.thread_names(), host.fds()))

    def baseline(self, host):
        """Threads and descriptors with no server running (after the workers exist)."""
        self.assertEqual(host.lua("return m.start(%d, false)" % self.port), ["true"])
        self.assertEqual(host.lua("return m.stop()"), ["true"])
        return self.settled(host)

    def assert_back_to(self, host, base):
        """After `stop`: lan_status "off" and no thread or socket left of the server."""
        self.assertEqual(host.lua("return m.stop()"), ["true"])
        self.assertEqual(host.lan_status(), ["off"])
        after = self.settled(host)
        self.assertEqual(after, base, "left behind: threads %r, descriptors %r (before: %r)"
                         % (host.thread_names(), host.fds(), base))

    # -- the tests --------------------------------------------------------------------------

    def test_automatic_mode_serves_the_lan_with_its_host_rule(self):
        self.net.lan_up()
        host = self.host()
        base = self.baseline(host)
        self.start_listening(host)
        self.assertEqual(host.status()["lan"],
                         {"enabled": True, "address": SERVER_IP, "listening": True, "error": None})

        code, body = self.lan_get()
        self.assertEqual(code, 200)
        self.assertEqual(json.loads(body)["lan"]["address"], SERVER_IP)
        for wrong in ("192.168.77.3:%d" % self.port, "%s:%d" % (SERVER_IP, self.port + 1), SERVER_IP,
                      "example.com:%d" % self.port, "192.168.077.2:%d" % self.port):
            with self.subTest(host=wrong):
                self.assertEqual(self.lan_get(host_header=wrong)[0], 421)
        self.assertEqual(self.loopback_get()[0], 200)  # the loopback listener runs beside it
        self.assertEqual(self.server_threads(host).count("qm-lan-accept"), 1)

        self.assert_back_to(host, base)
        with self.assertRaises(ConnectionRefusedError):
            s = self.client_socket()
            try:
                s.settimeout(EVENT_LIMIT)
                s.connect((SERVER_IP, self.port))
            finally:
                s.close()

    def test_automatic_mode_explains_why_it_does_not_listen(self):
        host = self.host()
        cases = [
            # (how the server namespace reaches the world, lan_status)
            ("nothing", "not listening: no network connection"),
            # The system picks no source address for a route through lo alone.
            ("loopback", "not listening: no network connection"),
            ("public", "not listening: " + NOT_PRIVATE),
        ]
        for network, text in cases:
            with self.subTest(network=network):
                if network == "loopback":
                    self.net.server_ip("route", "replace", "default", "dev", "lo")
                elif network == "public":
                    self.net.server_ip("route", "del", "default", check=False)
                    self.net.server_ip("addr", "add", "203.0.113.5/24", "dev", "qms")
                    self.net.server_ip("route", "replace", "default", "via", "203.0.113.1")
                self.assertEqual(host.lua("return m.start(%d, true)" % self.port), ["true"])
                self.wait_lan_status(host, text)
                lan = host.status()["lan"]
                self.assertEqual(lan, {"enabled": True, "address": None, "listening": False,
                                       "error": text[len("not listening: "):]})
                self.assertNotIn("qm-lan-accept", host.thread_names())
        host.lua("return m.stop()")

    def test_given_address_is_picked_up_at_the_next_check_once_it_appears(self):
        self.net.lan_up()
        host = self.host()
        base = self.baseline(host)
        wanted = SUBNET + "50"
        started = time.monotonic()
        self.assertEqual(host.lua('return m.start(%d, true, " %s ")' % (self.port, wanted)), ["true"])
        absent = "not listening: %s isn't an address of this PC at the moment" % wanted
        self.wait_lan_status(host, absent)
        changes = host.lan_changes()

        self.net.server_ip("addr", "add", wanted + "/24", "dev", "qms")
        status = host.lan_status()
        if time.monotonic() - started < 10.0:
            # The first check came after `started`, the next one is due 10 s after it.
            self.assertEqual(status, [absent], "picked up before the next check")
        self.wait_lan_status(host, self.listening_text(wanted))
        self.assertEqual(host.lan_changes(), changes + 1)

        self.assertEqual(self.lan_get(to=wanted)[0], 200)
        # The LAN listener is on the given address only: the other address of the PC has none.
        with self.assertRaises(ConnectionRefusedError):
            s = self.client_socket()
            try:
                s.settimeout(EVENT_LIMIT)
                s.connect((SERVER_IP, self.port))
            finally:
                s.close()
        self.assert_back_to(host, base)

    def test_a_moved_address_moves_the_listener_and_counts_only_changes(self):
        self.net.lan_up()
        host = self.host()
        base = self.baseline(host)
        self.start_listening(host)
        changes = host.lan_changes()

        # A new lease, between two checks: the old address goes, another comes. (That a check
        # which finds the address unchanged counts nothing is held on a test clock in the unit
        # tests.)
        moved = SUBNET + "3"
        self.net.server_ip("addr", "del", SERVER_IP + "/24", "dev", "qms")
        self.net.server_ip("addr", "add", moved + "/24", "dev", "qms")
        self.net.server_ip("route", "replace", "default", "via", GATEWAY_IP)
        self.wait_lan_status(host, self.listening_text(moved))
        self.assertEqual(host.lan_changes(), changes + 1, "one change: from one address to the other")
        # The old listener has stopped: one LAN accept thread, on the new address.
        wait_until(lambda: self.server_threads(host).count("qm-lan-accept") == 1,
                   message=lambda: host.thread_names())
        self.assertEqual(self.lan_get(to=moved)[0], 200)
        self.assertEqual(self.lan_get(to=moved, host_header="%s:%d" % (SERVER_IP, self.port))[0], 421)
        self.assert_back_to(host, base)

    def test_every_thread_of_a_server_runs_below_normal(self):
        # Each thread sets its own level: one started by a below-normal thread (a connection by the
        # server thread, a LAN connection by the LAN accept thread it was started by) lands at
        # below normal too, not a step further down each time.
        self.net.lan_up()
        host = self.host()
        self.start_listening(host)
        self.assertEqual([p for tid, _, p, _ in host.levels() if tid == host.pid], [SCHED_OTHER])

        def wrong_levels():
            """The module's threads that are missing or not at their level."""
            levels = host.levels()
            missing = sorted(set(BELOW_NORMAL_THREADS) - {name for _, name, _, _ in levels})
            return [(name, "missing") for name in missing] + [
                (name, policy, nice) for _, name, policy, nice in levels if name in BELOW_NORMAL_THREADS
                and (policy, nice)[:len(BELOW_NORMAL_THREADS[name])] != BELOW_NORMAL_THREADS[name]]

        held = []
        try:
            # A connection thread that carries a mesh stream stays until its peer goes: first one
            # from this PC, then one from the LAN. A thread sets its level just after it shows its
            # name.
            with in_netns(self.net.server):
                loopback = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            held.append((loopback, "127.0.0.1"))
            held.append((self.client_socket(), SERVER_IP))
            for count, (s, to) in enumerate(held, 1):
                self.open_stream(s, to, "levels%d" % count)
                wait_until(lambda: host.thread_names().count("qm-connection") == count,
                           message=lambda: host.thread_names())
                wait_until(lambda: wrong_levels() == [],
                           message=lambda: "with %d connections: %r" % (count, wrong_levels()))
        finally:
            for s, _ in held:
                s.close()
        host.lua("return m.stop()")

    def test_lan_peers_leave_connections_for_loopback_peers(self):
        self.net.lan_up()
        host = self.host()
        self.start_listening(host)

        # 16 open LAN connections from four peers (each under its own limit of 8); another LAN
        # peer is then busy, a loopback peer is not.
        (code, body), (loopback_code, _) = self.while_held(
            host, [CLIENT_IPS[i % 4] for i in range(16)],
            lambda: (self.lan_get(source=CLIENT_IPS[5]), self.loopback_get()))
        self.assertEqual(code, 503)
        self.assertEqual(body, b"busy, try again")
        self.assertEqual(loopback_code, 200)
        host.lua("return m.stop()")

    def test_the_lan_wide_bucket_refuses_a_burst_past_one_hundred(self):
        self.net.lan_up()
        host = self.host()
        self.start_listening(host)

        # Six peers, one thread each, every connection closed by the client at once. A loaded
        # machine may run the connections' threads late: each connection waits until at most six
        # are open, so that no peer comes near its own limit of 8 nor the server near its limit of
        # 16 LAN connections. A server that cannot take them faster than the bucket refills never
        # empties it; then nothing can be told here (the bucket's own tests hold it on given
        # instants).
        peers = CLIENT_IPS[:6]
        per_peer = 40
        sockets = {p: [self.client_socket(p) for _ in range(per_peer)] for p in peers}
        outcomes = []  # (seconds since the burst began, busy)
        lock = threading.Lock()
        stop = threading.Event()

        def room():
            with lock:
                return host.status()["health"]["openConnections"] <= 6

        began = time.monotonic()

        def burst(peer):
            for s in sockets[peer]:
                if stop.is_set():
                    s.close()
                    continue
                wait_until(room, interval=0.001)
                try:
                    s.settimeout(EVENT_LIMIT)
                    s.connect((SERVER_IP, self.port))
                    s.shutdown(socket.SHUT_WR)
                    busy = read_all(s).startswith(b"HTTP/1.1 503")
                finally:
                    s.close()
                with lock:
                    outcomes.append((time.monotonic() - began, busy))
                    if sum(1 for _, b in outcomes if b) >= 5:
                        stop.set()

        threads = [threading.Thread(target=burst, args=(p,)) for p in peers]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        busy_at = [i for i, (_, b) in enumerate(outcomes) if b]
        if not busy_at:
            print("%d LAN connections in %.1f s did not outpace the bucket's refill: not checked"
                  % (len(outcomes), outcomes[-1][0]))
            host.lua("return m.stop()")
            return
        first = busy_at[0]
        seconds = outcomes[first][0]
        # The outcomes are in the order the clients saw them, which may differ from the accept
        # order by the connections in flight on the other threads.
        slack = len(peers)
        self.assertGreaterEqual(first, 100 - slack, "refused before the bucket of 100 could be empty")
        # Refilled at 100 per second meanwhile, however long the burst took.
        self.assertLessEqual(first, 100 + 100 * seconds + slack)
        admitted = sum(1 for _, b in outcomes if not b)
        self.assertGreaterEqual(admitted, 100)
        # Loopback peers are not held to the LAN bucket.
        self.assertEqual(self.loopback_get()[0], 200)
        host.lua("return m.stop()")


if __name__ == "__main__":
    unittest.main(verbosity=2)
