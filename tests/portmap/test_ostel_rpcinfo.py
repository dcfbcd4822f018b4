#!/usr/bin/env python3
"""rpcinfo against `ostel -debug`: the listing, pings over UDP and TCP, the
version mismatch, and a service that registers itself through the daemon.

usage: test_ostel_rpcinfo.py OSTEL [RPCDEMO]
"""
import os
import subprocess
import time

import pmapwire as pw
from pmapwire import nstest, rpcwire


def rpcinfo(*args, timeout=20):
    p = subprocess.run(["rpcinfo"] + list(args), capture_output=True, text=True, timeout=timeout)
    return p.returncode, p.stdout + p.stderr


def listing():
    """The rows of `rpcinfo -p` in their order, or None."""
    rc, out = rpcinfo("-p", "127.0.0.1")
    if rc != 0:
        return None
    return [tuple(int(f) if f.isdigit() else f for f in line.split()[:4])
            for line in out.splitlines()[1:] if line.split() and line.split()[0].isdigit()]


def main(args):
    ostel_bin = args[0]
    demo_bin = args[1] if len(args) > 1 and os.path.exists(args[1]) else None
    c = nstest.Checks()
    with pw.ostel(ostel_bin) as o:
        c.equal(listing(), [(100000, 2, "tcp", 111), (100000, 2, "udp", 111)], "rpcinfo -p")
        for proto in ("-u", "-t"):
            rc, out = rpcinfo(proto, "127.0.0.1", "100000", "2")
            c.equal(rc, 0, "rpcinfo %s exit code" % proto)
            c.true("program 100000 version 2 ready and waiting" in out, "rpcinfo %s: %s" % (proto, out.strip()))
        rc, out = rpcinfo("-s", "127.0.0.1")
        c.true(rc == 0 and any(line.split()[:3] == ["100000", "2", "udp,tcp"] for line in out.splitlines()[1:]),
               "rpcinfo -s: %s" % out.strip())
        # Statistics need rpcbind version 4; the answer names the one version there is.
        rc, out = rpcinfo("-m", "127.0.0.1")
        c.true(rc != 0 and "low version = 2, high version = 2" in out, "rpcinfo -m: %s" % out.strip())
        if demo_bin:
            with nstest.demo(demo_bin, ["-port", str(rpcwire.DEMO_PORT)]) as d:
                rows = listing() or []
                c.equal(rows[:2], [(100000, 2, "tcp", 111), (100000, 2, "udp", 111)], "own rows stay first")
                c.equal(sorted(r for r in rows if r[0] == rpcwire.DEMO_PROGRAM),
                        sorted((rpcwire.DEMO_PROGRAM, v, p, rpcwire.DEMO_PORT) for v in (1, 2) for p in ("tcp", "udp")),
                        "rpcinfo -p lists rpcdemo")
                for proto in ("-u", "-t"):
                    rc, out = rpcinfo(proto, "127.0.0.1", str(rpcwire.DEMO_PROGRAM), "1")
                    c.true(rc == 0 and "ready and waiting" in out, "rpcinfo %s rpcdemo: %s" % (proto, out.strip()))
                c.equal(d.stop(), 0, "rpcdemo exit code")
            c.equal(listing(), [(100000, 2, "tcp", 111), (100000, 2, "udp", 111)], "rpcinfo -p after rpcdemo")
        else:
            print("rpcdemo not built: registration through the daemon skipped")
        start = time.monotonic()
        c.equal(o.stop(), 0, "exit code after Ctrl+C")
        c.true(time.monotonic() - start < 5, "stop took %.1f s" % (time.monotonic() - start))
        c.true(listing() is None, "nothing answers after the stop")
    return c.result()


if __name__ == "__main__":
    nstest.run("ostelrpcinfo", main)
