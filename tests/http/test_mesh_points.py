"""Job streams with points=1 over HTTP: every point the sampler asks the host for after a stream
starts reaches its page in a points frame, the first batches of its job included."""
import json
import os
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import qmhttp  # noqa: E402
from test_mesh_route import Stream, get  # noqa: E402
from test_terrain_route import SimHost  # noqa: E402


def square_query(lat, lon):
    """A square of about 450 m a side from (lat, lon): first vertex in degrees, then deltas in
    1e-5 degrees."""
    return "%.5f,%.5f;0,500;400,0;0,-500" % (lat, lon)


def points_asked(port):
    return json.loads(get(port, "/v1/status")[2])["mesh"]["work"]["pointsAsked"]


def test_every_asked_point_is_framed():
    host = SimHost("tm")
    try:
        # One stream after the other, each over ground no job has sampled yet: while a stream runs
        # the sampler asks only for its job, and it is idle again once the stream has completed.
        for i in range(6):
            before = points_asked(host.port)
            query = "page=points%d&theatre=Afghanistan&points=1&areas=%s" % (i, square_query(33.51 + 0.01 * i, 65.49))
            s = Stream(host.port, query)
            s.sock.settimeout(120)
            frames = s.until_end()
            s.close()
            assert frames[-1] == (6, {"end": "complete", "failed": 0}), (i, frames[-1])
            counts = []
            for kind, payload in frames:
                if kind == 5:
                    count, = struct.unpack_from("<I", payload, 16)
                    assert len(payload) == 20 + 8 * count, len(payload)
                    counts.append(count)
            framed = sum(counts)
            asked = points_asked(host.port) - before
            assert asked > 0, i
            assert framed == asked, (i, framed, asked, counts)
    finally:
        host.close()


if __name__ == "__main__":
    qmhttp.run_tests([test_every_asked_point_is_framed])
