"""NFS version 2 of the server program: a tree written over version 3 walked
back by libnfs over version 2 (nfs2_walk), the procedures' own limits by raw
calls over UDP and TCP, the registrations beside ostel, and tshark reading
the whole run. What version 2 shares with version 3 is tested there."""
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
from test_mount import nfs, server, tshark  # noqa: E402
from test_startup import Server, registrations, wait_for, write_registry  # noqa: E402
import test_nfs as v3  # noqa: E402
from yanfs.test_yanfs import fnv  # noqa: E402

GETATTR, SETATTR, ROOT, LOOKUP, READLINK, READ, WRITECACHE, WRITE, CREATE = 1, 2, 3, 4, 5, 6, 7, 8, 9
REMOVE, RENAME, LINK, SYMLINK, MKDIR, RMDIR, READDIR, STATFS = 10, 11, 12, 13, 14, 15, 16, 17
OK, IO, ACCES, FBIG, ROFS, STALE = 0, 5, 13, 27, 30, 70
NFREG, NFDIR, NFCHR, NFLNK = 1, 2, 4, 5
TYPE_BITS = {NFREG: 0o100000, NFDIR: 0o040000, NFLNK: 0o120000}
UNSET = 0xFFFFFFFF
DATASIZE, DIR_LIMIT = 8192, 3


def sattr(mode=UNSET, size=UNSET, mtime=(UNSET, UNSET)):
    return w.words(mode, UNSET, UNSET, size, UNSET, UNSET, *mtime)


def dirop(directory, name):
    return directory + w.opaque(name.encode())


def call(link, proc, args):
    """(status of the results, their Xdr), or (("accept", status), None)."""
    accept, x = link.call(proc, args, version=2)
    return (x.u32(), x) if accept == w.SUCCESS else (("accept", accept), None)


def fattr(x):
    f = struct.unpack(">17I", x.fixed(68))
    return {"type": f[0], "mode": f[1], "size": f[5], "rdev": f[7]}


def diropres(link, proc, args):
    status, x = call(link, proc, args)
    return (status, x.fixed(32), fattr(x)) if status == OK else (status, None, {})


def mount1(link, path):
    _, x = link.call(1, w.opaque(path.encode()), prog=v3.MOUNT_PROGRAM, version=1, port=v3.MOUNT_PORT)
    return x.fixed(32) if x.u32() == OK else None


def write_over_v3(c, tree, work):
    """Files, folders, a link and a time in nanoseconds written through version 3; their version 3 view."""
    big = os.path.join(work, "big.bin")
    with open(big, "wb") as f:
        f.write(os.urandom(30000))
    c.equal(v3.tool("nfs-cp", big, v3.url(tree.share, "a/big.bin")).returncode, 0, "nfs-cp over version 3")
    with contextlib.closing(v3.Link(False)) as link:
        share = link.mount(nfs(tree.share))
        made = [link.nfs_status(v3.MKDIR, v3.name_args(share, "ten") + v3.NO_ATTRIBUTES)]
        ten = v3.lookup(link, share, "ten")
        made += [link.nfs_status(v3.CREATE, v3.name_args(ten, "f%d" % i) + w.words(0, 1, 0o640, 0, 0, 0, 0, 0))
                 for i in range(10)]
        made.append(link.nfs_status(v3.SYMLINK, v3.name_args(share, "ln") + v3.NO_ATTRIBUTES + w.opaque(b"top.txt")))
        when = w.words(0, 0, 0, 0, 0, 2, 1500000000, 123456789, 0)
        made.append(link.nfs_status(v3.SETATTR, v3.fh(v3.lookup(link, share, "top.txt")) + when))
        c.equal(made, [OK] * 13, "the tree written over version 3")
        view, pending = {}, [("", share)]
        while pending:
            prefix, handle = pending.pop()
            for name in os.listdir(os.path.join(tree.share, prefix)):
                path, found = os.path.join(prefix, name), v3.lookup(link, handle, name)
                a = struct.unpack_from(">IIIIIQQIIQQIIIIII", link.call(v3.GETATTR, v3.fh(found))[1].data, 4)
                view[path] = (a[0], TYPE_BITS.get(a[0], 0) | a[1], a[5], a[13], a[14] // 1000)
                if a[0] == NFDIR:
                    pending.append((path, found))
        return view, mount1(link, nfs(tree.share))


def check_walk(c, tree, walker, written, root):
    r = subprocess.run([walker, "127.0.0.1", root.hex()], capture_output=True, text=True, timeout=60)
    c.equal(r.returncode, 0, "libnfs walks the export over version 2: %s" % r.stderr[-200:])
    rows = {row[0]: row[1:] for row in (line.split("\t") for line in r.stdout.splitlines())}
    c.equal({p: (int(e[0]), int(e[1], 8), int(e[2]), int(e[3]), int(e[4])) for p, e in rows.items()}, written,
            "the tree reads back over version 2 as version 3 wrote it, READDIR with DirLimit %d" % DIR_LIMIT)
    c.equal({p: e[5] for p, e in rows.items() if e[5] != e[6]}, {}, "READDIR and LOOKUP give the same file ids")
    with open(os.path.join(tree.share, "a", "big.bin"), "rb") as f:
        c.equal(rows.get("a/big.bin", [""] * 8)[7], fnv(f.read()), "READ over version 2 is byte-identical")


def readdir(link, directory, count):
    """Entries and eof of the first page, and the bytes of its results."""
    status, x = call(link, READDIR, directory + w.words(0, count))
    names = 0
    while status == OK and x.u32():
        x.u32(), x.fixed(x.u32()), x.u32()
        names += 1
    return names, status == OK and x.u32(), len(x.data)


def check_procedures(c, tree, link, kind):
    def lookup(directory, name):
        return diropres(link, LOOKUP, dirop(directory, name))[1]

    def read(handle, offset, count):
        x = call(link, READ, handle + w.words(offset, count, 0))[1]
        return fattr(x)["size"], x.fixed(x.u32())

    share, ro, name = mount1(link, nfs(tree.share)), mount1(link, nfs(tree.ro)), "d-" + kind
    on_disk = os.path.join(tree.share, name)
    _, d, folder = diropres(link, MKDIR, dirop(share, name) + sattr(0o40755))
    f = diropres(link, CREATE, dirop(d, "f") + sattr(0o100644, 0))[1]
    _, _, null = diropres(link, CREATE, dirop(d, "null") + sattr(0x21B6, 0x0103))
    with open(os.path.join(on_disk, "huge"), "wb") as sparse:
        sparse.truncate(5 << 30)
    steps = [("WRITE", WRITE, f + w.words(0, 0, 0) + w.opaque(b"hello version 2"), OK),
             ("SETATTR", SETATTR, f + sattr(0o100444, 9, (1600000000, 250000)), OK),
             ("SYMLINK", SYMLINK, dirop(d, "ln") + w.opaque(b"f") + sattr(), OK),
             ("LINK", LINK, f + dirop(d, "hard"), OK),
             ("RENAME", RENAME, dirop(d, "hard") + dirop(d, "moved"), OK),
             ("READ of Datasize + 1", READ, f + w.words(0, DATASIZE + 1, 0), ("accept", w.GARBAGE_ARGS)),
             ("WRITE past 2^32 - 1", WRITE, f + w.words(0, 0xFFFFFFF0, 0) + w.opaque(b"x" * 100), FBIG),
             ("CREATE with a directory type", CREATE, dirop(d, "sub") + sattr(0x41ED), IO),
             ("the public handle outside LOOKUP", GETATTR, bytes(32), STALE),
             ("ROOT", ROOT, share, ("accept", w.PROC_UNAVAIL)),
             ("WRITECACHE", WRITECACHE, share, ("accept", w.PROC_UNAVAIL))]
    c.equal({n: call(link, p, a)[0] for n, p, a, _ in steps}, {n: e for n, _, _, e in steps}, "%s: statuses" % kind)
    readlink = call(link, READLINK, lookup(d, "ln"))[1]
    ten = lookup(share, "ten")
    pages = {count: readdir(link, ten, count) for count in (4096, 40, 64, 100)}
    seen = [("MKDIR: a mode with type bits", folder.get("mode"), 0o40755),
            ("CREATE of character device 1,3", (null.get("type"), null.get("rdev")), (NFCHR, 0x0103)),
            ("READ at 6 after WRITE, SETATTR", read(f, 6, 100), (9, b"ver")),
            ("SETATTR in microseconds", os.stat(os.path.join(on_disk, "f")).st_mtime_ns, 1600000000250000000),
            ("READLINK", readlink.fixed(readlink.u32()), b"f"),
            ("a 5 GiB file: size clamped, READ ends at 2^32 - 1", read(lookup(d, "huge"), 0xFFFFFFF0, 100),
             (0xFFFFFFFF, bytes(15))),
            ("READDIR with DirLimit %d of ten" % DIR_LIMIT, pages[4096][:2], (DIR_LIMIT, 0)),
            ("READDIR within its count", [0 < n and used <= count for count, (n, _, used) in pages.items()],
             [True] * 4),
            ("STATFS sizes", struct.unpack(">5I", call(link, STATFS, share)[1].fixed(20))[:2], (DATASIZE, 4096))]
    c.equal({n: v for n, v, _ in seen}, {n: e for n, _, e in seen}, "%s: results" % kind)
    call(link, SETATTR, f + sattr(mtime=(0, 1000000)))
    c.true(abs(os.stat(os.path.join(on_disk, "f")).st_mtime - time.time()) < 60,
           "%s: 1000000 microseconds set the server's time" % kind)
    gone = [call(link, REMOVE, dirop(d, n))[0] for n in ("f", "moved", "ln", "null", "huge")]
    c.equal(gone + [call(link, RMDIR, dirop(share, name))[0]], [OK] * 6, "%s: REMOVE, RMDIR" % kind)
    file_ro = lookup(ro, "file.txt")
    changes = {SETATTR: ro + sattr(0o700), WRITE: file_ro + w.words(0, 0, 0) + w.opaque(b"z"),
               CREATE: dirop(ro, "new") + sattr(), REMOVE: dirop(ro, "file.txt"), MKDIR: dirop(ro, "dir") + sattr(),
               RENAME: dirop(ro, "file.txt") + dirop(ro, "moved"), RMDIR: dirop(ro, "dir"),
               LINK: file_ro + dirop(ro, "hard"), SYMLINK: dirop(ro, "ln") + w.opaque(b"file.txt") + sattr()}
    c.equal({p: call(link, p, a)[0] for p, a in changes.items()}, {p: ROFS for p in changes},
            "%s: a read-only export refuses changes" % kind)
    c.equal(os.listdir(tree.ro), ["file.txt"], "%s: nothing changed in the read-only export" % kind)
    # LOOKUP in the public handle takes a folder's path, or a file's, never one that climbs out.
    public = {p: diropres(link, LOOKUP, dirop(bytes(32), nfs(tree.share) + p))[::2]
              for p in ("/a", "/top.txt", "/a/..")}
    _, x = link.call(v3.LOOKUP, v3.fh(b"") + w.opaque((nfs(tree.share) + "/top.txt").encode()))
    status = x.u32()
    public["version 3 /top.txt"] = (status, status == OK and x.fixed(x.u32()) and x.u32() and v3.attr_of(x))
    c.equal({p: (status, a and a["type"]) for p, (status, a) in public.items()},
            {"/a": (OK, NFDIR), "/top.txt": (OK, NFREG), "/a/..": (ACCES, {}), "version 3 /top.txt": (OK, NFREG)},
            "%s: LOOKUP in the public handle" % kind)


def nfs_registrations():
    return sorted((e[1], e[2]) for e in registrations() or [] if e[0] == str(v3.NFS_PROGRAM))


def check_registrations(c, quen, ostel, tree, registry):
    """Beside ostel, where what the server withdraws at its stop shows."""
    with contextlib.closing(Server(ostel, ["-debug"], registry)):
        for version2, want in (("1", [("2", "tcp"), ("2", "udp"), ("3", "tcp"), ("3", "udp")]),
                               ("0", [("3", "tcp"), ("3", "udp")])):
            write_registry(registry, {"Directory": tree.data + "/", "InodePath": os.path.join(tree.data, "inodes.nfs"),
                                      "Version2": version2})
            with contextlib.closing(Server(quen, ["-debug"], registry)) as s, \
                    contextlib.closing(w.Udp(port=v3.NFS_PORT)) as udp:
                wait_for(lambda: nfs_registrations() == want)
                c.equal(nfs_registrations(), want, "rpcinfo with Version2 " + version2)
                xid = next(v3.XIDS)
                reply = udp.exchange(w.call(xid, 0, prog=v3.NFS_PROGRAM, vers=2), timeout=3.0)
                c.equal(reply == w.prog_mismatch(xid, 3, 3), version2 == "0",
                        "Version2 %s: PROG_MISMATCH 3..3 only when off" % version2)
                c.equal((s.stop(signal.SIGINT), nfs_registrations()), (0, []), "stop withdraws every NFS registration")


def main(args):
    quen, walker, ostel = args[:3]
    missing = [tool for tool in ("nfs-cp", "tshark", "rpcinfo") if not shutil.which(tool)]
    if missing:
        print("SKIP: not installed: %s" % " ".join(missing))
        return nstest.SKIP
    c, work = nstest.Checks(), tempfile.mkdtemp(prefix="quen-nfs2-")
    capture_path = os.path.join(work, "lo.pcapng")
    try:
        tree, registry = v3.Tree(work), os.path.join(work, "registry.reg")
        capture = nstest.start_capture(capture_path)
        try:
            with server(quen, tree, registry, DirLimit=str(DIR_LIMIT), WebNFS="1") as s:
                check_walk(c, tree, walker, *write_over_v3(c, tree, work))
                for udp in (True, False):
                    with contextlib.closing(v3.Link(udp)) as link:
                        check_procedures(c, tree, link, "udp" if udp else "tcp")
                        local = mount1(link, nfs(tree.local))
                with contextlib.closing(v3.Link(True, v3.SECOND_CLIENT)) as other:
                    c.equal(call(other, GETATTR, local)[0], ACCES, "a handle of a 127.0.0.1-only export from elsewhere")
                c.equal(s.stop(signal.SIGINT), 0, "exit code after SIGINT")
            check_registrations(c, quen, ostel, tree, registry)
        finally:
            nstest.stop_capture(capture)
        decoded = len(tshark(capture_path, "-Y", "nfs.procedure_v2").splitlines())
        c.true(decoded > 100, "tshark decodes version 2 packets: %d" % decoded)
        c.equal(tshark(capture_path, "-Y", "rpc && _ws.malformed"), "", "tshark finds no malformed RPC packet")
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return c.result()


if __name__ == "__main__":
    with contextlib.suppress(KeyboardInterrupt):
        nstest.run("nfs2", main)
