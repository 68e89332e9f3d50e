"""GET /v1/mesh with areas against the simulated host's running mission: the store's refusal of a
frontier too wide for its budget, areas of another theatre, and a job stream's head and states."""
import json
import os
import sys
import time

sys.path.insert(0, os.path.dirname(__file__))
import qmhttp  # noqa: E402
from test_mesh_route import Stream, get  # noqa: E402
from test_terrain_route import SimHost  # noqa: E402

# A triangle of about 100 m next to the simulated map's origin (33.5N 65.5E).
SMALL = "33.5,65.5;100,0;0,100"
# A box of about 10 km there: its job takes far longer than the few requests made while it runs,
# so its stream is still open when its page asks again (the small triangle can be done at once).
LARGE = "33.5,65.5;10000,0;0,10000;-10000,0"


def test_job_streams():
    host = SimHost("tm")
    try:
        port = host.port
        # A band 2.6 degrees of longitude long and 0.05 degrees high: more than a hundred squares in
        # each of its rows of squares reserve more than the 96 MiB that all jobs may hold together.
        line, fields, body = get(port, "/v1/mesh?page=wide&theatre=Afghanistan&areas=33.45,61.8;0,260000;5000,0;0,-260000")
        assert line == "HTTP/1.1 503 Service Unavailable", (line, body)
        assert fields["Retry-After"] == "5"
        text = body.decode()
        prefix = "the store can't hold this area's frontier now: "
        assert text.startswith(prefix) and text.endswith(" bytes needed, 100663296 free"), text
        needed = int(text[len(prefix):].split()[0])
        assert needed > 100663296 and (needed - 4194304) % 904166 == 0, needed
        assert get(port, "/v1/status")[0] == "HTTP/1.1 200 OK"

        # Areas of another theatre: a job-less stream that ends at its first turn naming the mission's.
        s = Stream(port, "page=away&theatre=Elsewhere&areas=" + SMALL)
        frames = s.until_end()
        assert [k for k, _ in frames] == [1, 6], frames
        assert frames[0][1]["projection"] == "tm" and frames[0][1]["squares"] == 0
        assert frames[1][1] == {"end": "theatre", "theatre": "Afghanistan"}
        s.close()

        # A job stream: its head counts squares, its states say "meshing".
        s = Stream(port, "page=job&theatre=Afghanistan&areas=" + LARGE + "|1,1;1,0;0,1")
        kind, head = s.frame()
        assert kind == 1
        assert head["projection"] == "tm" and head["squares"] >= 1 and head["refused"] == [1], head
        kind, state = s.frame()
        while kind == 3:
            kind, state = s.frame()
        assert kind == 4, kind
        assert state["state"] == "meshing" and state["squares"]["total"] == head["squares"], state
        streams = json.loads(get(port, "/v1/status")[2])["mesh"]["streams"]
        assert [o["page"] for o in streams["open"]] == ["job"], streams
        # Its page asks again: the first stream is replaced.
        again = Stream(port, "page=job&theatre=Afghanistan&areas=" + SMALL)
        assert again.frame()[0] == 1
        frames = s.until_end()
        assert frames[-1][1] == {"end": "replaced"}, frames[-3:]
        s.close()
        again.close()
    finally:
        host.close()


if __name__ == "__main__":
    qmhttp.run_tests([test_job_streams])
