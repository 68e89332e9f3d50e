"""Soak benchmark of the terrain store running past its byte limit.

The simulated host (scripts/soak_host.lua) with pages panning over the map until the terrain store is
well past its limit, a client polling GET /v1/status, and the host's Lua side calling
`status` a few times a second. Prints progress every 10 s, then the figures and one summary line.

    python3 scripts/soak.py [--minutes 10] [--pages 3] [--view-km 12] [--budget 1000] [--strict]

Exits 1 when the run itself broke (host gone, no status, nothing built), or with --strict when a goal
failed; otherwise 0 (the verdict is printed)."""
import argparse
import json
import os
import signal
import statistics
import subprocess
import sys
import threading
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path[:0] = [os.path.join(ROOT, "tests", "support"), os.path.join(ROOT, "tests", "http")]
import qmhttp  # noqa: E402
from test_mesh_have import box, id_ranges, piece_id  # noqa: E402
from test_mesh_route import Stream  # noqa: E402

MIB = 1024 * 1024
WINDOW = 10.0
KM_LAT, KM_LON = 1 / 110.9, 1 / 92.8   # degrees per km near 33.5N (the simulated map's origin)
WEST, EAST = 65.3, 67.9                # land from the coast to the map's eastern edge


def percentile(values, p):
    if not values:
        return float("nan")
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(p / 100 * len(ordered)))]


class Page(threading.Thread):
    """A map page panning east by half its view per stream, row after row; holds the piece ids of its
    last two streams and names them in "have"."""

    def __init__(self, port, index, pages, view_km, stop):
        super().__init__(daemon=True)
        self.port, self.index, self.pages, self.stop = port, index, pages, stop
        self.name, self.source = "soak%d" % index, "127.0.2.%d" % (index + 1)
        self.dlat, self.dlon = view_km * KM_LAT, view_km * KM_LON
        self.step = 0
        self.held, self.epoch = {}, None     # piece id -> step it came in
        self.pieces = self.piece_bytes = self.errors = 0
        self.ends, self.refusals = {}, {}

    def view(self):
        per_row = int((EAST - WEST - self.dlon) / (self.dlon / 2))
        row, col = divmod(self.step, per_row)
        lat = 33.55 + (row * self.pages + self.index) * 1.4 * self.dlat
        lon = WEST + col * self.dlon / 2
        return box(lat, lon, lat + self.dlat, lon + self.dlon)

    def query(self):
        q = "page=%s&theatre=Afghanistan&areas=%s" % (self.name, self.view())
        if self.held and self.epoch:
            q += "&have=%s:%s" % (self.epoch, id_ranges(self.held))
        return q

    def run(self):
        while not self.stop.is_set():
            try:
                s = Stream(self.port, self.query(), source=self.source)
            except (OSError, EOFError):
                self.errors += 1
                self.stop.wait(1)
                continue
            try:
                code = int(s.head.split()[1])
                if code != 200:
                    reason = "%d %s" % (code, s.buf[:60].decode("latin-1"))
                    self.refusals[reason] = self.refusals.get(reason, 0) + 1
                    retry = [line for line in s.head.split("\r\n") if line.startswith("Retry-After:")]
                    self.stop.wait(min(5.0, float(retry[0].split()[1])) if retry else 2.0)
                    continue
                if self.read(s):
                    self.step += 1
                    self.held = {i: n for i, n in self.held.items() if n >= self.step - 2}
            except (OSError, EOFError, ValueError):
                self.errors += 1
                self.stop.wait(1)
            finally:
                s.close()

    def read(self, s):
        """Reads the stream to its end; True when it ended (any reason), False when stopped."""
        while not self.stop.is_set():
            kind, payload = s.frame()
            if kind == 1:
                if payload["epoch"] != self.epoch:
                    self.held = {}
                self.epoch = payload["epoch"]
            elif kind == 3:
                self.held[piece_id(payload)] = self.step
                self.pieces += 1
                self.piece_bytes += len(payload)
            elif kind == 2:
                for part in payload["drop"].split(","):
                    first, _, last = part.partition("-")
                    for i in range(int(first), int(last or first) + 1):
                        self.held.pop(i, None)
            elif kind == 6:
                reason = payload.get("end", "?")
                if payload.get("failed"):
                    reason += " (failed squares)"
                self.ends[reason] = self.ends.get(reason, 0) + 1
                return True
        return False


class StatusPoller(threading.Thread):
    """GET /v1/status every `period` seconds: latency of each answer and the terrain figures."""

    def __init__(self, port, period, stop, limit):
        super().__init__(daemon=True)
        self.port, self.period, self.stop, self.limit = port, period, stop, limit
        self.latencies, self.failures = [], 0
        self.last = None            # (t, store, work) of the latest answer
        self.limit_at = None        # time the store first reached its limit
        self.lock = threading.Lock()

    def run(self):
        start = time.monotonic()
        n = 0
        while not self.stop.is_set():
            began = time.monotonic()
            try:
                code, _, body = qmhttp.get(self.port, "/v1/status", source="127.0.3.1")
                took = time.monotonic() - began
                mesh = json.loads(body)["mesh"] if code == 200 else None
            except (OSError, ValueError):
                code, mesh = None, None
            with self.lock:
                if mesh is None:
                    self.failures += 1
                else:
                    self.latencies.append(took)
                    store, work = mesh["store"], mesh["work"]
                    self.last = (began, store, work)
                    reached = store["bytes"] >= self.limit or store["piecesEvicted"] or store["samplesEvicted"]
                    if reached and self.limit_at is None:
                        self.limit_at = began
            n += 1
            self.stop.wait(max(0.0, start + n * self.period - time.monotonic()))


class HostOutput(threading.Thread):
    """Reads the host's output: keeps its latest status counts, echoes everything else."""

    def __init__(self, proc):
        super().__init__(daemon=True)
        self.proc = proc
        self.calls = self.busy = self.other = 0
        self.slowest = "?"
        self.serving = threading.Event()

    def take(self, line):
        """Keeps what a line of the host's own figures says; false for any other line."""
        if not line.startswith("soak-host: "):
            return False
        f = dict(kv.split("=") for kv in line.split()[1:])
        self.calls, self.busy, self.other = int(f["calls"]), int(f["busy"]), int(f["other"])
        self.slowest = f["slowest"]
        return True

    def run(self):
        for line in self.proc.stdout:
            if self.take(line):
                continue
            if "serving on" in line:
                self.serving.set()
            sys.stdout.write("host| " + line)
            sys.stdout.flush()


def mib(n):
    return n / MIB


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--minutes", type=float, default=10.0)
    ap.add_argument("--pages", type=int, default=3)
    ap.add_argument("--view-km", type=float, default=12.0, help="side of a page's square view")
    ap.add_argument("--budget", type=int, default=1000, help="host terrain budget (microseconds)")
    ap.add_argument("--status-ms", type=float, default=200.0, help="GET /v1/status period")
    ap.add_argument("--lua-status-every", type=int, default=15, help="frames between Lua status calls")
    ap.add_argument("--limit-mib", type=float, default=64.0, help="the store's byte limit")
    ap.add_argument("--module", default=os.path.join(ROOT, "build", "default"))
    ap.add_argument("--port", type=int, default=0)
    ap.add_argument("--strict", action="store_true", help="exit 1 when a goal fails")
    args = ap.parse_args()
    port = args.port or qmhttp.free_port()
    duration = args.minutes * 60
    limit = int(args.limit_mib * MIB)

    cmd = ["lua5.1", os.path.join(ROOT, "scripts", "soak_host.lua"),
           "--status-every", str(args.lua_status_every), "--module", args.module, "--port", str(port),
           "--budget", str(args.budget), "--seconds", str(int(duration) + 120)]
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, env=qmhttp.host_env())
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    stop = threading.Event()
    try:
        return run(args, port, duration, limit, proc, stop)
    finally:
        stop.set()
        if proc.poll() is None:
            proc.terminate()
            try:
                proc.wait(5)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()


def run(args, port, duration, limit, proc, stop):
    host = HostOutput(proc)
    host.start()
    if not host.serving.wait(20):
        print("soak: the host did not start serving")
        return 1
    if not qmhttp.wait_for_projection(port):
        print("soak: no map projection in time")
        return 1

    poller = StatusPoller(port, args.status_ms / 1000, stop, limit)
    pages = [Page(port, i, args.pages, args.view_km, stop) for i in range(args.pages)]
    for t in [poller] + pages:
        t.start()
    print("soak: port %d, %d pages of %.0f km views, %.1f min, store limit %.0f MiB"
          % (port, args.pages, args.view_km, args.minutes, args.limit_mib))

    started = time.monotonic()
    marks = []     # (t, built) every 10 s
    broke = None
    for k in range(1, int(duration / WINDOW) + 1):
        stop.wait(max(0.0, started + k * WINDOW - time.monotonic()))
        if proc.poll() is not None:
            broke = "the host exited (code %s)" % proc.returncode
            break
        with poller.lock:
            last, lat = poller.last, list(poller.latencies)
        if last is None:
            continue
        t, store, work = last
        marks.append((t, work["built"]))
        delta = work["built"] - marks[-2][1] if len(marks) > 1 else 0
        print("t=%4.0fs built=%d (+%d) store=%.1fMiB pinned=%.1fMiB reserved=%.1fMiB evicted=%d/%d"
              " busy=%d/%d status p99=%.1fms%s"
              % (t - started, work["built"], delta, mib(store["bytes"]), mib(store["pinnedBytes"]),
                 mib(store["reservedBytes"]), store["piecesEvicted"], store["samplesEvicted"],
                 host.busy, host.calls, 1000 * percentile(lat[-50:], 99),
                 " [over limit]" if poller.limit_at else ""))
        sys.stdout.flush()
    stop.set()
    for t in pages + [poller]:
        t.join(12)
    return report(args, poller, pages, host, marks, started, broke)


def report(args, poller, pages, host, marks, started, broke):
    at = poller.limit_at
    before, after, bars = [], [], []
    marked = False
    for (t0, b0), (t1, b1) in zip(marks, marks[1:]):
        rate = (b1 - b0) * WINDOW / (t1 - t0)
        if at is None or t1 <= at:
            if b0 > 0:
                before.append(rate)
        elif t0 >= at:
            after.append(rate)
        bar = "| " if at is not None and t1 > at and not marked else ""
        marked = marked or bool(bar)
        bars.append(bar + "%.0f" % rate)
    print()
    print("built per 10 s (| = store reached its limit): " + " ".join(bars))
    for p in pages:
        print("page %s: %d streams, %d pieces (%.1f MiB), ends %s, refusals %s, errors %d"
              % (p.name, p.step, p.pieces, mib(p.piece_bytes), p.ends or "{}", p.refusals or "{}", p.errors))
    if poller.last is None:
        print("soak: no status answer at all")
        return 1
    _, store, work = poller.last
    print("store: bytes=%.1fMiB evictable=%.1fMiB pinned=%.1fMiB reserved=%.1fMiB pieces=%d samples=%d "
          "piecesEvicted=%d samplesEvicted=%d squaresForgotten=%d pinsOver=%s"
          % (mib(store["bytes"]), mib(store["evictableBytes"]), mib(store["pinnedBytes"]),
             mib(store["reservedBytes"]), store["pieces"], store["samples"], store["piecesEvicted"],
             store["samplesEvicted"], store["squaresForgotten"], store["pinsOver"]))
    print("work: " + " ".join("%s=%s" % (k, work[k]) for k in
                              ("started", "built", "cancelled", "conflicts", "failed", "returned", "heldBack",
                               "buildsStopped", "owedBytes", "error")))
    print("store limit reached: " + ("at t=%.0fs" % (at - started) if at else "never"))
    lat = [1000 * x for x in poller.latencies]
    p50, p99, longest = percentile(lat, 50), percentile(lat, 99), max(lat, default=float("nan"))
    print("GET /v1/status: %d answers, %d failed, p50=%.1fms p99=%.1fms max=%.1fms"
          % (len(lat), poller.failures, p50, p99, longest))
    busy = 100.0 * host.busy / host.calls if host.calls else float("nan")
    print("Lua status: %d calls, %d busy (%.2f%%), %d other, slowest %s" % (host.calls, host.busy, busy, host.other,
                                                                          host.slowest))

    rb = statistics.mean(before) if before else float("nan")
    ra = statistics.mean(after) if after else float("nan")
    ratio = ra / rb if before and after and rb > 0 else float("nan")
    # The mean hides stalls that recover, so every window after the limit is held to the goal too.
    slow = [r for r in after if r < rb / 2]
    worst = min(after, default=float("nan"))
    goals = [
        ("pieces/10s after the limit within a factor 2 of before (mean and every window)",
         before and after and 0.5 <= ratio <= 2.0 and not slow,
         "ratio %.2f, worst window %.0f, %d of %d windows under half the before rate"
         % (ratio, worst, len(slow), len(after)) if after
         else "the limit was not reached" if at is None else "no window after it"),
        ("Lua status busy under 5%", host.calls > 0 and busy < 5.0, "%.2f%%" % busy),
        ("GET /v1/status p99 under 100 ms", bool(lat) and p99 < 100.0 and not poller.failures,
         "p99 %.1fms, %d failed" % (p99, poller.failures)),
    ]
    for text, ok, detail in goals:
        print("%s: %s (%s)" % ("PASS" if ok else "FAIL", text, detail))
    if broke:
        print("soak: run broke: " + broke)
    failed = [n for n, (_, ok, _) in zip(("pieces", "busy", "status"), goals) if not ok]
    print("soak: pieces/10s before=%.1f after=%.1f ratio=%.2f worst=%.0f slow=%d/%d busy=%.1f%% status p50=%.1fms "
          "p99=%.1fms max=%.1fms store=%.1fMiB pinned=%.1fMiB evicted=%d samplesEvicted=%d goals=%s"
          % (rb, ra, ratio, worst, len(slow), len(after), busy, p50, p99, longest, mib(store["bytes"]),
             mib(store["pinnedBytes"]), store["piecesEvicted"], store["samplesEvicted"],
             "FAIL(" + ",".join(failed) + ")" if failed else "PASS"))
    if broke or not work["built"]:
        return 1
    return 1 if args.strict and failed else 0


if __name__ == "__main__":
    sys.exit(main())
