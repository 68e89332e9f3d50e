"""GET /v1/terrain through the simulated host: heights of the host's terrain at the converted map
points, under both map modes."""
import json
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import qmhttp  # noqa: E402

# The simulated host's transverse Mercator map: central meridian 63, scale 0.9996, origin 33.5N 65.5E.
TM = "+proj=tmerc +ellps=WGS84 +lat_0=0 +lon_0=63 +k=0.9996 +x_0=0 +y_0=0 +units=m"
# Its other map: a Lambert conformal conic on a sphere of radius 6378137 m.
LAMBERT = "+proj=lcc +R=6378137 +lat_1=30 +lat_2=60 +lat_0=47 +lon_0=12 +x_0=0 +y_0=0 +units=m"
LONGLAT = "+proj=longlat +ellps=WGS84"
ORIGIN = "https://map.quillmarsh-export.io"


def cs2cs(src, dst, pairs):
    text = "".join("%.17g %.17g\n" % p for p in pairs)
    out = subprocess.run(["cs2cs", "-f", "%.12f"] + src.split() + ["+to"] + dst.split(), input=text,
                         capture_output=True, text=True, check=True).stdout
    return [tuple(float(v) for v in line.split()[:2]) for line in out.strip().splitlines()]


def map_latlon(mode, points):
    """(latitude, longitude) of map points (x north, z east) of the simulated host's map."""
    if mode == "tm":
        (e0, n0), = cs2cs(LONGLAT, TM, [(65.5, 33.5)])
        lonlat = cs2cs(TM, LONGLAT, [(e0 + z, n0 + x) for x, z in points])
    else:
        lonlat = cs2cs(LAMBERT, LONGLAT.replace("+ellps=WGS84", "+R=6378137"), [(z, x) for x, z in points])
    return [(lat, lon) for lon, lat in lonlat]


def get(port, target):
    return qmhttp.get(port, target, [("Host", "127.0.0.1:%d" % port), ("Origin", ORIGIN)])


class SimHost:
    """The simulated host in its mission, serving, run by `launcher` (lua5.1, or a program that runs
    a Lua script the same way); the test ends it. (Its own end, `seconds` on, is only there for a
    host whose test was killed: no test lasts that long.)"""

    def __init__(self, mode, launcher="lua5.1", seconds=3600):
        self.port = qmhttp.free_port()
        cmd = [launcher, os.path.join(qmhttp.SOURCE_DIR, "sim", "host.lua"), "--module", qmhttp.BUILD_DIR,
               "--port", str(self.port), "--map", mode, "--seconds", str(seconds)]
        self.proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=sys.stderr,
                                     text=True, env=qmhttp.host_env())
        while True:
            line = self.proc.stdout.readline()
            if "serving on" in line:
                break
            if not line:
                raise RuntimeError("the simulated host ended")

        # Until the mission runs and its anchors are published.
        def projected():
            try:
                code, _, body = get(self.port, "/v1/status")
                return code == 200 and json.loads(body)["mesh"]["projection"]["kind"] != "none"
            except OSError:
                return False  # not listening yet
        qmhttp.wait_until(projected, interval=0.1, message="no projection")

    def terrain(self, points_text):
        code, fields, body = get(self.port, "/v1/terrain?points=" + points_text)
        return code, dict(fields), body

    def close(self):
        self.proc.kill()
        self.proc.wait()


def check_mode(mode):
    host = SimHost(mode)
    try:
        # The airfield (120 m, flat) and the sea (0 m) of the synthetic terrain, a point repeated,
        # and one far beyond 2000 km of the map origin.
        airfield, sea = map_latlon(mode, [(-4500.0, -1500.0), (0.0, -100000.0)])
        points = [airfield, sea, airfield, (-60.0, 10.0)]
        text = ";".join("%.6f,%.6f" % p for p in points)
        # The host answers at its frames' ends; a 503 asks to try again after its Retry-After.
        deadline = time.monotonic() + qmhttp.EVENT_LIMIT
        while True:
            code, fields, body = host.terrain(text)
            if code == 200 or time.monotonic() > deadline:
                break
            assert code == 503, (code, body)
            time.sleep(float(fields.get("Retry-After", "1")))
        assert code == 200, (code, body)
        doc = json.loads(body)
        assert doc["state"] == "mission"
        got = doc["points"]
        assert len(got) == len(points)
        assert got[0]["height"] == 120.0, got
        assert got[1]["height"] == 0.0, got
        assert got[2] == got[0]
        assert got[0]["lat"] == round(airfield[0], 6), got
        assert got[-1]["height"] is None
        assert b'"lat":-60.000000,"lon":10.000000,"height":null' in body, body

        code, _, body = host.terrain("1,2;")
        assert code == 400 and body == b"a point needs lat,lon", (code, body)
        code, _, body = qmhttp.get(host.port, "/v1/terrain?points=1,2")  # no Origin header
        assert code == 403 and body.startswith(b"game data is served to pages"), (code, body)
    finally:
        host.close()


def test_transverse_mercator_map():
    check_mode("tm")


def test_other_map():
    check_mode("other")


if __name__ == "__main__":
    qmhttp.run_tests([test_transverse_mercator_map, test_other_map])
