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
        return {"type": f[0], "mode": f[1], "size": f[5], "rdev": f[7]}

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

    def readdir(self, directory, count):
        """(names, eof, bytes of the results) from the first entry on."""
        _, x = self.call(READDIR, directory + w.words(0, count))
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
    """Files, folders, a link and a chosen time through version 3; their GETATTR view."""
    big = os.path.join(work, "big.bin")
    with open(big, "wb") as f:
        f.write(os.urandom(300000))
    c.equal(v3.tool("nfs-cp", big, v3.url(tree.share, "a/big.bin")).returncode, 0, "nfs-cp over version 3")
    link = v3.Link(False)
    try:
        share = link.mount(nfs(tree.share))
        link.nfs_status(v3.MKDIR, v3.name_args(share, "ten") + v3.NO_ATTRIBUTES)
        ten = v3.lookup(link, share, "ten")
        made = [link.nfs_status(v3.CREATE, v3.name_args(ten, "f%d" % i) + w.words(0, 1, 0o640, 0, 0, 0, 0, 0))
                for i in range(10)]
        made.append(link.nfs_status(v3.SYMLINK, v3.name_args(share, "ln") + v3.NO_ATTRIBUTES + w.opaque(b"top.txt")))
        when = w.words(0, 0, 0, 0, 0, 2, 1500000000, 123456789, 0)
        made.append(link.nfs_status(v3.SETATTR, v3.fh(v3.lookup(link, share, "top.txt")) + when))
        c.equal(made, [OK] * 12, "the tree written over version 3")
        view, pending = {}, [("", share)]
        while pending:
            prefix, handle = pending.pop()
            for name in os.listdir(os.path.join(tree.share, prefix)):
                path, found = os.path.join(prefix, name), v3.lookup(link, handle, name)
                x = link.call(v3.GETATTR, v3.fh(found))[1]
                x.u32()
                a = struct.unpack(">IIIIIQQIIQQIIIIII", x.fixed(84))
                view[path] = (a[0], TYPE_BITS.get(a[0], 0) | a[1], a[5], a[13], a[14] // 1000)
                if a[0] == NFDIR:
                    pending.append((path, found))
        return view
    finally:
        link.close()


def check_walk(c, tree, walker, written):
    r = subprocess.run([walker, "127.0.0.1", nfs(tree.share)], capture_output=True, text=True, timeout=60)
    rows = [line.split("\t") for line in r.stdout.splitlines()]
    entries = {row[1]: row[2:] for row in rows if row[0] == "entry"}
    c.equal(r.returncode, 0, "libnfs walks the export over version 2: %s" % r.stderr[-200:])
    seen = {p: (int(e[0]), int(e[1], 8), int(e[2]), int(e[3]), int(e[4])) for p, e in entries.items()}
    c.equal(seen, written, "the tree reads back over version 2 as version 3 wrote it")
    pages = sum(int(row[1]) for row in rows if row[0] == "pages")
    c.true(pages > 10, "READDIR with DirLimit %d pages by cookie: %d pages" % (DIR_LIMIT, pages))
    c.equal({p: e[5] for p, e in entries.items() if e[5] != e[6]}, {}, "READDIR and LOOKUP give the same file ids")
    with open(os.path.join(tree.share, "a", "big.bin"), "rb") as f:
        h = 0xcbf29ce484222325
        for b in f.read():
            h = ((h ^ b) * 0x100000001b3) & 0xFFFFFFFFFFFFFFFF
    c.equal(entries.get("a/big.bin", [""] * 8)[7], "%016x" % h, "READ over version 2 is byte-identical")


# ---- procedures and edge cases ----------------------------------------------------

def check_procedures(c, tree, link, kind):
    v = V2(link)
    share, ro, local = mount1(link, nfs(tree.share)), mount1(link, nfs(tree.ro)), mount1(link, nfs(tree.local))
    c.equal([v.call(p, share)[0] for p in (0, ROOT, WRITECACHE, 18)], [w.SUCCESS] + [w.PROC_UNAVAIL] * 3,
            "%s: NULL answered; ROOT, WRITECACHE and 18 not served" % kind)
    sub = "d-" + kind
    status, d, attrs = v.diropres(MKDIR, dirop(share, sub) + sattr(0o40755))
    c.equal((status, attrs and attrs["mode"]), (OK, 0o40755), "%s: MKDIR, mode with type bits" % kind)
    status, f, attrs = v.diropres(CREATE, dirop(d, "f") + sattr(0o100644, 0))
    c.equal((status, attrs and attrs["type"]), (OK, NFREG), "%s: CREATE of a regular file" % kind)
    x = v.call(WRITE, f + w.words(0, 0, 0) + w.opaque(b"hello version 2"))[1]
    c.equal((x.u32(), v.fattr(x)["size"]), (OK, 15), "%s: WRITE, size after" % kind)
    x = v.call(READ, f + w.words(6, 100, 0))[1]
    c.equal((x.u32(), v.fattr(x)["size"], x.fixed(x.u32())), (OK, 15, b"version 2"), "%s: READ at 6" % kind)
    x = v.call(SETATTR, f + sattr(0o100444, 4, (1600000000, 250000)))[1]
    attrs = v.fattr(x) if x.u32() == OK else {}
    c.equal((attrs.get("mode"), attrs.get("size"), os.stat(os.path.join(tree.share, sub, "f")).st_mtime_ns),
            (0o100444, 4, 1600000000250000000), "%s: SETATTR mode, size and a time in microseconds" % kind)
    c.equal(v.status(SETATTR, f + sattr(mtime=(0, 1000000))), OK, "%s: SETATTR to the server's time" % kind)
    c.true(abs(os.stat(os.path.join(tree.share, sub, "f")).st_mtime - time.time()) < 60,
           "%s: 1000000 microseconds set the server's time" % kind)
    status, _, attrs = v.diropres(CREATE, dirop(d, "null") + sattr(0x21B6, 0x0103))
    c.equal((status, attrs and (attrs["type"], attrs["rdev"])), (OK, (NFCHR, 0x0103)),
            "%s: CREATE of character device 1,3 from mode 0x21B6" % kind)
    c.equal(v.status(SYMLINK, dirop(d, "ln") + w.opaque(b"f") + sattr()), OK, "%s: SYMLINK" % kind)
    x = v.call(READLINK, v.lookup(d, "ln"))[1]
    c.equal((x.u32(), x.fixed(x.u32())), (OK, b"f"), "%s: READLINK" % kind)
    c.equal([v.status(LINK, f + dirop(d, "hard")), os.stat(os.path.join(tree.share, sub, "f")).st_nlink,
             v.status(RENAME, dirop(d, "hard") + dirop(d, "moved"))], [OK, 2, OK], "%s: LINK, RENAME" % kind)
    # A retransmitted REMOVE (same xid) is answered from its slot, not run again into NOENT.
    message = w.call(next(v3.XIDS), REMOVE, dirop(d, "moved"), prog=v3.NFS_PROGRAM, vers=2, cred=v3.cred(0))
    replies = [link.links[v3.NFS_PORT].exchange(message, timeout=3.0) for _ in range(2)]
    c.true(replies[0] is not None and replies[0] == replies[1] and replies[0][-4:] == w.words(OK),
           "%s: REMOVE retransmitted gets the same OK" % kind)
    # Sizes and offsets are 32-bit: no count above Datasize, nothing past 2^32 - 1.
    huge = os.path.join(tree.share, sub, "huge")
    with open(huge, "wb") as sparse:
        sparse.truncate(5 << 30)
    x = v.call(READ, v.lookup(d, "huge") + w.words(0xFFFFFFF0, 100, 0))[1]
    c.equal((x.u32(), v.fattr(x)["size"], len(x.fixed(x.u32()))), (OK, 0xFFFFFFFF, 15),
            "%s: a 5 GiB file: size clamped, READ ends at 2^32 - 1" % kind)
    os.remove(huge)
    refused = {"READ of Datasize + 1": (READ, f + w.words(0, DATASIZE + 1, 0), ("accept", w.GARBAGE_ARGS)),
               "WRITE past 2^32 - 1": (WRITE, f + w.words(0, 0xFFFFFFF0, 0) + w.opaque(b"x" * 100), FBIG),
               "a name with a NUL": (CREATE, dirop(d, b"a\0b") + sattr(), ("accept", w.GARBAGE_ARGS)),
               "CREATE with a directory type": (CREATE, dirop(d, "sub") + sattr(0x41ED), IO),
               "REMOVE of a name gone": (REMOVE, dirop(d, "moved"), NOENT),
               "a foreign handle": (GETATTR, bytes(8) + os.urandom(24), STALE),
               "the public handle outside LOOKUP": (GETATTR, bytes(32), STALE)}
    c.equal({n: v.status(p, a) for n, (p, a, _) in refused.items()}, {n: e for n, (_, _, e) in refused.items()},
            "%s: refusals" % kind)
    c.equal([v.status(REMOVE, dirop(d, n)) for n in ("f", "ln", "null")] + [v.status(RMDIR, dirop(share, sub))],
            [OK] * 4, "%s: REMOVE and RMDIR" % kind)
    c.true(not os.path.exists(os.path.join(tree.share, sub)), "%s: the folder is gone from disk" % kind)
    ten = v.lookup(share, "ten")
    names, eof, _ = v.readdir(ten, 4096)
    c.equal((len(names or []), eof), (DIR_LIMIT, 0), "%s: READDIR with DirLimit %d of ten" % (kind, DIR_LIMIT))
    budgets = {count: v.readdir(ten, count) for count in (40, 64, 100)}
    c.true(all(n and used <= count for count, (n, _, used) in budgets.items()), "%s: READDIR within its count: %r" %
           (kind, {count: used for count, (_, _, used) in budgets.items()}))
    x = v.call(STATFS, share)[1]
    status, values = x.u32(), struct.unpack(">5I", x.fixed(20))
    c.true(status == OK and values[:2] == (DATASIZE, 4096) and 0 < values[3] <= values[2], "%s: STATFS" % kind)
    changes = {SETATTR: ro + sattr(0o700), WRITE: v.lookup(ro, "file.txt") + w.words(0, 0, 0) + w.opaque(b"z"),
               CREATE: dirop(ro, "new") + sattr(), REMOVE: dirop(ro, "file.txt"), MKDIR: dirop(ro, "dir") + sattr(),
               RENAME: dirop(ro, "file.txt") + dirop(ro, "moved"), RMDIR: dirop(ro, "dir"),
               LINK: v.lookup(ro, "file.txt") + dirop(ro, "hard"),
               SYMLINK: dirop(ro, "ln") + w.opaque(b"file.txt") + sattr()}
    c.equal({p: v.status(p, a) for p, a in changes.items()}, {p: ROFS for p in changes},
            "%s: a read-only export refuses changes" % kind)
    c.equal(os.listdir(tree.ro), ["file.txt"], "%s: nothing changed in the read-only export" % kind)
    # WebNFS: LOOKUP in the public handle takes a folder's path, or a file's, never one that climbs out.
    public = {p: v.diropres(LOOKUP, dirop(bytes(32), nfs(tree.share) + p)) for p in ("/a", "/top.txt", "/a/..")}
    c.equal({p: (r[0], r[2] and r[2]["type"]) for p, r in public.items()},
            {"/a": (OK, NFDIR), "/top.txt": (OK, NFREG), "/a/..": (ACCES, None)}, "%s: LOOKUP in the public handle" % kind)
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


def main(args):
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
