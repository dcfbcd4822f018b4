#!/usr/bin/env python3
"""tshark decodes the daemon's portmap traffic, from rpcinfo and from raw
calls over UDP and TCP, without a malformed or erroneous packet.

usage: test_pmap_tshark.py OSTEL
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

import pmapwire as pw
from pmapwire import nstest, words

SKIP = 77
GARBAGE_XID = 0x0BAD0000


def tshark_fields(pcap, display_filter, *fields):
    cmd = ["tshark", "-r", pcap, "-Y", display_filter, "-T", "fields"]
    for f in fields:
        cmd += ["-e", f]
    p = subprocess.run(cmd, capture_output=True, text=True, timeout=60)
    return [line.split("\t") for line in p.stdout.splitlines() if line.strip()]


def traffic(c):
    rc = subprocess.run(["rpcinfo", "-p", "127.0.0.1"], capture_output=True, timeout=20).returncode
    c.equal(rc, 0, "rpcinfo -p")
    for proto in ("udp", "tcp"):
        with pw.client(proto) as cl:
            c.equal(cl.set(0x20008000, 1, pw.UDP, 3000), 1, "%s SET" % proto)
            c.equal(cl.getport(0x20008000, 1, pw.UDP), 3000, "%s GETPORT" % proto)
            c.true(cl.dump() is not None, "%s DUMP" % proto)
            c.equal(cl.unset(0x20008000, 1), 1, "%s UNSET" % proto)
            cl.call(pw.NULL, vers=3)
            # Undecodable on purpose: tshark calls these calls malformed too.
            cl.raw(pw.pmap_call(GARBAGE_XID + (proto == "tcp"), pw.GETPORT, words(1, 2, 3)))
    with pw.client("udp") as u:
        for i in range(28):
            u.set(0x20009000 + i, 1, pw.TCP, 4000 + i)
        c.equal(len(u.dump() or []), 26, "DUMP of 30 entries")


def main(args):
    if not shutil.which("tshark"):
        print("SKIP: tshark is not installed")
        return SKIP
    c = nstest.Checks()
    work = tempfile.mkdtemp(prefix="pmap-tshark-")
    pcap = os.path.join(work, "pmap.pcap")
    try:
        with pw.ostel(args[0]) as o:
            with nstest.background(["tshark", "-q", "-i", "lo", "-f", "port 111", "-w", pcap],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE) as cap:
                deadline = time.monotonic() + 15
                # The capture has begun once the file carries its header.
                while time.monotonic() < deadline and not (os.path.exists(pcap) and os.path.getsize(pcap) > 0):
                    time.sleep(0.1)
                time.sleep(0.5)
                traffic(c)
                time.sleep(1.0)
            c.equal(o.stop(), 0, "exit code after Ctrl+C")
        frames = tshark_fields(pcap, "portmap", "frame.number", "rpc.msgtyp", "portmap.procedure_v2")
        c.true(len(frames) >= 30, "portmap frames decoded: %d" % len(frames))
        procs = {f[2] for f in frames if len(f) > 2 and f[2]}
        c.true({"1", "2", "3", "4"} <= procs, "SET, UNSET, GETPORT and DUMP seen: %r" % sorted(procs))
        bad = tshark_fields(pcap, "(_ws.malformed || _ws.expert.severity >= error) && !(rpc.msgtyp == 0 && "
                                  "rpc.xid in {%d %d})" % (GARBAGE_XID, GARBAGE_XID + 1),
                            "frame.number", "_ws.col.Info")
        c.equal(bad, [], "malformed or erroneous frames")
        replies = tshark_fields(pcap, "rpc.msgtyp == 1 && portmap.procedure_v2 == 4", "frame.number")
        c.true(len(replies) >= 3, "DUMP replies decoded: %d" % len(replies))
        mism = tshark_fields(pcap, "rpc.state_accept == 2", "rpc.programversion.min", "rpc.programversion.max")
        c.true(mism and all(m == ["2", "2"] for m in mism), "PROG_MISMATCH replies: %r" % mism)
        garbage = tshark_fields(pcap, "rpc.state_accept == 4", "frame.number")
        c.equal(len(garbage), 2, "GARBAGE_ARGS replies")
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return c.result()


if __name__ == "__main__":
    nstest.run("pmaptshark", main)
