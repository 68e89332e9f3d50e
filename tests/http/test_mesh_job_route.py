"""GET /v1/mesh with areas during a mission: the store's refusal of a frontier too wide for its
budget, areas of another theatre, and a job stream's head, states and replacement. The host never
answers a height, so a job stream stays "meshing" for as long as the test looks at it."""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import qmhttp  # noqa: E402
from test_mesh_route import Stream, get  # noqa: E402

# A triangle of about 100 m next to the simulated map's origin (33.5N 65.5E).
SMALL = "33.5,65.5;100,0;0,100"


def ended_replaced(s):
    """Whether the stream ends "replaced", after nothing but the state records of the beats that
    came before its page asked again (a loaded machine may take a few beats for that)."""
    frames = s.until_end()
    return frames[-1] == (6, {"end": "replaced"}) and all(kind == 4 for kind, _ in frames[:-1])


def open_streams(host):
    return [(o["page"], o["state"]) for o in host.status()["mesh"]["streams"]["open"]]


def test_refusals_of_a_mission():
    with qmhttp.MissionHost() as host:
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
        assert host.status()["mesh"]["store"]["reservedBytes"] == 0

        # Areas of another theatre: a job-less stream that ends at its first turn naming the mission's.
        s = Stream(port, "page=away&theatre=Elsewhere&areas=" + SMALL)
        frames = s.until_end()
        assert [k for k, _ in frames] == [1, 6], frames
        assert frames[0][1]["projection"] == "tm" and frames[0][1]["squares"] == 0
        assert frames[1][1] == {"end": "theatre", "theatre": "Afghanistan"}
        s.close()


def test_a_job_stream_meshes_until_its_page_asks_again():
    with qmhttp.MissionHost() as host:
        port = host.port
        # Its head counts squares and names the refused ring; its states say "meshing" beat after beat.
        s = Stream(port, "page=job&theatre=Afghanistan&areas=" + SMALL + "|1,1;1,0;0,1")
        kind, head = s.frame()
        assert kind == 1
        assert head["projection"] == "tm" and head["squares"] >= 1 and head["refused"] == [1], head
        for beat in (1, 2):
            kind, state = s.frame()
            assert kind == 4, (kind, state)
            assert state == {"state": "meshing", "squares": {"done": 0, "total": head["squares"]}, "failed": 0,
                             "owed": 0, "beat": beat}, state
        status = host.wait_for(lambda status: open_streams(host) == [("job", "meshing")])
        reserved = status["mesh"]["store"]["reservedBytes"]
        assert reserved > 4194304 and (reserved - 4194304) % 904166 == 0, reserved

        # Its page asks again: the first stream is replaced, the second one meshes in its place.
        again = Stream(port, "page=job&theatre=Afghanistan&areas=" + SMALL)
        kind, head = again.frame()
        assert kind == 1 and head["squares"] >= 1, head
        assert ended_replaced(s)
        assert s.closed()
        s.close()
        status = host.wait_for(lambda status: status["mesh"]["streams"]["ends"]["replaced"] == 1)
        assert [o["page"] for o in status["mesh"]["streams"]["open"]] == ["job"], status["mesh"]["streams"]
        assert again.frame()[1]["state"] == "meshing"
        # One job's bytes stay reserved: the replaced job's went back.
        assert status["mesh"]["store"]["reservedBytes"] == reserved, status["mesh"]["store"]
        again.close()


def test_a_job_less_stream_of_the_page_replaces_its_job_stream():
    with qmhttp.MissionHost() as host:
        s = Stream(host.port, "page=job&theatre=Afghanistan&areas=" + SMALL)
        assert s.frame()[0] == 1
        assert s.frame()[1]["state"] == "meshing"
        assert host.status()["mesh"]["store"]["reservedBytes"] > 4194304
        # The same page now shows no area: its job stream ends replaced and its bytes go back.
        again = Stream(host.port, "page=job&theatre=Afghanistan&probe=60")
        kind, head = again.frame()
        assert kind == 1 and head["squares"] == 0, head
        assert ended_replaced(s)
        s.close()
        assert again.frame()[1]["state"] == "idle"
        status = host.wait_for(lambda status: status["mesh"]["streams"]["ends"]["replaced"] == 1)
        assert status["mesh"]["store"]["reservedBytes"] == 0, status["mesh"]["store"]
        again.close()


if __name__ == "__main__":
    qmhttp.run_tests([test_refusals_of_a_mission, test_a_job_stream_meshes_until_its_page_asks_again,
                      test_a_job_less_stream_of_the_page_replaces_its_job_stream])
