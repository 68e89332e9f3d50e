"""No memory crosses between the host's thread and the module's threads.

The simulated host runs with tests/tools/cross_free.c preloaded, which counts every free on the host's
thread of a chunk of another thread's arena, and every free on a module thread of a chunk of the
host's arena (either would take the other side's allocator lock). Meanwhile pages mesh, a client asks
for terrain heights, aircraft and the status, and the host's thread goes through `status`,
`lan_status` and a new mission (tests/http/cross_free_host.lua). Once the host has ended, the
library's report must hold no crossing.

Creating a thread is left out: the C library reuses the stack of a thread that has ended and frees
the thread-local blocks that thread left on it, and `start` and `stop` create threads on the host's
thread. So the host calls `start` once, first, and `stop` once, last (whose frees, inside the C
library, are not counted).

Needs the library, which is built only without sanitizers (QM_CROSS_FREE names it)."""
import os
import subprocess
import sys
import tempfile
import threading

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import qmhttp  # noqa: E402
from test_mesh_have import box  # noqa: E402
from test_mesh_route import Stream  # noqa: E402

BUILD = os.environ.get("QM_BUILD_DIR", "build/default")
SOURCE = os.environ.get("QM_SOURCE_DIR", ".")
LIBRARY = os.environ.get("QM_CROSS_FREE", "")
SECONDS = 30


def symbolized(frames):
    """Function names of the module's frames (addr2line), the others as they are."""
    names = []
    for frame in frames:
        path, _, offset = frame.rpartition("+")
        if "quillmarsh_exporter" in path:
            out = subprocess.run(["addr2line", "-f", "-C", "-e", path, offset], capture_output=True, text=True)
            names.append(out.stdout.splitlines()[0][:160] if out.stdout else frame)
        else:
            names.append(frame)
    return names


def meshing(port, stop):
    """A page meshing two small areas in turn until stopped."""
    areas = [box(33.52, 65.52, 33.55, 65.56), box(33.56, 65.52, 33.59, 65.56)]
    n = 0
    while not stop.is_set():
        try:
            s = Stream(port, "page=cross&theatre=Afghanistan&areas=%s" % areas[n % 2])
            try:
                while not stop.is_set() and s.frame()[0] != 6:
                    pass
            finally:
                s.close()
        except (OSError, EOFError, ValueError):
            stop.wait(0.5)
        n += 1


def asking(port, stop):
    """Terrain heights, aircraft and the status, a few times a second."""
    headers = [("Host", "127.0.0.1:%d" % port), ("Origin", "http://localhost")]
    while not stop.is_set():
        for target in ("/v1/terrain?points=33.60,65.60;33.61,65.62;33.70,65.70", "/v1/aircraft", "/v1/status"):
            try:
                qmhttp.get(port, target, headers=headers)
            except OSError:
                pass
        stop.wait(0.2)


def test_no_memory_crosses_between_the_host_and_the_module_threads():
    if not LIBRARY:
        print("skipped: the crossing counter is not built in this configuration")
        return
    port = qmhttp.free_port()
    with tempfile.TemporaryDirectory() as tmp:
        report_path = os.path.join(tmp, "report")
        env = dict(qmhttp.host_env(), LD_PRELOAD=LIBRARY, QM_CROSS_FREE_REPORT=report_path)
        cmd = ["lua5.1", os.path.join(SOURCE, "tests", "http", "cross_free_host.lua"), "--module", BUILD,
               "--port", str(port), "--seconds", str(SECONDS)]
        proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, env=env)
        stop = threading.Event()
        output = []
        reader = threading.Thread(target=lambda: output.extend(proc.stdout), daemon=True)
        reader.start()
        try:
            assert qmhttp.wait_for_projection(port), "the host did not serve a projection"
            workers = [threading.Thread(target=f, args=(port, stop), daemon=True) for f in (meshing, asking)]
            for w in workers:
                w.start()
            assert proc.wait(SECONDS + 60) == 0, "".join(output)
        finally:
            stop.set()
            if proc.poll() is None:
                proc.kill()
                proc.wait()
        reader.join(5)
        text = "".join(output)
        assert "sim: done: " in text, text
        with open(report_path) as f:
            lines = f.read().splitlines()
    assert lines and lines[-1].startswith("total "), lines
    crossings = []
    for line in lines:
        if not line.startswith("cross "):
            continue
        _, direction, size, count, *frames = line.split()
        if frames and "/libc.so" in frames[0]:
            continue  # the C library's own work, see above
        crossings.append("%s %s x%s:\n    %s" % (direction, size, count, "\n    ".join(symbolized(frames)[:10])))
    assert not crossings, "memory crossed between the host and the module:\n" + "\n".join(crossings)


if __name__ == "__main__":
    qmhttp.run_tests([test_no_memory_crosses_between_the_host_and_the_module_threads])
