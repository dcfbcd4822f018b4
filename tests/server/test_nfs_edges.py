"""NFS version 3 at its edges, with the directory and link settings turned
down: DirLimit, ReadDirPlus, SoftLinks and HardLinks; every name byte a
client may send; handles forged across a sibling folder; a symbolic link out
of the export; and random datagrams and TCP records to the NFS port."""
import contextlib
import os
import random
import shutil
import socket
import struct
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "protocol"))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import nstest  # noqa: E402
import rpcwire as w  # noqa: E402
from test_mount import nfs, server, windows  # noqa: E402
from test_nfs import (CREATE, FILE_SYNC, GETATTR, INVAL, LOOKUP, NFS_PORT, OK, SETATTR, STALE, Link,  # noqa: E402
                      fh, lookup, read, write)

READDIR, READDIRPLUS, FSINFO = 16, 17, 19
NOTSUPP = 10004
DIR_LIMIT, DIRSIZE = 10, 6400


class Tree:
    def __init__(self, work):
        self.data = os.path.join(work, "data")
        self.share = os.path.join(work, "share")
        self.sibling = os.path.join(work, "share2")   # its name extends the share's
        self.outside = os.path.join(work, "outside")
        for d in (self.data, os.path.join(self.share, "many"), os.path.join(self.share, "names"),
                  self.sibling, self.outside):
            os.makedirs(d, exist_ok=True)
        for i in range(30):
            open(os.path.join(self.share, "many", "f%02d" % i), "w").close()
        self.secret = os.path.join(self.outside, "secret")
        with open(self.secret, "wb") as f:
            f.write(b"outside the export\n")
        with open(os.path.join(self.sibling, "file"), "wb") as f:
            f.write(b"sibling\n")
        os.symlink(self.secret, os.path.join(self.share, "escape"))
        with open(os.path.join(self.data, "exports"), "w") as f:
            # Case-sensitive names, so that names differing only in case are two files.
            f.write("%s -alldirs -cs -maproot:0\n%s -maproot:0\n" % (windows(self.share), windows(self.sibling)))


def readdir(link, directory, cookie, count):
    """(reply length, names, last cookie, eof) of one READDIR."""
    _, x = link.call(READDIR, fh(directory) + struct.pack(">Q", cookie) + bytes(8) + w.words(count))
    size = len(x.data)
    if x.u32() != OK:
        return size, None, cookie, None
    if x.u32():
        x.fixed(84)
    x.fixed(8)
    names = []
    while x.u32():
        x.fixed(8)
        names.append(x.fixed(x.u32()))
        cookie = struct.unpack(">Q", x.fixed(8))[0]
    return size, names, cookie, x.u32()


def list_all(link, directory):
    names, cookie = [], 0
    for _ in range(200):
        _, part, cookie, eof = readdir(link, directory, cookie, 4096)
        if part is None:
            return None
        names += part
        if eof:
            return names
    return None


def check_settings(c, link, share, kind):
    many = lookup(link, share, "many")
    size, names, cookie, eof = readdir(link, many, 0, 100000)
    c.true(names is not None and len(names) == DIR_LIMIT and eof == 0,
           "%s: READDIR with count 100000 stops at DirLimit: %s entries, eof %s" % (kind, names and len(names), eof))
    c.true(size <= DIRSIZE, "%s: the READDIR reply stays within Dirsize: %s" % (kind, size))
    listed = list_all(link, many)
    c.equal(sorted(listed or []), [b".", b".."] + [b"f%02d" % i for i in range(30)],
            "%s: READDIR resumed by cookie lists every name once" % kind)
    _, x = link.call(READDIRPLUS, fh(many) + bytes(16) + w.words(4096, 8192))
    c.equal(x.u32(), NOTSUPP, "%s: READDIRPLUS with ReadDirPlus 0" % kind)
    _, x = link.call(FSINFO, fh(share))
    ok = x.u32() == OK
    if ok and x.u32():
        x.fixed(84)
    properties = struct.unpack(">7IQIII", x.fixed(48))[-1] if ok else None
    c.equal(properties, 0x18, "%s: FSINFO properties with SoftLinks and HardLinks 0" % kind)


def create(link, directory, name):
    return link.nfs_status(CREATE, fh(directory) + w.opaque(name) + w.words(0) + w.words(0, 0, 0, 0, 0, 0))


def check_names(c, tree, link, share):
    names_dir = lookup(link, share, "names")
    wanted = [("x%sy" % chr(b)).encode() for b in range(32, 256) if chr(b) != "/"]
    wanted += [b"CON", b"aux.txt", b"trail.", b"trail ", b"a:b", b"q?*", b'<"|>', b"back\\slash", b"..."]
    created = {n: create(link, names_dir, n) for n in wanted}
    c.equal({n: s for n, s in created.items() if s != OK}, {}, "every name byte 32-255 but / can be created")
    listed = set(list_all(link, names_dir) or [])
    c.equal(sorted(set(wanted) - listed), [], "READDIR gives back every created name")
    found = [n for n in wanted if link.nfs_status(LOOKUP, fh(names_dir) + w.opaque(n)) != OK]
    c.equal(found, [], "LOOKUP finds every created name")
    before = sorted(os.listdir(os.path.dirname(tree.share)))
    refused = [b"a/b", b"a\0b", b"a\x01b", b"a\x1fb", b".", b"..", b"", b"../outside/new"]
    c.equal([n for n in refused if create(link, names_dir, n) == OK], [],
            "names with /, NUL, control bytes, . and .. are refused")
    c.equal(sorted(os.listdir(os.path.dirname(tree.share))), before, "nothing changed beside the export")
    c.equal(sorted(os.listdir(tree.outside)), ["secret"], "nothing was made outside the export")


def forged(handle, mount_id):
    """The same file under another mount identifier, with its check word."""
    words = list(struct.unpack("<%dI" % (len(handle) // 4), handle))
    words[1] = mount_id
    words[4] = (mount_id + words[2]) & 0xFFFFFFFF
    return struct.pack("<%dI" % len(words), *words)


def check_escapes(c, tree, link, share):
    sibling_file = lookup(link, link.mount(nfs(tree.sibling)), "file")
    share_id = struct.unpack("<I", share[4:8])[0]
    c.equal(link.nfs_status(GETATTR, fh(forged(sibling_file, share_id))), STALE,
            "a file of the sibling folder under the share's mount is stale")
    c.equal(read(link, forged(sibling_file, share_id), 0, 100)[0], STALE, "nor can it be read")
    escape = lookup(link, share, "escape")
    status, data, _ = read(link, escape, 0, 100)
    c.true(status != OK and not data, "READ of a link out of the export: %s" % status)
    c.equal(write(link, escape, 0, b"overwritten", FILE_SYNC)[0], INVAL, "WRITE of a link out of the export")
    truncate = fh(escape) + w.words(0, 0, 0, 1) + struct.pack(">Q", 0) + w.words(0, 0, 0)
    c.true(link.nfs_status(SETATTR, truncate) != OK, "SETATTR size 0 of a link out of the export is refused")
    # CREATE UNCHECKED of the link's name with size 0 would truncate what it names.
    unchecked = fh(share) + w.opaque(b"escape") + w.words(0) + w.words(0, 0, 0, 1) + struct.pack(">Q", 0) + w.words(0, 0)
    c.true(link.nfs_status(CREATE, unchecked) != OK, "CREATE UNCHECKED with size 0 over a link out of the export")
    with open(tree.secret, "rb") as f:
        c.equal(f.read(), b"outside the export\n", "the file outside the export is unchanged")


def check_random_input(c, link, share):
    rng = random.Random(2049)
    valid = w.call(1, GETATTR, fh(share), prog=100003, vers=3)
    udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        for i in range(10000):
            if i % 2:
                data = bytearray(valid)
                for _ in range(rng.randint(1, 6)):
                    data[rng.randrange(len(data))] = rng.randrange(256)
                data = bytes(data[:rng.randint(1, len(data))])
            else:
                data = rng.randbytes(rng.randint(0, 600))
            udp.sendto(data, ("127.0.0.1", NFS_PORT))
    finally:
        udp.close()
    for n in range(50):
        with contextlib.suppress(OSError):
            with socket.create_connection(("127.0.0.1", NFS_PORT), timeout=2) as t:
                for _ in range(20):
                    body = rng.randbytes(rng.randint(0, 300)) if rng.random() < 0.5 else valid[:rng.randint(0, len(valid))]
                    t.sendall(struct.pack(">I", w.LAST_FRAGMENT | len(body)) + body)
    c.equal(link.nfs_status(GETATTR, fh(share)), OK, "the server answers after random datagrams and records")


def main(args):
    quen = args[0]
    c = nstest.Checks()
    work = tempfile.mkdtemp(prefix="quen-nfs-edges-")
    try:
        tree = Tree(work)
        registry = os.path.join(work, "registry.reg")
        settings = {"DirLimit": str(DIR_LIMIT), "ReadDirPlus": "0", "SoftLinks": "0", "HardLinks": "0"}
        with server(quen, tree, registry, **settings):
            for udp in (True, False):
                link = Link(udp)
                try:
                    share = link.mount(nfs(tree.share))
                    check_settings(c, link, share, "udp" if udp else "tcp")
                    if udp:
                        check_names(c, tree, link, share)
                        check_escapes(c, tree, link, share)
                    else:
                        check_random_input(c, link, share)
                finally:
                    link.close()
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return c.result()


if __name__ == "__main__":
    with contextlib.suppress(KeyboardInterrupt):
        nstest.run("nfs-edges", main)
