#!/usr/bin/env python3
"""rpcinfo against the demo service registered with a real rpcbind.

usage: test_rpcinfo.py RPCDEMO
"""
import subprocess
import sys
import time

import nstest
from rpcwire import DEMO_PROGRAM, DEMO_PORT

PROG = str(DEMO_PROGRAM)


def rpcinfo(*args, timeout=20):
    p = subprocess.run(["rpcinfo"] + list(args), capture_output=True, text=True, timeout=timeout)
    return p.returncode, p.stdout + p.stderr


def registrations():
    """(program, version, protocol, port) rows of `rpcinfo -p`, or None."""
    rc, out = rpcinfo("-p", "127.0.0.1")
    if rc != 0:
        return None
    rows = set()
    for line in out.splitlines()[1:]:
        f = line.split()
        if len(f) >= 4 and f[0].isdigit():
            rows.add((int(f[0]), int(f[1]), f[2], int(f[3])))
    return rows


def demo_rows(rows):
    return {r for r in rows or () if r[0] == DEMO_PROGRAM}


def wait_until(predicate, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.1)
    return predicate()


def check_calls(c):
    for proto in ("-u", "-t"):
        for vers in ("1", "2"):
            rc, out = rpcinfo(proto, "127.0.0.1", PROG, vers)
            c.equal(rc, 0, "rpcinfo %s version %s exit code" % (proto, vers))
            c.true("program %s version %s ready and waiting" % (PROG, vers) in out,
                   "rpcinfo %s version %s: %s" % (proto, vers, out.strip()))
        # Version 3 is answered with PROG_MISMATCH naming the registered range.
        rc, out = rpcinfo(proto, "127.0.0.1", PROG, "3")
        c.true(rc != 0, "rpcinfo %s version 3 fails" % proto)
        c.true("version 3 is not available" in out and "low version = 1" in out
               and "high version = 2" in out, "rpcinfo %s version 3: %s" % (proto, out.strip()))
        # Without a version rpcinfo walks the range the mismatch reply gives.
        rc, out = rpcinfo(proto, "127.0.0.1", PROG)
        c.equal(rc, 0, "rpcinfo %s without a version exit code" % proto)
        c.true(all("version %d ready and waiting" % v in out for v in (1, 2))
               and "version 3" not in out, "rpcinfo %s all versions: %s" % (proto, out.strip()))
        # Straight to the port, past the portmapper.
        rc, out = rpcinfo("-n", str(DEMO_PORT), proto, "127.0.0.1", PROG, "2")
        c.equal(rc, 0, "rpcinfo -n %s exit code" % proto)


def main(args):
    demo_bin = args[0]
    c = nstest.Checks()
    expected = {(DEMO_PROGRAM, v, p, DEMO_PORT) for v in (1, 2) for p in ("udp", "tcp")}

    # Options it does not understand are refused before anything starts.
    for bad in (["-bogus"], ["-port"], ["-port", "0"], ["-port", "65536"], ["-threads", "-1"], ["-idle", "x"]):
        p = subprocess.run([demo_bin] + bad, capture_output=True, text=True, timeout=10)
        c.true(p.returncode == 2 and "usage" in p.stderr, "rpcdemo %s: exit %d" % (" ".join(bad), p.returncode))

    # Registration is required: without a portmapper the service does not start.
    with nstest.demo(demo_bin, ready=False) as d:
        try:
            rc = d.proc.wait(30)
        except subprocess.TimeoutExpired:
            rc = None
        c.true(rc not in (0, None), "rpcdemo without a portmapper exits with an error (got %r)" % rc)
        c.true("cannot register" in d.stderr(), "rpcdemo names the failed registration")

    with nstest.background(["rpcbind", "-f", "-w"]):
        if not c.true(wait_until(lambda: registrations() is not None, 10), "rpcbind answers"):
            return c.result()
        with nstest.demo(demo_bin, ["-port", str(DEMO_PORT), "-threads", "2"]) as d:
            c.true(wait_until(lambda: demo_rows(registrations()) == expected, 5),
                   "rpcinfo -p lists the demo: %r" % sorted(demo_rows(registrations())))
            check_calls(c)
            start = time.monotonic()
            rc = d.stop()
            c.equal(rc, 0, "exit code after SIGTERM")
            c.true(time.monotonic() - start < 8, "stop took %.1f s" % (time.monotonic() - start))
            c.equal(demo_rows(registrations()), set(), "registrations after the stop")

        # -noportmap: served but not registered (rpcinfo asks rpcbind even
        # with -n, so the wire client makes the call). Demo.wait_ready has
        # already had NULL answered over UDP and TCP.
        with nstest.demo(demo_bin, ["-noportmap", "-port", str(DEMO_PORT)]) as d:
            c.equal(demo_rows(registrations()), set(), "registrations with -noportmap")
            rc, out = rpcinfo("-t", "127.0.0.1", PROG, "1")
            c.true(rc != 0 and "not registered" in out, "rpcinfo -t with -noportmap: %s" % out.strip())
            c.equal(d.stop(), 0, "exit code after SIGTERM with -noportmap")
    return c.result()


if __name__ == "__main__":
    nstest.run("rpcinfo", main)
