"""Answers clients act on: a GETATTR over TCP in fragments of any length, an
NLM version 4 lock at the top of the 64-bit range, quenctl umount by the
client's address once its name is known, and the handle of a file removed
while the server was killed.

usage: test_answers2.py QUEN QUENCTL NLM_CLIENT
"""
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "protocol"))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import nstest  # noqa: E402
import rpcwire as w  # noqa: E402
from test_mount import accepted_body, nfs, server, windows  # noqa: E402
from test_nfs import GETATTR, NFS_PORT, NFS_PROGRAM, OK, STALE, XIDS, Link, cred, fh, lookup  # noqa: E402
from test_nlm import Nlm, wait_nlm  # noqa: E402

GRANTED, DENIED, FBIG = 0, 1, 8
TOP = (1 << 64) - 1
INODE_BUSY = 0x02


class Tree:
    def __init__(self, work):
        self.data = os.path.join(work, "data")
        self.share = os.path.join(work, "share")
        for d in (self.data, self.share):
            os.makedirs(d)
        for name in ("top.txt", "gone.txt"):
            with open(os.path.join(self.share, name), "wb") as f:
                f.write(b"answers\n")
        with open(os.path.join(self.data, "exports"), "w") as f:
            f.write("%s -alldirs -maproot:0\n" % windows(self.share))

    def inodes(self):
        return os.path.join(self.data, "inodes.nfs")


def check_fragments(c, handle):
    """One GETATTR call cut into fragments whose lengths are not whole words."""
    for sizes in ([5, 30, 57], [1, 2, 3], [7]):
        xid = next(XIDS)
        message = w.call(xid, GETATTR, fh(handle), prog=NFS_PROGRAM, vers=3, cred=cred(0))
        cut = list(sizes)
        while sum(cut) < len(message):
            cut.append(min(sizes[len(cut) % len(sizes)], len(message) - sum(cut)))
        link = w.Tcp(port=NFS_PORT)
        try:
            link.send(w.record(message, cut))
            reply = link.receive_record(3.0)
        finally:
            link.close()
        try:
            status, body = accepted_body(reply, xid) if reply else ("connection closed", b"")
            answer = (status, struct.unpack_from(">I", body)[0] if body else None)
        except ValueError as e:
            answer = (str(e), None)
        c.equal(answer, (w.SUCCESS, OK), "GETATTR in fragments %s" % cut[:4])


def check_top_lock(c, nlm, handle):
    """A lock holds what it was granted, or is refused; it never holds nothing."""
    cases = [
        ("the last byte", TOP, 1),
        ("from the last byte to the end", TOP, 0),
    ]
    for what, offset, length in cases:
        granted = nlm("lock", handle, 1, offset, length, caller="hostA")
        tested = nlm("test", handle, 2, offset, length or 1, caller="hostB")
        if granted == GRANTED:
            c.equal(tested[0] if isinstance(tested, tuple) else tested, DENIED, "%s: another owner's TEST" % what)
        else:
            c.equal(granted, FBIG, "%s: LOCK refused as too big" % what)
        nlm("unlock", handle, 1, offset, length, caller="hostA")
    # Just below the top a lock is held as usual.
    c.equal(nlm("lock", handle, 1, TOP - 1, 1, caller="hostA"), GRANTED, "LOCK of the byte below the last")
    tested = nlm("test", handle, 2, TOP - 1, 1, caller="hostB")
    c.equal(tested[0] if isinstance(tested, tuple) else tested, DENIED, "...is held against another owner")
    c.equal(nlm("unlock", handle, 1, 0, 0, caller="hostA"), GRANTED, "UNLOCK all")


def check_umount_by_address(c, ctl, share):
    link = Link(True)
    try:
        link.mount(nfs(share))
    finally:
        link.close()
    named = "%s:%s" % (socket.getnameinfo(("127.0.0.1", 0), socket.NI_NAMEREQD)[0], nfs(share))
    listed = subprocess.run([ctl, "mounts"], capture_output=True, text=True, timeout=30).stdout.splitlines()
    c.true(named in listed, "quenctl mounts names the host: %s" % listed)
    r = subprocess.run([ctl, "umount", "127.0.0.1:%s" % nfs(share)], capture_output=True, text=True, timeout=30)
    c.equal((r.returncode, r.stderr), (0, ""), "quenctl umount ADDRESS:/path")
    listed = subprocess.run([ctl, "mounts"], capture_output=True, text=True, timeout=30).stdout.splitlines()
    c.true(named not in listed, "the mount is gone: %s" % listed)


def live_records(path, name):
    """Offsets of live inode records with this (inline) name."""
    with open(path, "rb") as f:
        table = f.read()
    found = []
    for o in range(32, len(table) - 31, 32):
        marker, _flags, length = struct.unpack_from("<BBH", table, o + 8)
        if marker == 0xFF and length == len(name) and table[o + 16:o + 16 + length] == name:
            found.append(o)
    return found


def getattr_status(handle):
    link = Link(False)
    try:
        return link.nfs_status(GETATTR, fh(handle))
    finally:
        link.close()


def check_removed_at_kill(c, quen, tree, registry):
    """A REMOVE cut short by SIGKILL: the file is gone from disk, its record
    still marked busy by the removal. The next run answers STALE and drops it."""
    with server(quen, tree, registry) as s:
        link = Link(False)
        try:
            handle = lookup(link, link.mount(nfs(tree.share)), "gone.txt")
        finally:
            link.close()
        c.equal(getattr_status(handle), OK, "GETATTR of the file before the kill")
        s.proc.send_signal(signal.SIGKILL)
        s.proc.wait()
    records = live_records(tree.inodes(), b"gone.txt")
    c.equal(len(records), 1, "the file's record in the table")
    with open(tree.inodes(), "r+b") as f:
        for o in records:
            f.seek(o + 9)
            flags = f.read(1)[0]
            f.seek(o + 9)
            f.write(bytes([flags | INODE_BUSY]))
    os.remove(os.path.join(tree.share, "gone.txt"))
    for run in ("after the kill", "after a clean restart"):
        with server(quen, tree, registry) as s:
            c.equal([getattr_status(handle) for _ in range(2)], [STALE, STALE], "GETATTR of the old handle %s" % run)
            c.equal(s.stop(signal.SIGINT), 0, "clean stop %s" % run)
        c.equal(live_records(tree.inodes(), b"gone.txt"), [], "no record of the removed file %s" % run)


def main(args):
    quen, ctl, nlm_client = args
    c = nstest.Checks()
    work = tempfile.mkdtemp(prefix="quen-answers2-")
    os.chmod(work, 0o755)
    try:
        tree = Tree(work)
        registry = os.path.join(work, "registry.reg")
        with server(quen, tree, registry, NLM="1"):
            c.true(wait_nlm(), "NLM registered")
            link = Link(False)
            try:
                root = link.mount(nfs(tree.share))
                top = lookup(link, root, "top.txt")
            finally:
                link.close()
            check_fragments(c, top)
            for udp in (True, False):
                check_top_lock(c, Nlm(nlm_client, udp), top)
            check_umount_by_address(c, ctl, tree.share)
        check_removed_at_kill(c, quen, tree, registry)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return c.result()


if __name__ == "__main__":
    nstest.run("answers2", main)
