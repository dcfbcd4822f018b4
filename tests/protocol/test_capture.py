#!/usr/bin/env python3
"""Wire check with tshark: a capture on lo during valid calls, calls that are
refused, and malformed input. Every packet of the valid part decodes as RPC
without a malformed mark or expert warning, tshark reads the expected reply
status from each reply, and nothing the server sends later is malformed.

usage: test_capture.py RPCDEMO [rpcdemo options...]
"""
import contextlib
import os
import shutil
import subprocess
import tempfile

import nstest
import rpcwire as w

PORT = str(w.DEMO_PORT)
DECODE = ["-o", "rpc.dissect_unknown_programs:TRUE", "-o", "rpc.defragment_rpc_over_tcp:TRUE",
          "-d", "udp.port==%s,rpc" % PORT, "-d", "tcp.port==%s,rpc" % PORT]
FIELDS = ["frame.number", "udp.srcport", "udp.dstport", "tcp.srcport", "tcp.len", "rpc.xid", "rpc.msgtyp",
          "rpc.replystat", "rpc.state_accept", "rpc.state_reject", "rpc.state_auth",
          "rpc.programversion.min", "rpc.programversion.max", "_ws.malformed", "_ws.expert.severity",
          "tcp.reassembled_in"]
SEVERITY_WARN = 6291456   # expert severities: chat 2097152, note 4194304, warn, error 8388608
MARKER_PORT = 9           # a datagram here separates the valid from the malformed part

# What tshark should read from each reply: (reply_stat, accept or reject
# state, auth state, (low, high) of a mismatch).
SUCCESS = ("0", "0", "", None)


def refused_cases():
    unix16 = w.auth(w.AUTH_UNIX, w.auth_unix_body(name=b"client", gids=range(16)))
    return [
        (lambda x: w.call(x), SUCCESS),
        (lambda x: w.call(x, vers=2, cred=unix16), SUCCESS),
        (lambda x: w.echo_call(x, b"e" * 100, cred=unix16), SUCCESS),
        (lambda x: w.echo_call(x, bytes(range(256)) * 4, vers=2), SUCCESS),
        (lambda x: w.call(x, verf=w.auth(w.AUTH_NULL, b"verifier")), SUCCESS),
        (lambda x: w.call(x, vers=3), ("0", "2", "", ("1", "2"))),
        (lambda x: w.call(x, prog=w.DEMO_PROGRAM + 1), ("0", "1", "", None)),
        (lambda x: w.call(x, 7), ("0", "3", "", None)),
        (lambda x: w.echo_call(x, b"g" * 1025), ("0", "4", "", None)),
        (lambda x: w.call(x, cred=w.auth(w.AUTH_UNIX, w.auth_unix_body(gids=range(33)))), ("1", "1", "1", None)),
        (lambda x: w.call(x, cred=w.auth(w.AUTH_UNIX, w.auth_unix_body(name=b"n" * 256))), ("1", "1", "1", None)),
        (lambda x: w.call(x, cred=w.auth(w.AUTH_SHORT, b"shrt")), ("1", "1", "2", None)),
    ]


def valid_traffic(expected):
    """Sends the valid part; fills expected[xid] with the reply tshark should read."""
    xids = iter(range(0x1000, 0x2000))
    udp = w.Udp()
    try:
        for build, want in refused_cases():
            x = next(xids)
            expected[x] = want
            udp.exchange(build(x))
        t = w.Tcp()
        try:
            for build, want in refused_cases():
                x = next(xids)
                expected[x] = want
                t.exchange(build(x))
            x = next(xids)
            expected[x] = SUCCESS
            t.send(w.record(w.echo_call(x, b"f" * 200), [40, 100, 104]))
            t.receive_record()
            a, b = next(xids), next(xids)
            expected[a] = expected[b] = SUCCESS
            t.send(w.record(w.echo_call(a, b"pipelined")) + w.record(w.call(b)))
            t.receive_record()
            t.receive_record()
        finally:
            t.close()
    finally:
        udp.close()


def malformed_traffic():
    udp = w.Udp()
    x = 0x3000
    bad = [
        w.call(x)[:31],
        w.words(x + 1, w.REPLY, 0, 0, 0, 0, 0, 0),
        w.call(x + 2, rpcvers=3),
        w.call(x + 3, cred=w.auth(0, b"c" * 401)),
        w.call(x + 4, verf=w.auth(0, b"v" * 401)),
        w.call(x + 5, cred=w.auth(6, b"junk")),
        w.call(x + 6)[:24] + w.words(0, 100) + b"x" * 8,
        os.urandom(200),
    ]
    try:
        for msg in bad:
            udp.send(msg)
            udp.receive(0.05)
        for data in [w.record(m) for m in bad] + [w.words(0x80000000), w.words(0x80000000 | 9000) + b"\0" * 64,
                                                   w.words(0x80000000 | 100) + b"\0" * 40]:
            with contextlib.suppress(OSError, TimeoutError):
                t = w.Tcp()
                try:
                    t.send(data)
                    with contextlib.suppress(OSError, TimeoutError, AssertionError):
                        t.receive_record(0.2)
                finally:
                    t.close()
        # The service still answers after all of it, and that is on the wire too.
        return udp.exchange(w.call(x + 100)) == w.accepted(x + 100)
    finally:
        udp.close()




def read_frames(path):
    out = subprocess.run(["tshark", "-r", path] + DECODE + ["-T", "fields", "-E", "separator=\t"]
                         + sum([["-e", f] for f in FIELDS], []),
                         capture_output=True, text=True, check=True).stdout
    frames = []
    for line in out.splitlines():
        values = line.split("\t")
        frames.append({f: (values[i] if i < len(values) else "") for i, f in enumerate(FIELDS)})
    return frames


def split(value):
    return value.split(",") if value else []


def check_valid_part(c, frames, expected):
    calls, replies = set(), {}
    for f in frames:
        n = f["frame.number"]
        severities = [int(s) for s in split(f["_ws.expert.severity"])]
        c.true(not f["_ws.malformed"], "frame %s is not malformed" % n)
        c.true(all(s < SEVERITY_WARN for s in severities), "frame %s has no expert warning or error: %s" % (
            n, f["_ws.expert.severity"]))
        payload = f["udp.srcport"] or (f["tcp.len"] not in ("", "0"))
        if payload and not f["tcp.reassembled_in"]:
            c.true(f["rpc.xid"], "frame %s decodes as RPC" % n)
        xids, types = split(f["rpc.xid"]), split(f["rpc.msgtyp"])
        if not c.equal(len(xids), len(types), "frame %s: one message type per xid" % n):
            continue
        for x, t in zip(xids, types):
            x = int(x, 16)
            if t == "0":
                calls.add(x)
            elif len(xids) == 1:
                mismatch = (f["rpc.programversion.min"], f["rpc.programversion.max"])
                replies[x] = (f["rpc.replystat"], f["rpc.state_accept"] or f["rpc.state_reject"],
                              f["rpc.state_auth"], mismatch if any(mismatch) else None)
            else:
                # Replies sharing a frame are all successes in this traffic.
                replies[x] = SUCCESS if split(f["rpc.state_accept"]) == ["0"] * len(xids) else ("?",)
    c.equal(sorted(calls), sorted(expected), "calls tshark decoded")
    for x, want in sorted(expected.items()):
        c.equal(replies.get(x), want, "reply to xid %#x as tshark reads it" % x)


def check_malformed_part(c, frames):
    server_frames = 0
    for f in frames:
        if PORT not in (f["udp.srcport"], f["tcp.srcport"]):
            continue
        server_frames += 1
        n = f["frame.number"]
        c.true(not f["_ws.malformed"], "server frame %s is not malformed" % n)
        c.true(all(int(s) < 8388608 for s in split(f["_ws.expert.severity"])),
               "server frame %s has no expert error" % n)
        if f["rpc.xid"]:
            c.true(set(split(f["rpc.msgtyp"])) == {"1"}, "server frame %s carries only replies" % n)
    c.true(server_frames > 0, "the server's answers to malformed input are in the capture")


def main(args):
    demo_bin, options = args[0], args[1:]
    if not shutil.which("tshark"):
        print("SKIP: tshark is not installed")
        return nstest.SKIP
    c = nstest.Checks()
    workdir = tempfile.mkdtemp(prefix="capture-")
    path = os.path.join(workdir, "lo.pcapng")
    try:
        with nstest.demo(demo_bin, ["-noportmap"] + options) as d:
            expected = {}
            capture = nstest.start_capture(path)
            try:
                valid_traffic(expected)
                marker = w.Udp(port=MARKER_PORT)
                marker.send(b"end of the valid part")
                marker.close()
                c.true(malformed_traffic(), "NULL answered after the malformed input")
            finally:
                nstest.stop_capture(capture)
            c.true(d.alive(), "rpcdemo alive")
            c.equal(d.stop(), 0, "exit code after SIGTERM")
        frames = read_frames(path)
        cut = next((i for i, f in enumerate(frames) if f["udp.dstport"] == str(MARKER_PORT)), None)
        if c.true(cut is not None, "the marker between the parts is in the capture (%d frames)" % len(frames)):
            check_valid_part(c, frames[:cut], expected)
            check_malformed_part(c, frames[cut + 1:])
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    return c.result()


if __name__ == "__main__":
    nstest.run("capture", main)
