#!/usr/bin/env python3
"""The server's built-in copy of the portmapper, run by a small driver as the
server runs it: silent but for its ready line, a start failure reported to
the caller, a stop that frees port 111, and a table rebuilt at restart.

usage: test_pmap_builtin.py OSTEL DRIVER
"""
import signal
import time

import pmapwire as pw
from pmapwire import nstest, rpcwire, words


def wait_for(o, text, timeout=10):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if text in o.output():
            return True
        time.sleep(0.05)
    return False


def main(args):
    ostel_bin, driver = args[0], args[1]
    c = nstest.Checks()
    with pw.ostel(driver, args=("-restart",)) as o:
        with pw.client("udp") as u, pw.client("tcp") as t:
            c.equal(u.dump(), [(100000, 2, 6, 111), (100000, 2, 17, 111)], "own entries")
            c.equal(u.set(0x2000A000, 1, pw.UDP, 3000), 1, "SET")
            for cl in (u, t):
                p = pw.parse_accepted(cl.call(pw.SET, words(1, 2, 3)))
                c.true(p is not None and p[1] == rpcwire.GARBAGE_ARGS, "%s: GARBAGE_ARGS: %r" % (cl.proto, p))
                p = pw.parse_accepted(cl.call(pw.CALLIT, words(1), timeout=0.5))
                if cl.proto == "udp":
                    c.equal(p, None, "udp: bad CALLIT dropped")
                else:
                    c.true(p is not None and p[1] == rpcwire.PROC_UNAVAIL, "tcp: CALLIT is PROC_UNAVAIL: %r" % (p,))
                p = pw.parse_accepted(cl.call(pw.DUMP, words(1)))
                c.true(p is not None and p[1] == rpcwire.GARBAGE_ARGS, "%s: DUMP GARBAGE_ARGS" % cl.proto)
        # A daemon started now cannot bind; the built-in copy keeps serving.
        with pw.ostel(ostel_bin, ready=False) as d:
            rc = d.proc.wait(10)
            c.true(rc != 0, "ostel exits with a failure when the port is taken: %r" % rc)
            c.true("bind on port 111 failed" in d.output(), "ostel names the failure")
        o.proc.send_signal(signal.SIGTERM)
        c.true(wait_for(o, "restarted, running 1"), "restarted: %r" % o.output())
        c.true(o.wait_ready(), "serving after the restart")
        with pw.client("udp") as u:
            c.equal(u.getport(0x2000A000, 1, pw.UDP), 0, "the table is rebuilt at restart")
        rc = o.stop(signal.SIGTERM)
        out = o.output()
        c.equal(rc, 0, "driver exit code")
        c.equal(out.count(" ostel ready on port 111\n"), 2, "one ready line per start: %r" % out)
        c.equal(out.count("stopped, running 0, port free\n"), 2, "each stop frees the port: %r" % out)
        c.true("started, running 1\n" in out, "started line")
        lines = [line for line in out.splitlines()
                 if "ostel ready on port 111" not in line and not line.startswith(("started", "stopped", "restarted"))]
        c.equal(lines, [], "the built-in copy writes nothing else, even at level 2")

    # Log level 0: not even the ready line.
    with pw.ostel(driver, args=("-log", "0")) as o:
        c.equal(o.stop(signal.SIGTERM), 0, "driver exit code at level 0")
        c.true("ready" not in o.output(), "no ready line at level 0: %r" % o.output())

    # The port taken by a running daemon: the start fails and says so to its caller only.
    with pw.ostel(ostel_bin) as d:
        with pw.ostel(driver, ready=False) as o:
            rc = o.proc.wait(10)
            c.equal(rc, 3, "the driver sees the start fail")
            c.equal(o.output(), "start failed\n", "no message from the built-in copy itself")
        c.true(d.alive(), "the daemon still runs")
        c.equal(d.stop(), 0, "daemon exit code")
    return c.result()


if __name__ == "__main__":
    nstest.run("pmapbuiltin", main)
