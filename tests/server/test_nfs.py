"""NFS version 3 of the server program over UDP and TCP: libnfs's nfs-ls,
nfs-cat and nfs-cp on a prepared tree, raw calls for the edge cases, and
tshark reading the whole run."""
import contextlib
import itertools
import os
import random
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
from test_mount import Xdr, accepted_body, nfs, server, tshark, windows  # noqa: E402

NFS_PROGRAM, NFS_PORT, MOUNT_PROGRAM, MOUNT_PORT = 100003, 2049, 100005, 1058
GETATTR, SETATTR, LOOKUP, ACCESS, READLINK, READ, WRITE, CREATE, MKDIR = 1, 2, 3, 4, 5, 6, 7, 8, 9
SYMLINK, MKNOD, REMOVE, RMDIR, RENAME, LINK, COMMIT = 10, 11, 12, 13, 14, 15, 21
OK, NOENT, ACCES, INVAL, ROFS, STALE, NOT_SYNC, BADTYPE = 0, 2, 13, 22, 30, 70, 10002, 10007
NO_ATTRIBUTES = w.words(0, 0, 0, 0, 0, 0)   # sattr3 that sets nothing
UNSTABLE, DATA_SYNC, FILE_SYNC = 0, 1, 2
XIDS = itertools.count(0x4E000000 | (os.getpid() & 0xFFFF) << 8)
SECOND_CLIENT = "127.0.0.2"


def cred(uid):
    return w.auth(w.AUTH_UNIX, w.auth_unix_body(name=b"nfstest", uid=uid, gid=uid, stamp=0x4E465354))


def fh(handle):
    return w.opaque(handle)


def name_args(directory, name):
    return fh(directory) + w.opaque(name.encode())


class Link:
    """Raw NFS and MOUNT calls over one transport, from a chosen source address."""

    def __init__(self, udp, source="127.0.0.1"):
        self.udp = udp
        self.links = {}
        for port in (NFS_PORT, MOUNT_PORT):
            if udp:
                link = w.Udp(port=port)
                link.sock.close()
                link.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
                link.sock.bind((source, 0))
            else:
                link = w.Tcp(port=port)
            self.links[port] = link

    def close(self):
        for link in self.links.values():
            link.close()

    def call(self, proc, args=b"", uid=0, prog=NFS_PROGRAM, version=3, port=NFS_PORT, verf=None):
        """(accept status, Xdr of the results)."""
        xid = next(XIDS)
        message = w.call(xid, proc, args, prog=prog, vers=version, cred=cred(uid), verf=verf)
        reply = self.links[port].exchange(message, timeout=3.0)
        status, body = accepted_body(reply, xid)
        return status, Xdr(body)

    def mount(self, path):
        status, x = self.call(1, w.opaque(path.encode()), prog=MOUNT_PROGRAM, port=MOUNT_PORT)
        if status != w.SUCCESS or x.u32() != OK:
            raise ValueError("MNT %s failed" % path)
        return x.fixed(x.u32())

    def nfs_status(self, proc, args, uid=0):
        status, x = self.call(proc, args, uid)
        return x.u32() if status == w.SUCCESS else ("accept", status)


def skip_post_attr(x):
    if x.u32():
        x.fixed(84)


def attr_of(x):
    """The fattr3 fields the test reads: type, mode, size, ctime."""
    a = struct.unpack(">IIIIIQQIIQQIIIIII", x.fixed(84))
    return {"type": a[0], "mode": a[1], "size": a[5], "ctime": (a[15], a[16])}


def lookup(link, directory, name):
    status, x = link.call(LOOKUP, name_args(directory, name))
    if status != w.SUCCESS or x.u32() != OK:
        raise ValueError("LOOKUP %s failed" % name)
    return x.fixed(x.u32())


def access(link, handle, uid):
    status, x = link.call(ACCESS, fh(handle) + w.words(0x3F), uid)
    if x.u32() != OK:
        return None
    skip_post_attr(x)
    return x.u32()


def read(link, handle, offset, count, verf=None):
    _, x = link.call(READ, fh(handle) + struct.pack(">QI", offset, count), verf=verf)
    status = x.u32()
    if status != OK:
        return status, None, None
    skip_post_attr(x)
    x.u32()
    eof = x.u32()
    return status, x.fixed(x.u32()), eof


def write(link, handle, offset, data, stable):
    """(status, committed, verifier)."""
    _, x = link.call(WRITE, fh(handle) + struct.pack(">QII", offset, len(data), stable) + w.opaque(data))
    status = x.u32()
    for _ in range(2):   # wcc_data: pre and post
        if x.u32():
            x.fixed(24 if _ == 0 else 84)
    if status != OK:
        return status, None, None
    x.u32()
    return status, x.u32(), x.fixed(8)


def commit_verifier(link, handle):
    _, x = link.call(COMMIT, fh(handle) + struct.pack(">QI", 0, 0))
    if x.u32() != OK:
        return None
    if x.u32():
        x.fixed(24)
    skip_post_attr(x)
    return x.fixed(8)


# ---- the tree and the exports -------------------------------------------------

class Tree:
    def __init__(self, work):
        self.data = os.path.join(work, "data")
        self.share = os.path.join(work, "share")   # every client, root is root
        self.ro = os.path.join(work, "ro")         # read-only
        self.local = os.path.join(work, "local")   # 127.0.0.1 only, root squashed
        for d in (self.data, self.ro, self.local, os.path.join(self.share, "a", "b"), os.path.join(self.share, "c")):
            os.makedirs(d, exist_ok=True)
        rng = random.Random(20)
        self.files = {"top.txt": b"top\n", "a/one.bin": rng.randbytes(5000), "a/b/two.txt": b"two\n",
                      "c/three": b""}
        for rel, data in self.files.items():
            with open(os.path.join(self.share, rel), "wb") as f:
                f.write(data)
        for d in (self.ro, self.local):
            with open(os.path.join(d, "file.txt"), "wb") as f:
                f.write(b"0123456789")
        with open(os.path.join(self.data, "exports"), "w") as f:
            f.write("%s -alldirs -maproot:0\n%s -ro -maproot:0\n%s 127.0.0.1\n" % (
                windows(self.share), windows(self.ro), windows(self.local)))

    def on_disk(self):
        out = set()
        for root, dirs, files in os.walk(self.share):
            for n in dirs + files:
                out.add(os.path.relpath(os.path.join(root, n), self.share))
        return out


def url(path, name=""):
    return "nfs://127.0.0.1" + nfs(path) + "/" + name


def tool(*args):
    return subprocess.run(list(args), capture_output=True, timeout=60)


# ---- the checks ------------------------------------------------------------------

def check_libnfs(c, tree, work):
    r = tool("nfs-ls", "-R", url(tree.share))
    listed = {line.split(None, 5)[5] for line in r.stdout.decode().splitlines() if line.strip()}
    c.equal(listed, tree.on_disk(), "nfs-ls -R lists the tree on disk")
    c.equal(tool("nfs-cat", url(tree.share, "a/b/two.txt")).stdout, b"two\n", "nfs-cat of a small file")
    big = os.path.join(work, "big.bin")
    with open(big, "wb") as f:
        f.write(os.urandom(4 << 20))
    up = tool("nfs-cp", big, url(tree.share, "up.bin"))
    c.equal(up.returncode, 0, "nfs-cp up: %s" % up.stderr.decode()[-200:])
    with open(big, "rb") as a, open(os.path.join(tree.share, "up.bin"), "rb") as b:
        c.true(a.read() == b.read(), "nfs-cp up is byte-identical")
    back = os.path.join(work, "back.bin")
    tool("nfs-cp", url(tree.share, "a/one.bin"), back)
    with open(back, "rb") as f:
        c.true(f.read() == tree.files["a/one.bin"], "nfs-cp down is byte-identical")
    os.remove(back)
    tool("nfs-cp", url(tree.share, "up.bin"), back)
    with open(big, "rb") as a, open(back, "rb") as b:
        c.true(a.read() == b.read(), "nfs-cp down of 4 MiB is byte-identical")


def check_raw(c, tree, link, kind):
    share = link.mount(nfs(tree.share))
    ro = link.mount(nfs(tree.ro))
    local = link.mount(nfs(tree.local))
    top = lookup(link, share, "top.txt")
    # ACCESS from the mapped caller: root mapped to root, root squashed; never a change on -ro.
    for handle, uid, want, what in ((top, 0, 0x1F & ~0x02, "root, maproot:0"),
                                    (lookup(link, local, "file.txt"), 0, 0x01, "root squashed"),
                                    (lookup(link, ro, "file.txt"), 0, 0x01, "root on a read-only export")):
        c.equal(access(link, handle, uid), want, "%s: ACCESS granted, %s" % (kind, what))
    c.equal(read(link, top, 100, 10), (OK, b"", 1), "%s: READ past the end" % kind)
    c.equal(read(link, top, (1 << 64) - 2, 4096), (OK, b"", 1), "%s: READ at an offset near 2^64" % kind)
    # The reply echoes a verifier of 400 bytes: the data is cut to fit the buffer.
    with open(os.path.join(tree.share, "up.bin"), "rb") as f:
        start = f.read(8192)
    status, data, _ = read(link, lookup(link, share, "up.bin"), 0, 8192, w.auth(w.AUTH_NULL, bytes(400)))
    c.true(status == OK and 0 < len(data) <= 8192 - 16 and data == start[:len(data)],
           "%s: READ of Datasize with a 400-byte verifier: %s bytes" % (kind, data and len(data)))
    made = link.call(CREATE, name_args(share, "w-%s" % kind) + w.words(0) + w.words(0, 0, 0, 0, 0, 0))[1]
    c.equal(made.u32(), OK, "%s: CREATE" % kind)
    made.u32()
    new = made.fixed(made.u32())
    results = [write(link, new, 0, b"x" * 100, stable) for stable in (UNSTABLE, DATA_SYNC, FILE_SYNC)]
    c.equal([r[:2] for r in results], [(OK, UNSTABLE), (OK, FILE_SYNC), (OK, FILE_SYNC)],
            "%s: WRITE stabilities committed" % kind)
    verifier = commit_verifier(link, new)
    c.true(verifier is not None and verifier != bytes(8) and all(r[2] == verifier for r in results),
           "%s: one non-zero verifier in WRITE and COMMIT" % kind)
    c.equal(write(link, new, (1 << 64) - 10, b"y" * 100, FILE_SYNC)[0], INVAL, "%s: WRITE past 2^64" % kind)
    # The guard: a ctime that is not the file's changes nothing.
    guard = fh(new) + w.words(1, 0o600, 0, 0, 0, 0, 0) + w.words(1, 12345, 0)
    c.equal(link.nfs_status(SETATTR, guard), NOT_SYNC, "%s: SETATTR with a wrong guard" % kind)
    changes = {
        "WRITE": (WRITE, fh(lookup(link, ro, "file.txt")) + struct.pack(">QII", 0, 1, 2) + w.opaque(b"z")),
        "CREATE": (CREATE, name_args(ro, "new") + w.words(0, 0, 0, 0, 0, 0, 0)),
        "MKDIR": (MKDIR, name_args(ro, "dir") + w.words(0, 0, 0, 0, 0, 0)),
        "SETATTR": (SETATTR, fh(ro) + w.words(1, 0o700, 0, 0, 0, 0, 0, 0)),
        "REMOVE": (REMOVE, name_args(ro, "file.txt")),
        "RENAME": (RENAME, name_args(ro, "file.txt") + name_args(ro, "moved")),
        "SYMLINK": (SYMLINK, name_args(ro, "link") + NO_ATTRIBUTES + w.opaque(b"file.txt")),
        "LINK": (LINK, fh(lookup(link, ro, "file.txt")) + name_args(ro, "hard")),
    }
    c.equal({n: link.nfs_status(p, a) for n, (p, a) in changes.items()}, {n: ROFS for n in changes},
            "%s: a read-only export refuses changes" % kind)
    c.equal(sorted(os.listdir(tree.ro)), ["file.txt"], "%s: nothing changed in the read-only export" % kind)
    rng = random.Random(kind)
    hostile = {n: link.nfs_status(GETATTR, fh(rng.randbytes(n))) for n in (20, 28, 32)}
    c.equal(hostile, {20: STALE, 28: STALE, 32: STALE}, "%s: random handles are stale" % kind)
    c.equal(link.nfs_status(GETATTR, fh(rng.randbytes(65))), ("accept", w.GARBAGE_ARGS),
            "%s: a 65-byte handle is garbage" % kind)
    c.equal(link.nfs_status(READ, fh(top) + struct.pack(">Q", 0)), ("accept", w.GARBAGE_ARGS),
            "%s: a cut READ is garbage" % kind)
    c.equal(link.call(22, fh(share))[0], w.PROC_UNAVAIL, "%s: procedure 22 is not served" % kind)
    check_namespace(c, tree, link, share, kind)
    return local, verifier


def check_namespace(c, tree, link, share, kind):
    """SYMLINK and READLINK, RENAME, MKNOD of a regular file, REMOVE and RMDIR, seen on disk."""
    sub = "n-" + kind
    c.equal(link.nfs_status(MKDIR, name_args(share, sub) + NO_ATTRIBUTES), OK, "%s: MKDIR" % kind)
    d = lookup(link, share, sub)
    c.equal(link.nfs_status(SYMLINK, name_args(d, "ln") + NO_ATTRIBUTES + w.opaque(b"../top.txt")), OK,
            "%s: SYMLINK" % kind)
    _, x = link.call(READLINK, fh(lookup(link, d, "ln")))
    status = x.u32()
    skip_post_attr(x)
    c.equal((status, x.fixed(x.u32()) if status == OK else None), (OK, b"../top.txt"), "%s: READLINK" % kind)
    c.equal(link.nfs_status(RENAME, name_args(d, "ln") + name_args(d, "moved")), OK, "%s: RENAME" % kind)
    c.equal(link.nfs_status(MKNOD, name_args(d, "reg") + w.words(1)), BADTYPE, "%s: MKNOD of type 1" % kind)
    c.equal(link.nfs_status(REMOVE, name_args(d, "moved")), OK, "%s: REMOVE" % kind)
    c.equal(link.nfs_status(REMOVE, name_args(d, "moved")), NOENT, "%s: REMOVE of a name gone" % kind)
    c.equal(link.nfs_status(RMDIR, name_args(share, sub)), OK, "%s: RMDIR" % kind)
    c.true(not os.path.exists(os.path.join(tree.share, sub)), "%s: the folder is gone from disk" % kind)


def check_second_address(c, local):
    other = Link(True, SECOND_CLIENT)
    try:
        c.equal(other.nfs_status(GETATTR, fh(local)), ACCES,
                "a handle of a 127.0.0.1-only export from %s" % SECOND_CLIENT)
    finally:
        other.close()


def main(args):
    quen = args[0]
    for needed in ("nfs-ls", "nfs-cp", "nfs-cat", "tshark"):
        if not shutil.which(needed):
            print("SKIP: %s is not installed" % needed)
            return nstest.SKIP
    c = nstest.Checks()
    work = tempfile.mkdtemp(prefix="quen-nfs-")
    capture_path = os.path.join(work, "lo.pcapng")
    try:
        tree = Tree(work)
        registry = os.path.join(work, "registry.reg")
        capture = nstest.start_capture(capture_path)
        try:
            with server(quen, tree, registry) as s:
                check_libnfs(c, tree, work)
                verifiers = {}
                for udp in (True, False):
                    link = Link(udp)
                    try:
                        local, verifiers[udp] = check_raw(c, tree, link, "udp" if udp else "tcp")
                    finally:
                        link.close()
                check_second_address(c, local)
                c.equal(s.stop(signal.SIGINT), 0, "exit code after SIGINT")
            with server(quen, tree, registry):
                link = Link(True)
                try:
                    again = lookup(link, link.mount(nfs(tree.share)), "top.txt")
                    c.true(commit_verifier(link, again) not in (None, verifiers[True]),
                           "the write verifier differs after a restart")
                finally:
                    link.close()
        finally:
            nstest.stop_capture(capture)
        out = tshark(capture_path, "-Y", "nfs")
        c.true(len(out.splitlines()) > 50, "tshark decodes NFS packets: %d" % len(out.splitlines()))
        # The cut READ call is malformed on purpose; no reply may be.
        replies = "_ws.malformed && (udp.srcport == %d || tcp.srcport == %d)" % (NFS_PORT, NFS_PORT)
        malformed = tshark(capture_path, "-Y", replies)
        c.equal(malformed, "", "tshark finds no malformed reply")
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return c.result()


if __name__ == "__main__":
    with contextlib.suppress(KeyboardInterrupt):
        nstest.run("nfs", main)
