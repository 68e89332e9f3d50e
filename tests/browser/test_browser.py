"""A real browser reads the module's documents: headless chromium, driven by playwright-core, opens
a test page served from http://localhost on another port whose script fetches /v1/status and
/v1/aircraft and shows the aircraft count; the same page from a disallowed origin (a made-up host
name that chromium resolves to 127.0.0.1) gets no data."""
import functools
import http.server
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.environ.get("QM_SOURCE_DIR", os.path.dirname(os.path.dirname(HERE)))
BUILD = os.environ.get("QM_BUILD_DIR", os.path.join(SOURCE, "build", "default"))
sys.path[:0] = [os.path.join(SOURCE, "tests", "support"), os.path.join(SOURCE, "tests", "http")]
from test_documents import Host  # noqa: E402

SKIP = 77  # ctest's skip code for this test
MADE_UP_HOST = "made-up-host.test"


def chromium_path():
    for candidate in ("/usr/bin/chromium", shutil.which("chromium")):
        if candidate and os.access(candidate, os.X_OK):
            return candidate
    return None


def install_driver():
    """playwright-core from npm into the build directory (no browser download), once per lock file."""
    work = os.path.join(BUILD, "browser")
    os.makedirs(work, exist_ok=True)
    for name in ("package.json", "package-lock.json", "check_page.mjs"):
        shutil.copyfile(os.path.join(HERE, name), os.path.join(work, name))
    marker = os.path.join(work, "node_modules", ".installed-lock")
    with open(os.path.join(HERE, "package-lock.json"), "rb") as f:
        lock = f.read()
    installed = b""
    if os.path.exists(marker):
        with open(marker, "rb") as f:
            installed = f.read()
    if installed != lock:
        env = dict(os.environ, PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD="1")
        subprocess.run(["npm", "ci", "--no-audit", "--no-fund"], cwd=work, check=True, env=env, timeout=300)
        with open(marker, "wb") as f:
            f.write(lock)
    return work


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


class Browser(unittest.TestCase):
    def test_page_on_an_allowed_origin_reads_the_documents_and_a_disallowed_one_gets_none(self):
        work = install_driver()
        host = Host()
        pages = http.server.ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(QuietHandler, directory=HERE))
        threading.Thread(target=pages.serve_forever, daemon=True).start()
        try:
            self.assertEqual(host.command("mission own"), "ok")
            host.wait_for("/v1/aircraft", lambda d: d["state"] == "mission" and len(d["aircraft"]) == 3)
            _, _, before = host.document("/v1/status")
            page_port = pages.server_address[1]
            api = "http://127.0.0.1:%d" % host.port
            allowed = "http://localhost:%d/page.html?api=%s" % (page_port, api)
            refused = "http://%s:%d/page.html?api=%s" % (MADE_UP_HOST, page_port, api)
            rules = "MAP %s 127.0.0.1, MAP localhost 127.0.0.1" % MADE_UP_HOST
            with tempfile.TemporaryDirectory(prefix="qm-chromium-") as profile:
                run = subprocess.run(["node", os.path.join(work, "check_page.mjs"), chromium_path(), profile, rules,
                                      allowed, refused], capture_output=True, text=True, timeout=300)
            self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
            shown = json.loads(run.stdout.strip().splitlines()[-1])

            self.assertEqual(shown[0]["shown"], "state mission aircraft 3", shown)
            self.assertIn(["/v1/status", 200], shown[0]["answers"])
            self.assertIn(["/v1/aircraft", 200], shown[0]["answers"])

            self.assertTrue(shown[1]["shown"].startswith("failed: "), shown)
            self.assertNotIn(["/v1/status", 200], shown[1]["answers"])
            self.assertNotIn(["/v1/aircraft", 200], shown[1]["answers"])
            _, _, after = host.document("/v1/status")
            self.assertGreater(after["health"]["rejected"], before["health"]["rejected"],
                               "the disallowed origin was answered 403")
        finally:
            pages.shutdown()
            pages.server_close()
            host.close()


if __name__ == "__main__":
    missing = [name for name, found in (("chromium", chromium_path()), ("node", shutil.which("node")),
                                        ("npm", shutil.which("npm"))) if not found]
    if missing:
        print("SKIPPED: the browser test needs %s (install chromium with scripts/setup.sh and Node.js with npm)"
              % " and ".join(missing))
        sys.exit(SKIP)
    result = unittest.main(verbosity=2, exit=False).result
    sys.exit(0 if result.wasSuccessful() else 1)
