"""The whole road of a mesh stream: the simulated host serves /v1/mesh for a small area, the
sampler asks the host for heights, the builder makes pieces, and the page receives piece frames
whose triangles cover the area it asked for, then the complete end; on the transverse Mercator map
and on the other map, whose pieces the stream converts through block fits."""
import math
import os
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import qmhttp  # noqa: E402
from test_mesh_route import Stream  # noqa: E402
from test_terrain_route import SimHost  # noqa: E402

R = 6378137.0
# A square of about 450 m a side near the simulated map's origin (33.5N 65.5E on the transverse
# Mercator map, 47N 12E on the other).
def ring_near(lat, lon):
    return [(lat + 0.001, lon + 0.001), (lat + 0.001, lon + 0.006), (lat + 0.005, lon + 0.006),
            (lat + 0.005, lon + 0.001)]


def ring_query(ring):
    """The areas text: first vertex in degrees, then deltas in 1e-5 degrees."""
    first = ring[0]
    parts = ["%.5f,%.5f" % first]
    for (a, b), (c, d) in zip(ring, ring[1:]):
        parts.append("%d,%d" % (round((c - a) * 1e5), round((d - b) * 1e5)))
    return ";".join(parts)


def mercator(lat, lon):
    return R * math.radians(lon), R * math.log(math.tan(math.pi / 4 + math.radians(lat) / 2))


def piece_triangles(payload):
    x0, y0, _lat0, _pid, v, t, w = struct.unpack_from("<dddIIII", payload, 0)
    verts = [struct.unpack_from("<fff", payload, 40 + 12 * i) for i in range(v)]
    fmt = "<HHH" if w == 2 else "<III"
    tris = [struct.unpack_from(fmt, payload, 40 + 12 * v + 3 * w * i) for i in range(t)]
    pts = [(x0 + a, y0 + b) for a, b, _ in verts]
    return [(pts[i], pts[j], pts[k]) for i, j, k in tris], [h for _, _, h in verts]


def inside_triangle(p, tri):
    (ax, ay), (bx, by), (cx, cy) = tri
    d1 = (p[0] - bx) * (ay - by) - (ax - bx) * (p[1] - by)
    d2 = (p[0] - cx) * (by - cy) - (bx - cx) * (p[1] - cy)
    d3 = (p[0] - ax) * (cy - ay) - (cx - ax) * (p[1] - ay)
    neg = d1 < 0 or d2 < 0 or d3 < 0
    pos = d1 > 0 or d2 > 0 or d3 > 0
    return not (neg and pos)


def check_pieces_cover_the_asked_area(mode, theatre, ring, projection):
    host = SimHost(mode)
    try:
        s = Stream(host.port, "page=e2e&theatre=%s&areas=%s" % (theatre, ring_query(ring)))
        frames = []
        s.sock.settimeout(120)
        while True:
            kind, payload = s.frame()
            frames.append((kind, payload))
            if kind == 6:
                break
        s.close()
        assert frames[0][0] == 1 and frames[0][1]["squares"] >= 1, frames[0]
        assert frames[0][1]["projection"] == projection, frames[0]
        assert frames[-1] == (6, {"end": "complete", "failed": 0}), frames[-1]
        triangles, heights = [], []
        for kind, payload in frames:
            if kind == 3:
                t, h = piece_triangles(payload)
                triangles += t
                heights += h
        assert triangles, "no piece frames"
        assert all(math.isfinite(h) for h in heights)
        # Every point of a grid over the asked square lies in some piece triangle.
        (lat1, lon1), (lat2, lon2) = ring[0], ring[2]
        misses = []
        for i in range(9):
            for j in range(9):
                lat = lat1 + (lat2 - lat1) * (i + 0.5) / 9
                lon = lon1 + (lon2 - lon1) * (j + 0.5) / 9
                p = mercator(lat, lon)
                if not any(inside_triangle(p, tri) for tri in triangles):
                    misses.append((lat, lon))
        assert not misses, misses[:5]
    finally:
        host.close()


def test_pieces_cover_the_asked_area():
    check_pieces_cover_the_asked_area("tm", "Afghanistan", ring_near(33.5, 65.5), "tm")


def test_pieces_cover_the_asked_area_on_the_blocks_map():
    check_pieces_cover_the_asked_area("other", "Northmarch", ring_near(47.0, 12.0), "blocks")


if __name__ == "__main__":
    qmhttp.run_tests([test_pieces_cover_the_asked_area, test_pieces_cover_the_asked_area_on_the_blocks_map])
