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

# NFS arguments (no call header): a 20-byte handle, a name, a sattr3 that
# sets everything, and the shapes built from them.
def opaque(b):
    return struct.pack(">I", len(b)) + b + b"\0" * (-len(b) % 4)


fh3 = opaque(bytes(range(1, 21)))
fh2 = bytes(range(1, 33))
name = opaque(b"file name")
sattr3 = struct.pack(">IIIIIIIQIIIII", 1, 0o644, 1, 1000, 1, 100, 1, 5, 2, 7, 8, 1, 0)
sattr2 = struct.pack(">8I", 0o100644, 1000, 100, 0xFFFFFFFF, 5, 1000000, 0xFFFFFFFF, 0)
nfs_args = {
    "v3_handle": fh3,
    "v3_setattr_guard": fh3 + sattr3 + struct.pack(">III", 1, 9, 10),
    "v3_write": fh3 + struct.pack(">QIII", 4096, 5, 2, 5) + b"hello\0\0\0",
    "v3_create_exclusive": fh3 + name + struct.pack(">I", 2) + b"verifier",
    "v3_symlink": fh3 + name + sattr3 + opaque(b"../lib"),
    "v3_mknod_chr": fh3 + name + struct.pack(">I", 4) + sattr3 + struct.pack(">II", 1, 3),
    "v3_rename": fh3 + name + fh3 + name,
    "v3_readdirplus": fh3 + struct.pack(">Q", 3) + b"cookieve" + struct.pack(">II", 512, 8192),
    "v2_write": fh2 + struct.pack(">IIII", 0, 4096, 0, 5) + b"hello\0\0\0",
    "v2_symlink": fh2 + name + opaque(b"../lib") + sattr2,
    "v2_handle": fh2,
    "v2_setattr": fh2 + sattr2,
    "v2_dirop": fh2 + name,
    "v2_read": fh2 + struct.pack(">III", 4096, 8192, 0),
    "v2_create_chr": fh2 + name + struct.pack(">8I", 0x21B6, 0, 0, 0x0103, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF,
                                              0xFFFFFFFF),
    "v2_rename": fh2 + name + fh2 + name,
    "v2_link": fh2 + fh2 + name,
    "v2_readdir": fh2 + struct.pack(">II", 7, 1024),
}
for name_, data in nfs_args.items():
    write("nfs_args", name_, data)
