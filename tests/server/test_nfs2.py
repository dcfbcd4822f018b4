"""NFS version 2 of the server program: a tree written over version 3 (nfs-cp
and raw calls) walked back over version 2 by libnfs raw calls, every version 2
procedure and its edge cases by raw calls, rpcinfo's view of the
registrations, and tshark reading the whole run."""
import contextlib
import os
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "protocol"))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import nstest  # noqa: E402
import rpcwire as w  # noqa: E402
from test_mount import READ_OPTIONS, Server, nfs, server, write_registry  # noqa: E402
import test_nfs as v3  # noqa: E402

GETATTR, SETATTR, ROOT, LOOKUP, READLINK, READ, WRITECACHE, WRITE, CREATE = 1, 2, 3, 4, 5, 6, 7, 8, 9
REMOVE, RENAME, LINK, SYMLINK, MKDIR, RMDIR, READDIR, STATFS = 10, 11, 12, 13, 14, 15, 16, 17
OK, NOENT, IO, ACCES, FBIG, ROFS, STALE = 0, 2, 5, 13, 27, 30, 70
NFREG, NFDIR, NFCHR, NFLNK = 1, 2, 4, 5
TYPE_BITS = {NFREG: 0o100000, NFDIR: 0o040000, NFLNK: 0o120000}
UNSET = 0xFFFFFFFF
DATASIZE, DIR_LIMIT = 8192, 3


def sattr(mode=UNSET, size=UNSET, mtime=(UNSET, UNSET)):
    return w.words(mode, UNSET, UNSET, size, UNSET, UNSET, *mtime)


def dirop(directory, name):
    return directory + w.opaque(name.encode() if isinstance(name, str) else name)


class V2:
    """Raw version 2 calls over a test_nfs link; handles are 32 fixed bytes."""

    def __init__(self, link):
        self.link = link

    def call(self, proc, args=b""):
        return self.link.call(proc, args, version=2)

    def status(self, proc, args):
        accept, x = self.call(proc, args)
        return x.u32() if accept == w.SUCCESS else ("accept", accept)

    def fattr(self, x):
        f = struct.unpack(">17I", x.fixed(68))
        return {"type": f[0], "mode": f[1], "nlink": f[2], "size": f[5], "rdev": f[7], "fileid": f[10],
                "mtime": (f[13], f[14])}

    def diropres(self, proc, args):
        """(status, handle, fattr)."""
        _, x = self.call(proc, args)
        status = x.u32()
        return (status, x.fixed(32), self.fattr(x)) if status == OK else (status, None, None)

    def lookup(self, directory, name):
        status, handle, _ = self.diropres(LOOKUP, dirop(directory, name))
        if status != OK:
            raise ValueError("LOOKUP %s: %d" % (name, status))
        return handle

    def readdir(self, directory, count, cookie=0):
        """(names, eof, bytes of the results)."""
        _, x = self.call(READDIR, directory + w.words(cookie, count))
        start, names = x.at, []
        if x.u32() != OK:
            return None, None, 0
        while x.u32():
            x.u32()
            names.append(x.fixed((x.u32() + 3) & ~3))
            x.u32()
        return names, x.u32(), x.at - start


def mount1(link, path):
    accept, x = link.call(1, w.opaque(path.encode()), prog=v3.MOUNT_PROGRAM, version=1, port=v3.MOUNT_PORT)
    if accept != w.SUCCESS or x.u32() != OK:
        raise ValueError("MNT %s" % path)
    return x.fixed(32)


# ---- the tree written over version 3 ---------------------------------------------

def write_over_v3(c, tree, work):
    """Files, folders, a link and chosen times through version 3."""
    big = os.path.join(work, "big.bin")
    with open(big, "wb") as f:
        f.write(os.urandom(300000))
    c.equal(v3.tool("nfs-cp", big, v3.url(tree.share, "a/big.bin")).returncode, 0, "nfs-cp over version 3")
    link = v3.Link(False)
    try:
        share = link.mount(nfs(tree.share))
        c.equal(link.nfs_status(v3.MKDIR, v3.name_args(share, "ten") + v3.NO_ATTRIBUTES), OK, "v3 MKDIR ten")
        ten = v3.lookup(link, share, "ten")
        for i in range(10):
            made = link.call(v3.CREATE, v3.name_args(ten, "f%d" % i) + w.words(0, 1, 0o640) + w.words(0, 0, 0, 0, 0))
            c.equal(made[1].u32(), OK, "v3 CREATE ten/f%d" % i)
        c.equal(link.nfs_status(v3.SYMLINK, v3.name_args(share, "ln") + v3.NO_ATTRIBUTES + w.opaque(b"a/big.bin")),
                OK, "v3 SYMLINK")
        # mtime with a microsecond part, to see it come back in microseconds.
        when = w.words(0, 0, 0, 0, 0, 2, 1500000000, 123456789)
        c.equal(link.nfs_status(v3.SETATTR, v3.fh(v3.lookup(link, share, "top.txt")) + when + w.words(0)), OK,
                "v3 SETATTR mtime")
        return v3_view(link, share)
    finally:
        link.close()


def v3_view(link, share):
    """path -> (type, mode with type bits, size, mtime seconds, microseconds) through version 3 GETATTR."""
    view, pending = {}, [("", share)]
    while pending:
        prefix, handle = pending.pop()
        for name in sorted(os.listdir(os.path.join(TREE_ROOT, prefix))):
            path = os.path.join(prefix, name)
            found = v3.lookup(link, handle, name)
            _, x = link.call(v3.GETATTR, v3.fh(found))
            x.u32()
            a = struct.unpack(">IIIIIQQIIQQIIIIII", x.fixed(84))
            view[path] = (a[0], TYPE_BITS.get(a[0], 0) | a[1], a[5], a[13], a[14] // 1000)
            if a[0] == NFDIR:
                pending.append((path, found))
    return view


def walk_v2(walker, tree, count):
    r = subprocess.run([walker, "-c", str(count), "127.0.0.1", nfs(tree.share)], capture_output=True, text=True,
                       timeout=60)
    rows = [line.split("\t") for line in r.stdout.splitlines()]
    entries = {row[1]: row[2:] for row in rows if row[0] == "entry"}
    pages = next((int(row[1]) for row in rows if row[0] == "pages"), 0)
    return r.returncode, entries, pages, r.stderr


def check_walk(c, tree, walker, written):
    rc, entries, pages, err = walk_v2(walker, tree, 1024)
    c.equal(rc, 0, "libnfs walks the export over version 2: %s" % err[-200:])
    seen = {p: (int(e[0]), int(e[1], 8), int(e[2]), int(e[3]), int(e[4])) for p, e in entries.items()}
    c.equal(seen, written, "the tree reads back over version 2 as version 3 wrote it")
    c.true(pages > len([p for p in written if written[p][0] == NFDIR]) + 1,
           "READDIR with DirLimit %d pages by cookie: %d pages" % (DIR_LIMIT, pages))
    c.equal({p: e[5] for p, e in entries.items() if e[5] != e[6]}, {}, "READDIR and LOOKUP give the same file ids")
    with open(os.path.join(tree.share, "a", "big.bin"), "rb") as f:
        data = f.read()
    h = 0xcbf29ce484222325
    for b in data:
        h = ((h ^ b) * 0x100000001b3) & 0xFFFFFFFFFFFFFFFF
    c.equal(entries.get("a/big.bin", [""] * 9)[8], "%016x" % h, "READ over version 2 is byte-identical")
    c.equal(entries.get("ln", [""] * 9)[8], "a/big.bin", "READLINK over version 2")


# ---- procedures and edge cases ----------------------------------------------------

def check_procedures(c, tree, link, kind):
    v = V2(link)
    share, ro, local = mount1(link, nfs(tree.share)), mount1(link, nfs(tree.ro)), mount1(link, nfs(tree.local))
    c.equal(v.call(0)[0], w.SUCCESS, "%s: NULL" % kind)
    c.equal({p: v.call(p, share)[0] for p in (ROOT, WRITECACHE, 18)},
            {p: w.PROC_UNAVAIL for p in (ROOT, WRITECACHE, 18)}, "%s: ROOT, WRITECACHE and 18 not served" % kind)
    _, x = v.call(GETATTR, share)
    c.equal((x.u32(), v.fattr(x)["type"]), (OK, NFDIR), "%s: GETATTR of the export" % kind)
    sub = "d-" + kind
    status, d, attrs = v.diropres(MKDIR, dirop(share, sub) + sattr(0o40755))
    c.equal((status, attrs and attrs["mode"]), (OK, 0o40755), "%s: MKDIR, mode with type bits" % kind)
    status, f, attrs = v.diropres(CREATE, dirop(d, "f") + sattr(0o100644, 0))
    c.equal((status, attrs and attrs["type"]), (OK, NFREG), "%s: CREATE of a regular file" % kind)
    _, x = v.call(WRITE, f + w.words(0, 0, 0) + w.opaque(b"hello version 2"))
    c.equal((x.u32(), v.fattr(x)["size"]), (OK, 15), "%s: WRITE, size after" % kind)
    _, x = v.call(READ, f + w.words(6, 100, 0))
    status = x.u32()
    if c.equal(status, OK, "%s: READ" % kind):
        v.fattr(x)
        c.equal(x.fixed(x.u32()), b"version 2", "%s: READ at an offset" % kind)
    _, x = v.call(SETATTR, f + sattr(0o100444, 4, (1600000000, 250000)))
    attrs = v.fattr(x) if x.u32() == OK else {}
    c.equal((attrs.get("mode"), attrs.get("size"), attrs.get("mtime", (0,))[0]), (0o100444, 4, 1600000000),
            "%s: SETATTR mode, size and mtime" % kind)
    c.equal(os.stat(os.path.join(tree.share, sub, "f")).st_mtime_ns, 1600000000250000000,
            "%s: SETATTR time given in microseconds" % kind)
    c.equal(v.status(SETATTR, f + sattr(0o100644)), OK, "%s: SETATTR back to writable" % kind)
    status, dev, attrs = v.diropres(CREATE, dirop(d, "null") + sattr(0x21B6, 0x0103))
    c.equal((status, attrs and (attrs["type"], attrs["rdev"])), (OK, (NFCHR, 0x0103)),
            "%s: CREATE of character device 1,3 from mode 0x21B6" % kind)
    c.equal(v.status(CREATE, dirop(d, "sub") + sattr(0x41ED)), IO, "%s: CREATE with a directory type" % kind)
    c.equal(v.status(SYMLINK, dirop(d, "ln") + w.opaque(b"f") + sattr()), OK, "%s: SYMLINK" % kind)
    _, x = v.call(READLINK, v.lookup(d, "ln"))
    c.equal((x.u32(), x.fixed(x.u32())), (OK, b"f"), "%s: READLINK" % kind)
    c.equal(v.status(LINK, f + dirop(d, "hard")), OK, "%s: LINK" % kind)
    c.equal(os.stat(os.path.join(tree.share, sub, "f")).st_nlink, 2, "%s: LINK made a second name" % kind)
    c.equal(v.status(RENAME, dirop(d, "hard") + dirop(d, "moved")), OK, "%s: RENAME" % kind)
    # A retransmitted REMOVE (same xid) is answered from its slot, not run again into NOENT.
    xid, port = next(v3.XIDS), link.links[v3.NFS_PORT]
    message = w.call(xid, REMOVE, dirop(d, "moved"), prog=v3.NFS_PROGRAM, vers=2, cred=v3.cred(0))
    replies = [port.exchange(message, timeout=3.0) for _ in range(2)]
    c.true(replies[0] is not None and replies[0] == replies[1] and replies[0][-4:] == w.words(OK),
           "%s: REMOVE retransmitted gets the same OK" % kind)
    c.equal(v.status(REMOVE, dirop(d, "moved")), NOENT, "%s: REMOVE of a name gone" % kind)
    c.equal(sorted(os.listdir(os.path.join(tree.share, sub))), ["f", "ln", "null"], "%s: the folder on disk" % kind)
    # Sizes and offsets are 32-bit: no count above Datasize, nothing past 2^32 - 1.
    c.equal(v.status(READ, f + w.words(0, DATASIZE + 1, 0)), ("accept", w.GARBAGE_ARGS),
            "%s: READ of Datasize + 1 bytes" % kind)
    c.equal(v.status(WRITE, f + w.words(0, 0xFFFFFFF0, 0) + w.opaque(b"x" * 100)), FBIG,
            "%s: WRITE past 2^32 - 1" % kind)
    c.equal(v.status(CREATE, dirop(d, b"a\0b") + sattr()), ("accept", w.GARBAGE_ARGS),
            "%s: a name with a NUL" % kind)
    for name in ("f", "ln", "null"):
        c.equal(v.status(REMOVE, dirop(d, name)), OK, "%s: REMOVE %s" % (kind, name))
    c.equal(v.status(RMDIR, dirop(share, sub)), OK, "%s: RMDIR" % kind)
    c.true(not os.path.exists(os.path.join(tree.share, sub)), "%s: the folder is gone from disk" % kind)

    ten = v.lookup(share, "ten")
    names, eof, _ = v.readdir(ten, 4096)
    c.equal((len(names or []), eof), (DIR_LIMIT, 0), "%s: READDIR with DirLimit %d of ten" % (kind, DIR_LIMIT))
    for count in (40, 64, 100):
        names, eof, used = v.readdir(ten, count)
        c.true(names and used <= count and eof == 0, "%s: READDIR of count %d: %d bytes, %d names" %
               (kind, count, used, len(names or [])))
    _, x = v.call(STATFS, share)
    status, values = x.u32(), struct.unpack(">5I", x.fixed(20)) if x.at + 20 <= len(x.data) else None
    c.true(status == OK and values[0] == DATASIZE and values[1] == 4096 and 0 < values[3] <= values[2],
           "%s: STATFS %r" % (kind, values))

    changes = {
        "SETATTR": (SETATTR, ro + sattr(0o700)),
        "WRITE": (WRITE, v.lookup(ro, "file.txt") + w.words(0, 0, 0) + w.opaque(b"z")),
        "CREATE": (CREATE, dirop(ro, "new") + sattr()),
        "REMOVE": (REMOVE, dirop(ro, "file.txt")),
        "RENAME": (RENAME, dirop(ro, "file.txt") + dirop(ro, "moved")),
        "LINK": (LINK, v.lookup(ro, "file.txt") + dirop(ro, "hard")),
        "SYMLINK": (SYMLINK, dirop(ro, "ln") + w.opaque(b"file.txt") + sattr()),
        "MKDIR": (MKDIR, dirop(ro, "dir") + sattr()),
        "RMDIR": (RMDIR, dirop(ro, "dir")),
    }
    c.equal({n: v.status(p, a) for n, (p, a) in changes.items()}, {n: ROFS for n in changes},
            "%s: a read-only export refuses changes" % kind)
    c.equal(sorted(os.listdir(tree.ro)), ["file.txt"], "%s: nothing changed in the read-only export" % kind)
    c.equal(v.status(GETATTR, bytes(8) + os.urandom(24)), STALE, "%s: a foreign handle is stale" % kind)
    c.equal(v.status(GETATTR, bytes(32)), STALE, "%s: the public handle outside LOOKUP is stale" % kind)
    # WebNFS: LOOKUP in the public handle takes a whole path.
    status, handle, _ = v.diropres(LOOKUP, dirop(bytes(32), nfs(tree.share) + "/a"))
    c.true(status == OK and v.status(GETATTR, handle) == OK, "%s: LOOKUP through the public handle" % kind)
    status, _, attrs = v.diropres(LOOKUP, dirop(bytes(32), nfs(tree.share) + "/top.txt"))
    c.equal((status, attrs and (attrs["type"], attrs["size"])), (OK, (NFREG, 4)),
            "%s: LOOKUP of a file's path through the public handle" % kind)
    c.equal(v.diropres(LOOKUP, dirop(bytes(32), nfs(tree.share) + "/a/.."))[0], ACCES,
            "%s: a public path does not climb out" % kind)
    return local


def check_second_address(c, local):
    other = V2(v3.Link(True, v3.SECOND_CLIENT))
    try:
        c.equal(other.status(GETATTR, local), ACCES, "version 2 handle of a 127.0.0.1-only export from elsewhere")
    finally:
        other.link.close()


def nfs_registrations():
    r = subprocess.run(["rpcinfo", "-p", "127.0.0.1"], capture_output=True, text=True, timeout=10)
    return sorted((row[1], row[2]) for row in (line.split() for line in r.stdout.splitlines()[1:])
                  if row and row[0] == str(v3.NFS_PROGRAM))


@contextlib.contextmanager
def beside_ostel(quen, tree, registry, **settings):
    """The server registering with ostel, so that what it withdraws at its stop shows."""
    values = {"Directory": tree.data + "/", "InodePath": os.path.join(tree.data, "inodes.nfs")}
    values.update(settings)
    write_registry(registry, values)
    s = Server(quen, ["-debug"], registry)
    try:
        deadline = time.monotonic() + 15
        while time.monotonic() < deadline and s.alive() and len(nfs_registrations()) < 2:
            time.sleep(0.1)
        yield s
    finally:
        s.close()


def check_registrations(c, quen, ostel, tree, registry):
    portmapper = Server(ostel, ["-debug"], registry)
    try:
        with beside_ostel(quen, tree, registry, HardLinks="0") as s:
            c.equal(nfs_registrations(), [("2", "tcp"), ("2", "udp"), ("3", "tcp"), ("3", "udp")],
                    "rpcinfo: versions 2 and 3 over UDP and TCP")
            link = v3.Link(True)
            try:
                v, share = V2(link), mount1(link, nfs(tree.share))
                c.equal(v.status(LINK, v.lookup(share, "top.txt") + dirop(share, "hard")), ACCES,
                        "HardLinks 0: version 2 LINK refused")
            finally:
                link.close()
            c.equal(s.stop(signal.SIGINT), 0, "exit code after SIGINT beside ostel")
            c.equal(nfs_registrations(), [], "rpcinfo: every NFS registration withdrawn at the stop")
        # Version2 0 also leaves MOUNT version 1 out.
        with beside_ostel(quen, tree, registry, Version2="0"):
            c.equal(nfs_registrations(), [("3", "tcp"), ("3", "udp")], "rpcinfo: only version 3 with Version2 0")
            udp = w.Udp(port=v3.NFS_PORT)
            try:
                xid = next(v3.XIDS)
                reply = udp.exchange(w.call(xid, 0, prog=v3.NFS_PROGRAM, vers=2), timeout=3.0)
                c.equal(reply, w.prog_mismatch(xid, 3, 3), "Version2 0: a version 2 call gets PROG_MISMATCH 3..3")
            finally:
                udp.close()
    finally:
        portmapper.stop(signal.SIGINT)
        portmapper.close()


TREE_ROOT = ""


def main(args):
    global TREE_ROOT
    quen, walker, ostel = args[:3]
    for needed in ("nfs-cp", "tshark", "rpcinfo"):
        if not shutil.which(needed):
            print("SKIP: %s is not installed" % needed)
            return nstest.SKIP
    c = nstest.Checks()
    work = tempfile.mkdtemp(prefix="quen-nfs2-")
    capture_path = os.path.join(work, "lo.pcapng")
    try:
        tree = v3.Tree(work)
        TREE_ROOT = tree.share
        registry = os.path.join(work, "registry.reg")
        capture = nstest.start_capture(capture_path)
        try:
            with server(quen, tree, registry, DirLimit=str(DIR_LIMIT), WebNFS="1") as s:
                check_walk(c, tree, walker, write_over_v3(c, tree, work))
                for udp in (True, False):
                    link = v3.Link(udp)
                    try:
                        local = check_procedures(c, tree, link, "udp" if udp else "tcp")
                    finally:
                        link.close()
                check_second_address(c, local)
                c.equal(s.stop(signal.SIGINT), 0, "exit code after SIGINT")
            check_registrations(c, quen, ostel, tree, registry)
        finally:
            nstest.stop_capture(capture)
        out = subprocess.run(["tshark", "-r", capture_path] + READ_OPTIONS + ["-Y", "nfs.procedure_v2"],
                             capture_output=True, text=True, timeout=60).stdout
        c.true(len(out.splitlines()) > 100, "tshark decodes version 2 packets: %d" % len(out.splitlines()))
        bad = subprocess.run(["tshark", "-r", capture_path] + READ_OPTIONS + ["-Y", "rpc && _ws.malformed"],
                             capture_output=True, text=True, timeout=60).stdout
        c.equal(bad, "", "tshark finds no malformed RPC packet")
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return c.result()


if __name__ == "__main__":
    with contextlib.suppress(KeyboardInterrupt):
        nstest.run("nfs2", main)
