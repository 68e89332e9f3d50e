"""The simulated host runs the module under both map modes with no fault left in the status."""
import json
import os
import socket
import subprocess
import sys
import unittest

BUILD = os.environ.get("QM_BUILD_DIR", "build/default")
SOURCE = os.environ.get("QM_SOURCE_DIR", ".")
SECONDS = 20


sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from qmhttp import free_port, host_env as child_env  # noqa: E402


def find_key(value, key):
    if isinstance(value, dict):
        if key in value:
            return True, value[key]
        for inner in value.values():
            found, v = find_key(inner, key)
            if found:
                return True, v
    return False, None


class SimulatedHost(unittest.TestCase):
    def run_both(self):
        runs = {}
        for mode in ("tm", "other"):
            cmd = ["lua5.1", os.path.join(SOURCE, "sim", "host.lua"), "--module", BUILD,
                   "--port", str(free_port()), "--map", mode, "--seconds", str(SECONDS)]
            runs[mode] = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                          env=child_env())
        out = {}
        for mode, proc in runs.items():
            try:
                stdout, stderr = proc.communicate(timeout=SECONDS + 60)
            except subprocess.TimeoutExpired:
                proc.kill()
                stdout, stderr = proc.communicate()
                self.fail(f"{mode}: the simulated host did not end:\n{stdout}\n{stderr}")
            out[mode] = (proc.returncode, stdout, stderr)
        return out

    def test_runs_under_both_map_modes_without_faults(self):
        for mode, (rc, stdout, stderr) in self.run_both().items():
            with self.subTest(mode=mode):
                self.assertEqual(rc, 0, f"{mode}: exit {rc}\n{stdout}\n{stderr}")
                lines = stdout.splitlines()
                self.assertTrue(any("serving on http://127.0.0.1:" in l or "not serving" in l for l in lines),
                                stdout)
                done = [l for l in lines if l.startswith("sim: done: ")]
                self.assertEqual(len(done), 1, stdout)
                # Every fault so far comes from functions not built yet; nothing else may fault.
                for line in lines:
                    if " answered panic: " in line:
                        self.assertIn("not built yet", line, f"{mode}: {line}")
                status = [l[len("sim: final status "):] for l in lines if l.startswith("sim: final status ")]
                self.assertEqual(len(status), 1, stdout)
                if status[0] != "unavailable":
                    document = json.loads(status[0])
                    found, last = find_key(document, "lastPanic")
                    self.assertTrue(found, status[0])
                    self.assertTrue(last is None or "not built yet" in last, f"{mode}: lastPanic {last}")
                    # The mission runs while the status is read, with the world's map mode.
                    found, projection = find_key(document, "projection")
                    if found and isinstance(projection, dict):
                        self.assertEqual(projection.get("kind"), "tm" if mode == "tm" else "blocks", projection)


if __name__ == "__main__":
    unittest.main(verbosity=2)
