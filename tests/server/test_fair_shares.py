"""What one local user, or one or two client addresses, may hold of the
server: the control pipe as a user who is not an administrator, and the
tables that hostile hosts fill (raw messages and raw RPC, from several
addresses of lo).

usage: test_fair_shares.py QUEN
"""
import contextlib
import json
import os
import shutil
import socket
import struct
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "protocol"))
sys.path.insert(0, HERE)
import nstest  # noqa: E402
import rpcwire as w  # noqa: E402
from test_mount import MOUNT_PORT, MOUNT_PROGRAM, nfs, server, windows  # noqa: E402
from test_nfs import Link  # noqa: E402

PIPE = "/run/tervalo/nfs_server"
NOBODY = 65534
LOG_NAME = "quen2612.log"
CTL_RELOAD_EXPORTS, CTL_GET_MOUNT, CTL_FIND_FIRST, CTL_FIND_NEXT, CTL_OPEN_FILE = 7, 10, 41, 42, 44
OTHER_EXPORTS = 24          # before the share in the file: a reload rebuilds them first
MOUNT_ID_OFFSET = 8 + 556   # of the mount entry image in a CTL_GET_MOUNT reply


class Tree:
    def __init__(self, work):
        self.data = os.path.join(work, "data")       # also the log folder
        self.share = os.path.join(work, "share")
        for d in (self.data, self.share):
            os.makedirs(d)
        lines = []
        for i in range(OTHER_EXPORTS):
            os.makedirs(os.path.join(work, "other%02d" % i))
            lines.append("%s 127.0.0.9\n" % windows(os.path.join(work, "other%02d" % i)))
        with open(os.path.join(self.data, "exports"), "w") as f:
            f.write("".join(lines) + "%s -maproot:0\n" % windows(self.share))
        with open(os.path.join(self.data, LOG_NAME), "w") as f:
            f.write("a log line\n")


# ---- the control pipe --------------------------------------------------------------

class Pipe:
    def __init__(self):
        self.s = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        self.s.settimeout(5)
        self.s.connect(PIPE)

    def call(self, code, data=b""):
        """The reply, or None when the server refused or ended the connection."""
        try:
            self.s.send(struct.pack("<II", code, len(data)) + data)
            reply = self.s.recv(8192)
        except OSError:
            return None
        return reply or None

    def close(self):
        self.s.close()


def as_user(uid, fn):
    """fn() run in a child process with the user's ids; its JSON-able result."""
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            os.close(r)
            os.setgroups([])
            os.setgid(uid)
            os.setuid(uid)
            os.write(w, json.dumps(fn()).encode())
        finally:
            os._exit(0)
    os.close(w)
    with os.fdopen(r) as f:
        out = f.read()
    os.waitpid(pid, 0)
    return json.loads(out) if out else None

def pipe_view():
    """What a caller sees of the mounts and of the data folder."""
    p = Pipe()
    try:
        mount = p.call(CTL_GET_MOUNT)
        opened = {}
        for name in ("mounttab", "inodes.nfs", "exports", LOG_NAME):
            reply = p.call(CTL_OPEN_FILE, name.encode() + b"\0r\0")
            opened[name] = struct.unpack_from("<I", reply, 8)[0] != 0
        found = []
        reply = p.call(CTL_FIND_FIRST, b"*\0")
        while reply and len(reply) >= 332:
            found.append(reply[56:56 + 260].split(b"\0")[0].decode())   # the name, at 44 of the record
            reply = p.call(CTL_FIND_NEXT, reply[8:12])
        return {"mount_id": struct.unpack_from("<I", mount, MOUNT_ID_OFFSET)[0], "opened": opened,
                "found": sorted(found)}
    finally:
        p.close()


def check_pipe_identity(c):
    """Mount identifiers and the data files are the administrators'."""
    admin, user = pipe_view(), as_user(NOBODY, pipe_view)
    c.true(admin["mount_id"] != 0, "an administrator sees the mount identifier")
    c.true(admin["opened"]["mounttab"] and "inodes.nfs" in admin["found"], "an administrator reads the data folder")
    c.equal(user, {"mount_id": 0, "opened": {"mounttab": False, "inodes.nfs": False, "exports": False, LOG_NAME: True},
                   "found": [LOG_NAME]}, "a user who is not an administrator sees the log files only")


def check_reload_while_mounting(c, tree):
    """MNT during reloads finds the export list whole, never empty or half rebuilt."""
    stop, reloads = threading.Event(), []

    def reload():
        p = Pipe()
        try:
            while not stop.is_set():
                reloads.append(p.call(CTL_RELOAD_EXPORTS))
        finally:
            p.close()

    t = threading.Thread(target=reload)
    t.start()
    link, statuses = Link(True), []
    try:
        deadline = time.monotonic() + 3
        while time.monotonic() < deadline:
            status, x = link.call(1, w.opaque(nfs(tree.share).encode()), prog=MOUNT_PROGRAM, port=MOUNT_PORT)
            statuses.append(x.u32() if status == w.SUCCESS else ("accept", status))
    finally:
        stop.set()
        t.join()
        link.close()
    c.true(len(reloads) > 5 and all(r == struct.pack("<I", 0) for r in reloads), "%d reloads done" % len(reloads))
    c.equal(len([s for s in statuses if s != 0]), 0, "MNTs refused of %d during the reloads" % len(statuses))


def main(args):
    quen, = args
    c = nstest.Checks()
    work = tempfile.mkdtemp(prefix="quen-fair-")
    try:
        tree = Tree(work)
        registry = os.path.join(work, "registry.reg")
        with server(quen, tree, registry):
            link = Link(True)
            try:
                link.mount(nfs(tree.share))
            finally:
                link.close()
            check_pipe_identity(c)
            check_reload_while_mounting(c, tree)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return c.result()


if __name__ == "__main__":
    with contextlib.suppress(KeyboardInterrupt):
        nstest.run("fair", main)
