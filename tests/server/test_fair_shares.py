"""What one local user, or one or two client addresses, may hold of the
server: the control pipe as a user who is not an administrator, and the
tables that hostile hosts fill (raw messages and raw RPC, from several
addresses of lo).

usage: test_fair_shares.py QUEN
"""
import contextlib
import json
import os
import select
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "protocol"))
sys.path.insert(0, HERE)
import nstest  # noqa: E402
import rpcwire as w  # noqa: E402
from test_mount import MOUNT_PORT, MOUNT_PROGRAM, Xdr, accepted_body, nfs, server, windows  # noqa: E402
from test_nfs import Link, fh, lookup  # noqa: E402

PIPE = "/run/tervalo/nfs_server"
NOBODY = 65534
LOG_NAME = "quen2612.log"
CTL_GET_SETTINGS, CTL_RELOAD_EXPORTS, CTL_GET_MOUNT, CTL_FIND_FIRST, CTL_FIND_NEXT, CTL_OPEN_FILE = 1, 7, 10, 41, 42, 44
CTL_DENIED = 2
PIPE_IDLE = 3
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


@contextlib.contextmanager
def user_holding(uid, fn):
    """fn() run in a child process with the user's ids; yields its JSON-able
    result while the child, and whatever fn left open, lives on."""
    result_r, result_w = os.pipe()
    hold_r, hold_w = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            os.close(result_r)
            os.close(hold_w)
            os.setgroups([])
            os.setgid(uid)
            os.setuid(uid)
            kept = fn()
            os.write(result_w, json.dumps(kept[0] if isinstance(kept, tuple) else kept).encode())
            os.close(result_w)
            os.read(hold_r, 1)
        finally:
            os._exit(0)
    os.close(result_w)
    os.close(hold_r)
    try:
        out = b""
        while True:
            chunk = os.read(result_r, 65536)
            if not chunk:
                break
            out += chunk
        yield json.loads(out) if out else None
    finally:
        os.close(hold_w)
        os.close(result_r)
        os.waitpid(pid, 0)


def as_user(uid, fn):
    with user_holding(uid, fn) as result:
        return result


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


def hold_pipe_connections(count):
    """Opens count connections and asks each for the settings; keeps them open."""
    held, served, refusal = [], 0, None
    for _ in range(count):
        try:
            p = Pipe()
        except OSError:
            continue
        held.append(p)
        reply = p.call(CTL_GET_SETTINGS)
        if reply and len(reply) == 188:
            served += 1
        elif refusal is None:
            refusal = (reply or b"").hex()
    return {"served": served, "refusal": refusal}, held


def settings_answered():
    p = Pipe()
    try:
        reply = p.call(CTL_GET_SETTINGS)
        return bool(reply) and len(reply) == 188
    finally:
        p.close()


def check_pipe_shares(c):
    """One user holds a few connections, another user and an administrator
    still get in, and a silent connection is closed after PipeIdle."""
    with user_holding(NOBODY, lambda: hold_pipe_connections(40)) as held:
        c.equal(held, {"served": 4, "refusal": struct.pack("<I", CTL_DENIED).hex()},
                "one user is served 4 connections, the next hears it is refused")
        c.true(as_user(NOBODY - 1, settings_answered), "another user is served meanwhile")
        c.true(settings_answered(), "an administrator is served meanwhile")
    p = Pipe()
    try:
        c.true(p.call(CTL_GET_SETTINGS) is not None, "a new connection is served")
        time.sleep(PIPE_IDLE + 1.5)
        c.equal(p.call(CTL_GET_SETTINGS), None, "silent for PipeIdle, it is closed")
    finally:
        p.close()


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
        with server(quen, tree, registry, PipeIdle=str(PIPE_IDLE)):
            link = Link(True)
            try:
                link.mount(nfs(tree.share))
            finally:
                link.close()
            check_pipe_identity(c)
            check_reload_while_mounting(c, tree)
            check_pipe_shares(c)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return c.result()


if __name__ == "__main__":
    with contextlib.suppress(KeyboardInterrupt):
        nstest.run("fair", main)
