"""Adjacent mesh areas on the simulated host, built one after another so that every later area's
pieces are built against the stored pieces of the earlier ones (which it re-cuts). A fresh page then
asks for all of them at once; decoded from its stream, the pieces meet without T-junctions or gaps,
and every vertex lies close to the world's terrain (computed by the simulated world's own code)."""
import math
import os
import struct
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import qmhttp  # noqa: E402
from test_mesh_route import Stream  # noqa: E402
from test_terrain_route import SimHost  # noqa: E402

R = 6378137.0  # the web Mercator radius of the piece frames

# Two sets of three areas (south, lat, lon corners in degrees): two boxes side by side, then one
# across the top of both. In the hills near the map origin, and across the sharp ridge's crest.
AREA_SETS = {
    "hills": [((33.501, 65.501), (33.505, 65.506)), ((33.501, 65.506), (33.505, 65.511)),
              ((33.505, 65.501), (33.509, 65.511))],
    "ridge": [((33.813, 65.504), (33.817, 65.509)), ((33.813, 65.509), (33.817, 65.514)),
              ((33.817, 65.504), (33.821, 65.514))],
}

# Vertical refinement tolerance of a piece against its reference surface: no vertex may lie
# further than this from the terrain (the vertices take their heights from that surface, which
# passes through the sampled heights). Positions come as 32-bit floats, which adds far less.
HEIGHT_TOLERANCE = 0.25
POSITION = 0.001     # the position tolerance of the mesh build
SAME_POINT = 2e-4    # two pieces' copies of one vertex, each rounded to 32 bits relative to its piece


def box_query(box):
    (lat1, lon1), (lat2, lon2) = box
    d_lat, d_lon = round((lat2 - lat1) * 1e5), round((lon2 - lon1) * 1e5)
    return "%.5f,%.5f;0,%d;%d,0;0,%d" % (lat1, lon1, d_lon, d_lat, -d_lon)


def read_pieces(port, page, boxes):
    s = Stream(port, "page=%s&theatre=Afghanistan&areas=%s" % (page, "|".join(box_query(b) for b in boxes)))
    s.sock.settimeout(120)
    frames = s.until_end()
    s.close()
    assert frames[-1] == (6, {"end": "complete", "failed": 0}), frames[-1]
    return [payload for kind, payload in frames if kind == 3]


def decode(payload):
    """(id, [(mercator x, mercator y, z)], [(i, j, k)]) of a piece frame."""
    x0, y0, _lat0, pid, v, t, w = struct.unpack_from("<dddIIII", payload, 0)
    verts = [struct.unpack_from("<fff", payload, 40 + 12 * i) for i in range(v)]
    fmt = "<HHH" if w == 2 else "<III"
    tris = [struct.unpack_from(fmt, payload, 40 + 12 * v + 3 * w * i) for i in range(t)]
    return pid, [(x0 + a, y0 + b, h) for a, b, h in verts], tris


def world_points(mercator):
    """Map (x north, z east) and the world's height of web Mercator points, by the simulated
    world's own projection and terrain formula."""
    script = ('package.path = [[%s/sim/?.lua;]] .. package.path\n' % os.path.abspath(qmhttp.SOURCE_DIR) +
              'local world = require("world").new("tm")\n'
              'for line in io.lines() do\n'
              '  local lat, lon = line:match("(%S+) (%S+)")\n'
              '  local x, z = world.map.to_map(tonumber(lat), tonumber(lon))\n'
              '  io.write(string.format("%.17g %.17g %.17g\\n", x, z, world.height(x, z) or 0 / 0))\n'
              'end\n')
    lines = []
    for mx, my in mercator:
        lat = math.degrees(2 * math.atan(math.exp(my / R)) - math.pi / 2)
        lon = math.degrees(mx / R)
        lines.append("%.17g %.17g\n" % (lat, lon))
    out = subprocess.run(["lua5.1", "-e", script], input="".join(lines),
                         capture_output=True, text=True, check=True).stdout
    return [tuple(float(v) for v in line.split()) for line in out.splitlines()]


def border(tris):
    """The edges that one triangle of the piece has, and their vertices."""
    uses = {}
    for t in tris:
        for a, b in ((t[0], t[1]), (t[1], t[2]), (t[2], t[0])):
            key = (min(a, b), max(a, b))
            uses[key] = uses.get(key, 0) + 1
    edges = [e for e, n in uses.items() if n == 1]
    return edges, sorted({i for e in edges for i in e})


def seam_faults(pieces):
    """T-junctions (a border vertex of one piece inside a border edge of another), gaps (a border
    vertex off another's border by more than the position tolerance but less than 0.01) and
    height steps (two pieces' copies of one border vertex at different heights)."""
    faults = {"t_junctions": [], "gaps": [], "steps": []}
    borders = [border(tris) for _pid, _verts, tris in pieces]
    for p, (pid, pv, _pt) in enumerate(pieces):
        edges = borders[p][0]
        for q, (qid, qv, _qt) in enumerate(pieces):
            if p == q:
                continue
            for k in borders[q][1]:
                wx, wy, wz = qv[k]
                nearest = None
                for i, j in edges:
                    (ux, uy, uz), (vx, vy, vz) = pv[i], pv[j]
                    if math.hypot(wx - ux, wy - uy) < SAME_POINT:
                        if abs(wz - uz) > POSITION:
                            faults["steps"].append((pid, qid, (wx, wy), abs(wz - uz)))
                        nearest = 0.0
                        break
                    dx, dy = vx - ux, vy - uy
                    length2 = dx * dx + dy * dy
                    t = ((wx - ux) * dx + (wy - uy) * dy) / length2
                    if not 0.0 < t < 1.0:
                        d = min(math.hypot(wx - ux, wy - uy), math.hypot(wx - vx, wy - vy))
                    else:
                        d = abs(dx * (wy - uy) - dy * (wx - ux)) / math.sqrt(length2)
                        if d < POSITION and math.hypot(wx - vx, wy - vy) >= SAME_POINT:
                            faults["t_junctions"].append((pid, qid, (wx, wy), abs(wz - (uz + t * (vz - uz)))))
                    nearest = d if nearest is None else min(nearest, d)
                if nearest is not None and POSITION <= nearest < 0.01:
                    faults["gaps"].append((pid, qid, (wx, wy), nearest))
    return faults


def check_area_set(name):
    host = SimHost("tm")
    try:
        boxes = AREA_SETS[name]
        for n, box in enumerate(boxes):
            read_pieces(host.port, "seams-%s-%d" % (name, n), [box])
        payloads = read_pieces(host.port, "seams-%s-all" % name, boxes)
    finally:
        host.close()
    decoded = [decode(p) for p in payloads]
    assert len(decoded) >= 3, len(decoded)
    mercator = [(x, y) for _pid, verts, _tris in decoded for x, y, _z in verts]
    mapped = iter(world_points(mercator))
    pieces = []
    worst_height = 0.0
    for pid, verts, tris in decoded:
        points = []
        for _x, _y, z in verts:
            mx, mz, ground = next(mapped)
            assert math.isfinite(ground) and math.isfinite(z), (pid, mx, mz, z, ground)
            worst_height = max(worst_height, abs(z - ground))
            points.append((mx, mz, z))
        pieces.append((pid, points, tris))
    faults = seam_faults(pieces)
    def worst(kind):
        return max([f[3] for f in faults[kind]], default=0.0)
    summary = "%s: %d pieces, %d T-junctions (worst height gap %.4f), %d gaps (widest %.4f), " \
              "%d height steps (worst %.4f), worst height off the terrain %.4f" % (
                  name, len(pieces), len(faults["t_junctions"]), worst("t_junctions"), len(faults["gaps"]),
                  worst("gaps"), len(faults["steps"]), worst("steps"), worst_height)
    if os.environ.get("QM_SEAM_FIGURES"):
        print(summary)
    assert not any(faults.values()), (summary, {k: v[:3] for k, v in faults.items()})
    assert worst_height <= HEIGHT_TOLERANCE, summary


def test_areas_in_the_hills():
    check_area_set("hills")


def test_areas_across_the_ridge():
    check_area_set("ridge")


if __name__ == "__main__":
    qmhttp.run_tests([test_areas_in_the_hills, test_areas_across_the_ridge])
