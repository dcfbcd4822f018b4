#!/usr/bin/env python3
"""Writes the seed corpora: a few valid calls, plain and record-marked."""
import os
import struct
import sys

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "protocol"))
sys.dont_write_bytecode = True
import rpcwire as w  # noqa: E402

unix = w.auth(w.AUTH_UNIX, w.auth_unix_body(name=b"client", gids=range(4)))
calls = {
    "null_v1": w.call(1),
    "null_v2_unix": w.call(2, vers=2, cred=unix),
    "echo_unix_verf": w.echo_call(3, b"hello, world", cred=unix, verf=w.auth(0, b"verifier")),
    "prog_mismatch": w.call(4, vers=3),
    "garbage_args": w.call(5, w.PROC_ECHO, w.words(9) + b"abc"),
    "unix_32_gids": w.call(6, cred=w.auth(w.AUTH_UNIX, w.auth_unix_body(name=b"n" * 200, gids=range(32)))),
    "unix_255_name": w.call(7, cred=w.auth(w.AUTH_UNIX, w.auth_unix_body(name=b"m" * 255))),
}


def write(target, name, data):
    d = os.path.join(here, "corpus", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


for name, msg in calls.items():
    write("call_header", name, msg)
# Record input: capacity 8192, receive-size seed, waits that never fail, stream.
head = struct.pack(">HBB", 8192, 7, 0)
write("record", "one_fragment", head + w.record(calls["null_v1"]))
write("record", "three_fragments", head + w.record(calls["echo_unix_verf"], [8, 16, len(calls["echo_unix_verf"]) - 24]))
write("record", "two_records", head + w.record(calls["null_v2_unix"]) + w.record(calls["null_v1"]))
write("record", "small_buffer", struct.pack(">HBB", 44, 3, 2) + w.words(40) + calls["null_v1"] + w.words(0x80000000))
