"""stop and start release the port at once; a replaced or stopped server's threads end; a port
held by someone else ends in the server's error text after the bind retries."""
import os
import socket
import time

import qmhttp
from qmhttp import Host, get, run_tests

host = None


def thread_names(pid):
    names = []
    for task in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/comm" % (pid, task)) as f:
                names.append(f.read().strip())
        except OSError:
            pass
    return names


def wait_for(condition, limit=3.0):
    deadline = time.monotonic() + limit
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.02)
    return True


def serving(port):
    try:
        return get(port, "/nothing")[0] == 404
    except OSError:
        return False


def server_threads():
    return thread_names(host.proc.pid).count("qm")


def test_second_start_on_the_same_port_serves_again():
    assert wait_for(lambda: server_threads() == 1)
    for _ in range(3):
        host.lua("assert(m.start(%d, false, nil, 300))" % host.port)
        # No bind retry is needed: the replaced listener lets go of the port before the new one binds.
        assert wait_for(lambda: serving(host.port), 5.0)
        # The replaced server's thread ends; one loopback thread remains.
        assert wait_for(lambda: server_threads() == 1), thread_names(host.proc.pid)
    assert host.status()["health"]["generation"] >= 4


def test_stop_releases_the_port_at_once():
    host.lua("assert(m.stop())")
    assert wait_for(lambda: server_threads() == 0), thread_names(host.proc.pid)
    # The port is free: another socket can take it (and lets go again).
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("127.0.0.1", host.port))
    s.close()
    host.lua("assert(m.start(%d, false, nil, 300))" % host.port)
    assert wait_for(lambda: serving(host.port), 5.0)


def test_port_held_elsewhere_ends_in_the_error_text():
    blocker = socket.socket()
    blocker.bind(("127.0.0.1", 0))
    blocker.listen(1)
    other = blocker.getsockname()[1]
    try:
        host.lua("assert(m.start(%d, false, nil, 300))" % other)
        # The bind is retried every 100 ms for 10 s, then given up with the system's text.
        time.sleep(9.0)
        assert server_threads() == 1
        assert wait_for(lambda: server_threads() == 0, 4.0)
        doc = "\t".join(host.lua("return m.status()"))
        if "not built yet" in doc:
            print("the Lua status is not built yet: the error text is not checked")
            return
        want = "bind 127.0.0.1:%d: Address already in use (os error 98)" % other
        assert want in doc, doc
    finally:
        blocker.close()
        host.lua("assert(m.start(%d, false, nil, 300))" % host.port)
        assert wait_for(lambda: serving(host.port), 1.0)


if __name__ == "__main__":
    with Host() as h:
        host = h
        run_tests([test_second_start_on_the_same_port_serves_again,
                   test_stop_releases_the_port_at_once,
                   test_port_held_elsewhere_ends_in_the_error_text])
