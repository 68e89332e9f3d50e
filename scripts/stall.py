"""Stall benchmark: does the host's thread ever sleep inside the module's calls?

Runs the simulated host (scripts/soak_host.lua --frame-sleeps) pinned to two cores together with
busy processes of normal priority that keep those cores mostly busy but leave the module's workers
some time, and pages that mesh large areas for the whole run. The host measures its own thread around each hook's
frame (voluntary context switches, CPU and run-queue time) and reports every frame that slept; a
poller reads GET /v1/status every second for the module's own figures. From the moment meshing
runs it prints the frames that slept, their total and worst blocked time, and the largest
"slice.maxRecentMicros" and "hookCostMicrosMaxRecent" seen, beside the machine's load average and
the time the two cores' virtual processors were stopped (steal). The slowest frames of each hook
are split into the host's thread's wait for a core (behind what) and the time it held one: those
status figures time the mission hook's frame, so a frame over 5 ms only by its wait for a core is
the machine's, not the module's. With --perf FILE (linux-perf, as root) it also records where the
host's thread went to sleep, what kept it waiting for a core, and its time on a CPU sampled with
stacks: shares by module call against the host's own Lua over the run, and for each slowest frame.

    python3 scripts/stall.py [--minutes 5] [--cpus 6,7] [--burners 2] [--duty 0.75] [--period-ms 20]
                             [--area-km 40] [--pages 2] [--budget 300] [--perf FILE] [--strict]

Exits 1 when the run broke (host gone, no meshing), or with --strict when a goal failed."""
import argparse
import json
import os
import signal
import subprocess
import sys
import threading
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path[:0] = [os.path.join(ROOT, "tests", "support"), os.path.join(ROOT, "tests", "http")]
import qmhttp  # noqa: E402
import soak  # noqa: E402
from soak import Page  # noqa: E402  (a page panning over the map, one view after another)

BURNER = """
import sys, time
busy, idle = float(sys.argv[1]), float(sys.argv[2])
while True:
    t = time.perf_counter()
    while time.perf_counter() - t < busy:
        pass
    time.sleep(idle)
"""


def find(doc, key):
    """The first value of `key` anywhere in a JSON document."""
    if isinstance(doc, dict):
        if key in doc:
            return doc[key]
        values = doc.values()
    elif isinstance(doc, list):
        values = doc
    else:
        return None
    for v in values:
        found = find(v, key)
        if found is not None:
            return found
    return None


class StatusPoller(threading.Thread):
    """GET /v1/status every second: the module's slice and hook figures and the work counters."""

    def __init__(self, port, stop):
        super().__init__(daemon=True)
        self.port, self.stop = port, stop
        self.samples = []      # (t, slice max recent, hook max recent, started, built)
        self.lock = threading.Lock()

    def run(self):
        while not self.stop.is_set():
            try:
                code, _, body = qmhttp.get(self.port, "/v1/status", source="127.0.3.1")
                if code == 200:
                    doc = json.loads(body)
                    mesh = doc["mesh"]
                    sample = (time.time(), mesh["slice"]["maxRecentMicros"], find(doc, "hookCostMicrosMaxRecent"),
                              mesh["work"]["started"], mesh["work"]["built"])
                    with self.lock:
                        self.samples.append(sample)
            except (OSError, ValueError, KeyError):
                pass
            self.stop.wait(1.0)


class HostOutput(soak.HostOutput):
    """Reads the host's output: its slept frames and its latest totals besides the soak's figures."""

    def __init__(self, proc):
        super().__init__(proc)
        self.slept = []        # (t, hook, blocked ms, switches)
        self.slow = []         # (start, end, hook, wall ms, cpu ms, run-queue ms): frames over 2 ms
        self.steal = 0.0       # ms the two cores' virtual processors were stopped while measured
        self.totals = {}
        self.lock = threading.Lock()

    def take(self, line):
        if line.startswith("frame-sleeps: slept "):
            f = dict(kv.split("=") for kv in line.split()[2:])
            with self.lock:
                self.slept.append((float(f["at"]), f["hook"], float(f["blocked"]), int(f["switches"])))
        elif line.startswith("frame-sleeps: slow "):
            f = dict(kv.split("=") for kv in line.split()[2:])
            with self.lock:
                self.slow.append((float(f["from"]), float(f["at"]), f["hook"], float(f["wall"]), float(f["cpu"]),
                                  float(f["runwait"])))
        elif line.startswith("frame-sleeps: "):
            with self.lock:
                self.totals = {k: float(v) for k, v in (kv.split("=") for kv in line.split()[1:])}
        else:
            return super().take(line)
        return True


def sleeping_stacks(path, top=12):
    """From a perf record of the host's switches: how often the host's thread went to sleep (a switch
    away from it not runnable) at each call stack, its own frame sleep between frames left out. A
    stack is named by its functions from the first one outside the kernel up to the module's Lua
    function."""
    try:
        text = subprocess.run(["perf", "script", "-i", path], capture_output=True, text=True, check=True).stdout
    except (OSError, subprocess.CalledProcessError) as e:
        return ["perf script failed: %s" % e]
    counts = {}
    for event in text.split("\n\n"):
        lines = event.strip().splitlines()
        if not lines or "prev_state=R" in lines[0] or "liblua5.1-socket" in event:
            continue
        names = []
        for line in lines[1:]:
            parts = line.split(None, 1)
            if len(parts) < 2 or "kernel.kallsyms" in parts[1]:
                continue
            name = parts[1].split(" (")[0].rsplit("+0x", 1)[0]
            if name == "[unknown]":
                continue
            if name.startswith("std::"):
                # The container operation only: "pop_front", "_M_realloc_insert<...>", "~vector".
                plain, depth = "", 0
                for c in name:
                    depth += c == "<"
                    plain += c if depth == 0 else ""
                    depth -= c == ">"
                name = plain.rsplit("::", 1)[-1]
                if "deallocate" in name or name in names[-1:]:
                    continue
            names.append(name)
            if name.startswith("qm::lua_entry"):
                break
        key = " < ".join(names[:10]) or "(no user frames)"
        counts[key] = counts.get(key, 0) + 1
    return ["%5d  %s" % (n, k) for k, n in sorted(counts.items(), key=lambda kv: -kv[1])[:top]] or ["none"]


def waits_for_a_cpu(path, host_pid, top=6):
    """From a record of every switch on the host's cores: each time the host's thread was switched
    out while runnable, how long until it ran again, by the task that took its core."""
    try:
        _, events = core_timeline(path)
    except (OSError, subprocess.CalledProcessError) as e:
        return ["perf script failed: %s" % e]
    waits = {}
    for out, back, taker in host_waits(events, host_pid):
        waits.setdefault(taker, []).append((back - out) * 1000)
    rows = sorted(waits.items(), key=lambda kv: -sum(kv[1]))[:top]
    return ["%-16s %5d times, %8.1f ms in all, longest %6.2f ms" % (k, len(v), sum(v), max(v)) for k, v in rows] or [
        "none"]


def core_timeline(path):
    """From a record of every switch on the host's cores: per core, what ran from when to when, as
    (start, end, name, tid), and the switches themselves, as (time, fields)."""
    text = subprocess.run(["perf", "script", "-i", path, "-F", "cpu,time,trace"], capture_output=True, text=True,
                          check=True).stdout
    running, spans, events = {}, [], []
    for line in text.splitlines():
        words = line.split()
        if len(words) < 3 or not words[0].startswith("["):
            continue
        try:
            cpu, t = int(words[0].strip("[]")), float(words[1].rstrip(":"))
        except ValueError:
            continue
        fields = dict(kv.split("=", 1) for kv in words[2:] if "=" in kv)
        if "next_pid" not in fields:
            continue
        if cpu in running:
            spans.append((running[cpu][0], t) + running[cpu][1:])
        running[cpu] = (t, fields.get("next_comm", "?"), fields["next_pid"])
        events.append((t, fields))
    return spans, events


def host_waits(events, host_pid):
    """The host's thread's waits for a core: (switched out while runnable, ran again, the task that
    took its core)."""
    waits, out = [], None
    for t, fields in events:
        if fields.get("prev_pid") == str(host_pid) and fields.get("prev_state", "").startswith("R"):
            out = (t, fields.get("next_comm", "?"))
        elif fields.get("next_pid") == str(host_pid) and out is not None:
            waits.append((out[0], t, out[1]))
            out = None
    return waits


def overlap(a0, a1, b0, b1):
    return max(0.0, min(a1, b1) - max(a0, b0))


def on_cpu_samples(path):
    """The host's thread's on-CPU samples: (time, stack as (symbol, dso) from the leaf outwards)."""
    text = subprocess.run(["perf", "script", "-i", path, "-F", "time,ip,sym,dso"], capture_output=True, text=True,
                          check=True).stdout
    samples = []
    for event in text.split("\n\n"):
        lines = event.strip().splitlines()
        if not lines:
            continue
        try:
            t = float(lines[0].strip().rstrip(":"))
        except ValueError:
            continue
        stack = []
        for line in lines[1:]:
            parts = line.strip().split(None, 1)
            if len(parts) < 2:
                continue
            sym, _, dso = parts[1].rpartition(" (")
            stack.append((sym.rsplit("+0x", 1)[0], dso.rstrip(")")))
        samples.append((t, stack))
    return samples


HOOKS = ("mission", "export")
LUA_GC = ("luaC_", "propagatemark", "sweeplist", "singlestep", "GCTM", "traversetable", "markroot", "atomic")


def what_ran(stack):
    """Names what an on-CPU sample of the host's thread was doing: a module call (by its Lua
    function), the Lua collector, a page fault, a system call, or the host's own Lua."""
    syms = [s for s, _ in stack]
    module = [s for s, d in stack if "quillmarsh_exporter" in d]
    call = next((s.split("(")[0] for s in reversed(module) if "qm::lua::" in s), None)
    if call is None and module:
        call = module[-1].split("(")[0]
    fault = any("page_fault" in s for s in syms)
    syscall = next((s for s in syms if s.startswith("__x64_sys_") or s.startswith("__do_sys_")), None)
    if syscall is None and "do_syscall_64" in syms:
        syscall = "(on the way out)"
    gc = any(s.startswith(LUA_GC) for s in syms)
    # Samples taken as the thread gets its CPU back after an interrupt or a switch: the kernel's (and
    # a recording perf's) work at the switch, which grows with the waits for a core; neither the
    # module's work nor the host's script's.
    if syms and (syms[0].startswith("irqentry_exit") or any(s.startswith("finish_task_switch") for s in syms)):
        return "switching in (%s)" % ("in module " + call.replace("qm::lua::", "") if call else "in the host's Lua")
    if call:
        what = "module " + call.replace("qm::lua::", "")
        if fault:
            what += " (page fault)"
        elif gc:
            what += " (Lua collector)"
        return what
    if gc:
        return "host Lua collector"
    if fault:
        return "host page fault"
    if syscall:
        return "host system call " + syscall.replace("__x64_sys_", "").replace("__do_sys_", "")
    leaf = stack[0][1].rsplit("/", 1)[-1] if stack else "?"
    return "host Lua (" + leaf + ")"


def on_cpu_shares(path, rate=4000, top=14):
    """The host's thread's whole time on a CPU, by what ran: module calls against its own Lua."""
    try:
        samples = on_cpu_samples(path + ".oncpu")
    except (OSError, subprocess.CalledProcessError) as e:
        return ["perf script failed: %s" % e]
    counts = {}
    for _, stack in samples:
        key = what_ran(stack)
        counts[key] = counts.get(key, 0) + 1
    total = len(samples) or 1
    module = sum(n for k, n in counts.items() if k.startswith("module "))
    stopped = sum(n for k, n in counts.items() if k.startswith("switching in"))
    lines = ["%.0f ms sampled, %.1f%% in module calls, %.1f%% switching in" % (
        len(samples) * 1000.0 / rate, 100.0 * module / total, 100.0 * stopped / total)]
    for key, n in sorted(counts.items(), key=lambda kv: -kv[1])[:top]:
        lines.append("%8.1f ms %5.1f%%  %s" % (n * 1000.0 / rate, 100.0 * n / total, key))
    return lines


def steal_ms(cpus):
    """Time the listed CPUs' virtual processors did not run (the hypervisor's steal), in ms so far."""
    wanted = {"cpu" + c.strip() for c in cpus.split(",")}
    total = 0
    with open("/proc/stat") as f:
        for line in f:
            words = line.split()
            if words and words[0] in wanted and len(words) > 8:
                total += int(words[8])
    return total * 1000.0 / os.sysconf("SC_CLK_TCK")


def slowest_frames(slow, since, until, top, hook):
    frames = [f for f in slow if f[2] == hook and since <= f[1] <= until]
    return sorted(frames, key=lambda f: -f[3])[:top]


def frame_split(slow, since, until, hook, top=10):
    """A hook's slowest frames, each split into the host's thread's wait for a core and the time it
    held one (running, or stopped with its virtual processor), and how many frames were over 5 ms
    only by the wait."""
    frames = [f for f in slow if f[2] == hook and since <= f[1] <= until]
    over = [f for f in frames if f[3] > 5.0]
    by_wait = [f for f in over if f[3] - f[5] <= 5.0]
    lines = ["%s frames over 5 ms: %d, of them %d under 5 ms without their wait for a core" % (hook, len(over),
                                                                                              len(by_wait))]
    for f in slowest_frames(slow, since, until, top, hook):
        # The kernel's CPU count moves at its ticks and switches: a frame's share of it is rough.
        lines.append("%8.2f ms at %.3f: waiting for a core %6.2f ms, holding one %6.2f ms (kernel's CPU count %.2f)"
                     % (f[3], f[1], f[5], f[3] - f[5], f[4]))
    return lines


def frame_causes(path, slow, since, until, host_pid, offset, hooks, top=10, rate=4000):
    """For each of the slowest frames of each hook: what its on-CPU samples were doing (a sample is
    1/rate s), and what ran on the two cores while the host's thread waited for one."""
    try:
        samples = on_cpu_samples(path + ".oncpu")
        spans, events = core_timeline(path + ".cpus")
    except (OSError, subprocess.CalledProcessError) as e:
        return ["perf script failed: %s" % e]
    waits = host_waits(events, host_pid)
    lines = []
    for f in [f for hook in hooks for f in slowest_frames(slow, since, until, top, hook)]:
        t0, t1 = f[0] - offset, f[1] - offset
        doing = {}
        for t, stack in samples:
            if t0 <= t <= t1:
                key = what_ran(stack)
                doing[key] = doing.get(key, 0) + 1000.0 / rate
        ran = {}
        for w0, w1, _ in waits:
            if overlap(w0, w1, t0, t1) <= 0:
                continue
            for s0, s1, name, tid in spans:
                d = overlap(s0, s1, max(w0, t0), min(w1, t1))
                if d > 0:
                    key = name if not name.startswith("qm") else "%s/%s" % (name, tid)
                    ran[key] = ran.get(key, 0) + d * 1000
        # Time it held a CPU without samples it did not run there: its virtual processor was stopped.
        sampled = sum(doing.values())
        lines.append("%s %.2f ms at %.3f (waiting for a core %.2f, holding one %.2f of which sampled running %.2f):"
                     % (f[2], f[3], f[1], f[5], f[3] - f[5], sampled))
        lines.append("    on CPU: " + (", ".join("%s %.2f" % kv for kv in sorted(doing.items(), key=lambda kv: -kv[1]))
                                       or "no samples"))
        lines.append("    while it waited, the two cores ran (ms, both added): " +
                     (", ".join("%s %.2f" % kv for kv in sorted(ran.items(), key=lambda kv: -kv[1])[:6]) or "-"))
    return lines


def loadavg():
    return "%.2f %.2f %.2f" % os.getloadavg()


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--minutes", type=float, default=5.0, help="minutes measured once meshing runs")
    ap.add_argument("--cpus", default="6,7", help="the two cores of the host and the busy processes")
    ap.add_argument("--burners", type=int, default=2, help="busy processes of normal priority on those cores")
    ap.add_argument("--duty", type=float, default=0.75, help="share of each period a busy process spins")
    ap.add_argument("--period-ms", type=float, default=20.0, help="a busy process's period of spinning and sleeping")
    ap.add_argument("--area-km", type=float, default=40.0, help="side of each page's square area")
    ap.add_argument("--pages", type=int, default=2)
    ap.add_argument("--budget", type=int, default=300, help="host terrain budget (microseconds)")
    ap.add_argument("--module", default=os.path.join(ROOT, "build", "default"))
    ap.add_argument("--port", type=int, default=0)
    ap.add_argument("--perf", metavar="FILE", help="record the host thread's switches with perf into FILE")
    ap.add_argument("--strict", action="store_true", help="exit 1 when a goal fails")
    args = ap.parse_args()
    port = args.port or qmhttp.free_port()
    duration = args.minutes * 60

    pin = ["taskset", "-c", args.cpus]
    period = args.period_ms / 1000
    burners = [subprocess.Popen(pin + [sys.executable, "-c", BURNER, str(period * args.duty),
                                       str(period * (1 - args.duty))]) for _ in range(args.burners)]
    cmd = pin + ["lua5.1", os.path.join(ROOT, "scripts", "soak_host.lua"), "--frame-sleeps", "--module", args.module,
                 "--port", str(port), "--budget", str(args.budget), "--seconds", str(int(duration) + 180)]
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, env=qmhttp.host_env())
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    stop = threading.Event()
    try:
        return run(args, port, duration, proc, stop)
    finally:
        stop.set()
        for p in [proc] + burners:
            if p.poll() is None:
                p.terminate()
                try:
                    p.wait(5)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait()


def run(args, port, duration, proc, stop):
    print("stall: load average at the start %s; host pid %d on cpus %s with %d busy processes at %.0f%% of %.0f ms"
          % (loadavg(), proc.pid, args.cpus, args.burners, 100 * args.duty, args.period_ms))
    host = HostOutput(proc)
    host.start()
    if not host.serving.wait(20):
        print("stall: the host did not start serving")
        return 1
    if not qmhttp.wait_for_projection(port, 30):
        print("stall: no map projection in time")
        return 1

    poller = StatusPoller(port, stop)
    pages = [Page(port, i, args.pages, args.area_km, stop) for i in range(args.pages)]
    for t in [poller] + pages:
        t.start()
    # Meshing runs once the sampler has started a group.
    deadline = time.monotonic() + 120
    mesh_start = None
    while mesh_start is None:
        with poller.lock:
            started = [s for s in poller.samples if s[3] > 0]
        if started:
            mesh_start = started[0][0]
        elif time.monotonic() > deadline or proc.poll() is not None:
            print("stall: meshing did not start")
            return 1
        else:
            time.sleep(0.5)
    print("stall: meshing runs; measuring %.1f min" % args.minutes)
    perf = None
    if args.perf:
        # Where the host's thread goes to sleep: every switch away from it, with its call stack.
        # On the monotonic clock: the host's frame times (wall clock) are moved onto it.
        clock = ["-k", "monotonic"]
        perf = [subprocess.Popen(["perf", "record", "-q"] + clock + ["-e", "sched:sched_switch", "--call-graph",
                                 "dwarf,16384", "-t", str(proc.pid), "-o", args.perf], stdout=subprocess.DEVNULL),
                # Every switch on the two cores, without stacks: who kept the host's thread waiting.
                subprocess.Popen(["perf", "record", "-q"] + clock + ["-e", "sched:sched_switch", "-C", args.cpus,
                                  "-o", args.perf + ".cpus"], stdout=subprocess.DEVNULL),
                # The host's thread on a CPU, sampled with its stacks: where its slowest frames spent their time.
                subprocess.Popen(["perf", "record", "-q"] + clock + ["-e", "cpu-clock", "-F", "4000", "--call-graph",
                                  "dwarf,8192", "-t", str(proc.pid), "-o", args.perf + ".oncpu"],
                                 stdout=subprocess.DEVNULL)]
    broke = None
    steal_at_start = steal_ms(args.cpus)
    end = time.time() + duration
    next_line = time.time() + 30
    while time.time() < end:
        time.sleep(1)
        if proc.poll() is not None:
            broke = "the host exited (code %s)" % proc.returncode
            break
        if time.time() >= next_line:
            next_line += 30
            with host.lock:
                slept = [s for s in host.slept if s[0] >= mesh_start]
            with poller.lock:
                last = poller.samples[-1] if poller.samples else None
            print("t=%4.0fs slept frames=%d worst=%.1fms built=%s slice=%.0fus hook=%.0fus load %s"
                  % (time.time() - mesh_start, len(slept), max((s[2] for s in slept), default=0.0),
                     last[4] if last else "?", last[1] if last else 0, last[2] if last else 0, loadavg()))
            sys.stdout.flush()
    measured_until = time.time()
    host.steal = steal_ms(args.cpus) - steal_at_start
    for p in perf or []:
        p.send_signal(signal.SIGINT)
        p.wait(60)
    stop.set()
    for t in pages + [poller]:
        t.join(12)
    return report(args, host, poller, pages, mesh_start, measured_until, broke)


def report(args, host, poller, pages, mesh_start, until, broke):
    with host.lock:
        slept = [s for s in host.slept if mesh_start <= s[0] <= until]
        totals = dict(host.totals)
    with poller.lock:
        samples = [s for s in poller.samples if mesh_start <= s[0] <= until]
    blocked = [s[2] for s in slept]
    over = [b for b in blocked if b > 1.0]
    worst = max(blocked, default=0.0)
    slice_max = max((s[1] for s in samples), default=float("nan"))
    hook_max = max((s[2] for s in samples if s[2] is not None), default=float("nan"))
    built = samples[-1][4] - samples[0][4] if len(samples) > 1 else 0
    print()
    for p in pages:
        print("page %s: %d streams, %d pieces, ends %s, refusals %s, errors %d"
              % (p.name, p.step, p.pieces, p.ends or "{}", p.refusals or "{}", p.errors))
    by_hook = {}
    for s in slept:
        by_hook[s[1]] = by_hook.get(s[1], 0) + 1
    worst_ten = sorted(blocked, reverse=True)[:10]
    print("host totals since its start: %s" % " ".join("%s=%g" % kv for kv in sorted(totals.items())))
    print("slept frames once meshing ran: %d (%s), blocked %.1f ms in all, worst %.2f ms, %d over 1 ms; worst ten %s"
          % (len(slept), ", ".join("%s %d" % kv for kv in sorted(by_hook.items())) or "none", sum(blocked), worst,
             len(over), " ".join("%.2f" % b for b in worst_ten) or "-"))
    print("status over %d polls: slice.maxRecentMicros max %.1f, hookCostMicrosMaxRecent max %.1f; %d pieces built"
          % (len(samples), slice_max, hook_max, built))
    print("load average at the end %s; the virtual processors of cpus %s were stopped (steal) %.0f ms in all"
          % (loadavg(), args.cpus, host.steal))
    with host.lock:
        slow = list(host.slow)
    print("the host's slowest frames once meshing ran (its own readings of its thread):")
    for hook in HOOKS:
        for line in frame_split(slow, mesh_start, until, hook):
            print("  " + line)
    if args.perf:
        print("where the host's thread slept, outside its own sleep between frames (perf, %s):" % args.perf)
        for line in sleeping_stacks(args.perf):
            print("  " + line)
        print("where the host's thread waited for a core, by what ran there first (perf, %s.cpus):" % args.perf)
        for line in waits_for_a_cpu(args.perf + ".cpus", host.proc.pid):
            print("  " + line)
        print("the host's thread on a CPU, by what ran (perf, %s.oncpu):" % args.perf)
        for line in on_cpu_shares(args.perf):
            print("  " + line)
        print("the slowest frames: on-CPU samples by what ran (ms), and the cores while it waited "
              "(perf, %s.oncpu and %s.cpus):" % (args.perf, args.perf))
        for line in frame_causes(args.perf, slow, mesh_start, until, host.proc.pid,
                                 time.time() - time.monotonic(), HOOKS, top=6):
            print("  " + line)
    goals = [
        ("no frame sleeps over 1 ms inside the module's calls", not over,
         "%d over, worst %.2f ms" % (len(over), worst)),
        ("slice.maxRecentMicros at most 5 ms", slice_max <= 5000.0, "%.1f us" % slice_max),
        ("hookCostMicrosMaxRecent at most 5 ms", hook_max <= 5000.0, "%.1f us" % hook_max),
    ]
    for text, ok, detail in goals:
        print("%s: %s (%s)" % ("PASS" if ok else "FAIL", text, detail))
    failed = [n for n, (_, ok, _) in zip(("sleep", "slice", "hook"), goals) if not ok]
    print("stall: minutes=%.1f slept=%d blocked=%.1fms worst=%.2fms over1ms=%d slice=%.1fus hook=%.1fus built=%d "
          "load=%s goals=%s" % ((until - mesh_start) / 60, len(slept), sum(blocked), worst, len(over), slice_max,
                                hook_max, built, loadavg(), "FAIL(" + ",".join(failed) + ")" if failed else "PASS"))
    if broke:
        print("stall: run broke: " + broke)
        return 1
    if not built:
        print("stall: nothing was built")
        return 1
    return 1 if args.strict and failed else 0


if __name__ == "__main__":
    sys.exit(main())
