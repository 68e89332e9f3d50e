"""GET /v1/aircraft, /v1/neutrals and /v1/status against the module served by a small test host:
the Origin requirement, the last-request stamp that `frame` reports, every key and decimal of the
unit documents, and the status document's keys matching the host's `status`."""
import http.client
import json
import os
import re
import select
import socket
import subprocess
import sys
import time
import unittest

BUILD = os.environ.get("QM_BUILD_DIR", "build/default")
SOURCE = os.environ.get("QM_SOURCE_DIR", ".")
HOST_SCRIPT = os.path.join(SOURCE, "tests", "http", "documents_host.lua")
ORIGIN = "http://localhost:5173"
ORIGIN_REQUIRED = b"game data is served to pages: an allowed Origin header is required"


sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from qmhttp import EVENT_LIMIT, free_port, host_env as child_env, wait_until  # noqa: E402


class Host:
    """The test host in a child process, driven one command line at a time."""

    def __init__(self):
        self.port = free_port()
        self.proc = subprocess.Popen(["lua5.1", HOST_SCRIPT, BUILD, str(self.port)], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=child_env())
        line = self._line(EVENT_LIMIT)
        if line != "ready":
            raise RuntimeError("the test host did not start: %r %r" % (line, self.proc.stderr.read()))

    def _line(self, timeout):
        ready, _, _ = select.select([self.proc.stdout], [], [], timeout)
        if not ready:
            raise RuntimeError("the test host did not answer in time")
        return self.proc.stdout.readline().decode("utf-8").rstrip("\n")

    def command(self, text):
        self.proc.stdin.write((text + "\n").encode())
        self.proc.stdin.flush()
        return self._line(EVENT_LIMIT)

    def close(self):
        try:
            self.proc.stdin.write(b"quit\n")
            self.proc.stdin.flush()
            self.proc.wait(timeout=EVENT_LIMIT)
        except Exception:
            self.proc.kill()
            self.proc.wait()
        self.proc.stdout.close()
        self.proc.stderr.close()
        self.proc.stdin.close()

    def get(self, path, origin=ORIGIN):
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=EVENT_LIMIT)
        try:
            headers = {"Origin": origin} if origin is not None else {}
            conn.request("GET", path, headers=headers)
            response = conn.getresponse()
            return response.status, dict(response.getheaders()), response.read()
        finally:
            conn.close()

    def document(self, path):
        status, headers, body = self.get(path)
        if status != 200:
            raise AssertionError("%s answered %d %r" % (path, status, body))
        return headers, body, json.loads(body)

    def wait_for(self, path, predicate):
        last = [None]

        def reached():
            last[0] = self.document(path)
            return last[0] if predicate(last[0][2]) else None
        return wait_until(reached, message=lambda: "%s never reached the expected state: %r" % (path, last[0][1]))

    def idle_status(self):
        """The host's status document once every connection before has ended, so has counted all
        it will (read without a connection of its own)."""
        def idle():
            line = self.command("status")
            doc = json.loads(line[len("status "):])
            return doc if doc["health"]["openConnections"] == 0 else None
        return wait_until(idle, message="connections left open")

    def frame_seconds(self):
        value = self.command("frame").split(" ", 1)[1]
        return None if value == "nil" else float(value)


def key_paths(value, prefix=""):
    """The object keys of a document in order, as paths (arrays compared by their first element)."""
    paths = []
    if isinstance(value, dict):
        for key, inner in value.items():
            paths.append(prefix + "/" + key)
            paths.extend(key_paths(inner, prefix + "/" + key))
    elif isinstance(value, list) and value:
        paths.extend(key_paths(value[0], prefix + "[]"))
    return paths


HEAD_KEYS = ["api", "exporter", "state", "exportState", "secondsSinceFrame", "modelTime"]


class OriginAndStamp(unittest.TestCase):
    def setUp(self):
        self.host = Host()

    def tearDown(self):
        self.host.close()

    def test_data_routes_need_an_allowed_origin_and_stamp_the_request_time(self):
        host = self.host
        self.assertIsNone(host.frame_seconds(), "no request yet")
        status, headers, _ = host.get("/v1/status", origin=None)
        self.assertEqual(status, 200)
        self.assertNotIn("Access-Control-Allow-Origin", headers)
        self.assertIsNone(host.frame_seconds(), "the status counts a request but does not stamp it")

        for path in ("/v1/aircraft", "/v1/neutrals"):
            with self.subTest(path=path):
                status, headers, body = host.get(path, origin=None)
                self.assertEqual((status, body), (403, ORIGIN_REQUIRED))
                self.assertEqual(headers["Content-Type"], "text/plain; charset=utf-8")
                self.assertNotIn("Access-Control-Allow-Origin", headers)
                status, _, body = host.get(path, origin="http://example.com")
                self.assertEqual((status, body), (403, b"Forbidden"))
        self.assertIsNone(host.frame_seconds(), "refused requests are not stamped")

        for path in ("/v1/aircraft", "/v1/neutrals"):
            with self.subTest(path=path):
                asked = time.monotonic()
                status, headers, _ = host.get(path)
                self.assertEqual(status, 200)
                self.assertEqual(headers["Access-Control-Allow-Origin"], ORIGIN)
                self.assertEqual(headers["Vary"], "Origin")
                self.assertEqual(headers["Content-Type"], "application/json")
                seconds = host.frame_seconds()
                self.assertIsNotNone(seconds)
                # Stamped by this request: no longer ago than the request was sent.
                self.assertLessEqual(seconds, time.monotonic() - asked + 0.001)
                time.sleep(0.6)
                self.assertGreaterEqual(host.frame_seconds(), 0.6)

        before = host.idle_status()
        host.get("/v1/aircraft", origin=None)
        after = host.idle_status()
        self.assertEqual(after["health"]["requests"], before["health"]["requests"],
                         "a refused data request is not counted as a request")
        self.assertEqual(after["health"]["rejected"], before["health"]["rejected"] + 1)


class Documents(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.host = Host()

    @classmethod
    def tearDownClass(cls):
        cls.host.close()

    def check_head(self, doc, state):
        self.assertEqual(list(doc)[:6], HEAD_KEYS)
        self.assertEqual((doc["api"], doc["exporter"], doc["state"]), (1, "1.1.0", state))

    def test_1_menu(self):
        # The host says it is ready before its first frame; the menu's documents count from that frame.
        _, body, doc = self.host.wait_for("/v1/aircraft", lambda d: d["secondsSinceFrame"] is not None)
        self.check_head(doc, "menu")
        self.assertEqual(list(doc)[6:], ["self", "aircraft"])
        self.assertTrue(body.endswith(b',"self":null,"aircraft":[]}'), body)
        self.assertIsNone(doc["exportState"])
        self.assertIsNone(doc["modelTime"])
        self.assertRegex(body.decode(), r'"secondsSinceFrame":\d+\.\d{3},')
        _, body, doc = self.host.document("/v1/neutrals")
        self.check_head(doc, "menu")
        self.assertTrue(body.endswith(b',"neutrals":[]}'), body)

    def test_2_mission_on_the_own_server(self):
        host = self.host
        self.assertEqual(host.command("mission own"), "ok")
        _, body, doc = host.wait_for("/v1/aircraft", lambda d: d["state"] == "mission" and len(d["aircraft"]) == 3)
        self.check_head(doc, "mission")
        self.assertEqual(doc["self"], 12)
        self.assertEqual([a["id"] for a in doc["aircraft"]], [11, 12, 13])
        self.assertEqual(list(doc["aircraft"][0]), ["id", "t", "coalition", "human", "kind", "type", "name", "group",
                                                    "lat", "lon", "alt", "ground", "heading"])
        plane, helicopter, viper = doc["aircraft"]
        self.assertEqual((plane["coalition"], plane["human"], plane["kind"], plane["type"]),
                         ("blue", True, "plane", "FA-18C"))
        self.assertEqual(plane["name"], "Пилот é 中 ✈")
        self.assertEqual(plane["group"], 'Blue "1"')
        self.assertEqual((helicopter["coalition"], helicopter["kind"]), ("red", "helicopter"))
        self.assertEqual(helicopter["name"], "tab\there\x01ctl\x7f")
        self.assertEqual(helicopter["group"], "back\\slash")
        self.assertIsNone(helicopter["ground"])
        self.assertIsNone(helicopter["heading"])
        self.assertEqual(viper["group"], "Blue \ufffd 2")
        text = body.decode("utf-8")
        self.assertIn('"name":"Пилот é 中 ✈"', text, "non-ASCII names are sent as they are")
        self.assertIn('"name":"tab\\there\\u0001ctl\\u007f"', text, "control characters are escaped")
        self.assertIn('"lat":34.500000,"lon":69.250000,"alt":3048.2,"ground":1790.0,"heading":', text)
        self.assertRegex(text, r'"t":\d+\.\d{3},"coalition":"blue","human":true')
        self.assertRegex(text, r'"heading":\d+\.\d\}')

        _, body, doc = host.document("/v1/neutrals")
        self.check_head(doc, "mission")
        self.assertEqual(list(doc)[6:], ["neutrals"])
        self.assertEqual([n["id"] for n in doc["neutrals"]], [5, 6])
        self.assertEqual(list(doc["neutrals"][0]), ["id", "t", "type", "group", "levels", "invisible", "lat", "lon",
                                                    "alt"])
        self.assertEqual(doc["neutrals"][0]["levels"], [3, 12, 2, 4])
        self.assertEqual(doc["neutrals"][0]["group"], "Harbour ☂")
        self.assertTrue(doc["neutrals"][0]["invisible"])
        self.assertIn(b'"invisible":true,"lat":34.123457,"lon":69.765432,"alt":-0.0}', body)

    def test_3_polls_of_one_snapshot_are_byte_identical(self):
        host = self.host
        arrays = set()
        for _ in range(5):
            _, body, doc = host.document("/v1/aircraft")
            self.assertEqual(doc["state"], "mission")
            arrays.add(body[body.index(b',"self":'):])
        self.assertEqual(len(arrays), 1, "nothing moved, so every poll shows the same units")

    def test_4_status_keys_match_the_hosts_status(self):
        host = self.host
        _, _, route = host.document("/v1/status")
        line = host.command("status")
        self.assertTrue(line.startswith("status {"), line)
        lua = json.loads(line[len("status "):])
        self.assertEqual(route["state"], "mission")
        self.assertEqual(key_paths(route), key_paths(lua))
        self.assertEqual(route["health"]["aircraft"], 3)
        self.assertEqual(route["health"]["neutrals"], 2)

    def test_5_many_aircraft_in_ascending_order(self):
        host = self.host
        self.assertEqual(host.command("many 2500"), "ok")
        _, _, doc = host.wait_for("/v1/aircraft", lambda d: len(d["aircraft"]) == 2500)
        ids = [a["id"] for a in doc["aircraft"]]
        self.assertEqual(ids, list(range(1001, 3501)))

    def test_5_reader_that_holds_off_past_the_head_deadline(self):
        # A page that reads nothing of a large answer until its head's 2 s deadline has surely
        # passed still gets the whole document: the answer's send limit counts from its first
        # byte, not from the head's deadline. The answer (about 8 MB) is far larger than what the
        # two sockets' buffers can hold (the page's receive buffer is made small), so the server's
        # send waits all through the hold.
        host = self.host
        self.assertEqual(host.command("many 40000"), "ok")
        host.wait_for("/v1/aircraft", lambda d: len(d["aircraft"]) == 40000)
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        try:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            s.settimeout(EVENT_LIMIT)
            s.connect(("127.0.0.1", self.host.port))
            s.sendall(b"GET /v1/aircraft HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nOrigin: %s\r\n\r\n"
                      % (self.host.port, ORIGIN.encode()))
            # The first bytes have arrived, so the connection began before now and its head
            # deadline lies less than 2 s ahead.
            readable, _, _ = select.select([s], [], [], EVENT_LIMIT)
            self.assertTrue(readable, "no answer")
            time.sleep(2.2)
            chunks = []
            while True:
                data = s.recv(65536)
                if not data:
                    break
                chunks.append(data)
        finally:
            s.close()
        head, _, body = b"".join(chunks).partition(b"\r\n\r\n")
        self.assertTrue(head.startswith(b"HTTP/1.1 200 OK\r\n"), head)
        self.assertIn(b"\r\nContent-Length: %d\r\n" % len(body), head)
        self.assertEqual(len(json.loads(body)["aircraft"]), 40000)

    def test_6_mission_on_another_server(self):
        host = self.host
        self.assertEqual(host.command("mission other"), "ok")
        _, body, doc = host.wait_for("/v1/aircraft", lambda d: d["state"] == "other-server")
        self.assertTrue(body.endswith(b',"self":null,"aircraft":[]}'), body)
        self.assertIsNone(doc["secondsSinceFrame"])
        _, body, doc = host.document("/v1/neutrals")
        self.assertEqual(doc["state"], "other-server")
        self.assertTrue(body.endswith(b',"neutrals":[]}'), body)

    def test_7_back_in_the_menu(self):
        host = self.host
        self.assertEqual(host.command("mission own"), "ok")
        host.wait_for("/v1/aircraft", lambda d: d["state"] == "mission" and len(d["aircraft"]) == 3)
        self.assertEqual(host.command("menu"), "ok")
        _, body, doc = host.wait_for("/v1/aircraft", lambda d: d["state"] == "menu")
        self.assertTrue(body.endswith(b',"self":null,"aircraft":[]}'), body)


if __name__ == "__main__":
    unittest.main(verbosity=2)
