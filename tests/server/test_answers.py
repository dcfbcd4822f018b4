"""Answers clients act on, over UDP and TCP with raw calls: an exclusive
CREATE sent again, names at the volume's length limit in versions 2 and 3,
a directory renamed into itself, listings asked with a count too small for
one entry, reads at or past the end of a file, and the removal of a tree
whose listing a client left unfinished."""
import contextlib
import os
import shutil
import struct
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "protocol"))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import nstest  # noqa: E402
import rpcwire as w  # noqa: E402
from test_mount import nfs, server, windows  # noqa: E402
from test_nfs import NO_ATTRIBUTES, OK, Link, fh, lookup, read, skip_post_attr  # noqa: E402

NOENT, EXIST, INVAL, NAMETOOLONG, TOOSMALL = 2, 17, 22, 63, 10005
READDIR = 16
NAME_MAX = 255
V2_UNSET_SATTR = w.words(*[0xFFFFFFFF] * 8)

# The procedures and argument shapes of each version: handles are opaque in
# version 3 and 32 fixed bytes in version 2.
VERSIONS = {
    3: {"fh": fh, "sattr": NO_ATTRIBUTES, "create": lambda: w.words(0) + NO_ATTRIBUTES,
        "LOOKUP": 3, "CREATE": 8, "MKDIR": 9, "SYMLINK": 10, "REMOVE": 12, "RMDIR": 13, "RENAME": 14, "LINK": 15},
    2: {"fh": lambda h: h, "sattr": V2_UNSET_SATTR, "create": lambda: V2_UNSET_SATTR,
        "LOOKUP": 4, "CREATE": 9, "REMOVE": 10, "RENAME": 11, "LINK": 12, "SYMLINK": 13, "MKDIR": 14},
}


class Tree:
    def __init__(self, work):
        self.data = os.path.join(work, "data")
        self.share = os.path.join(work, "share")   # case-blind names
        self.cs = os.path.join(work, "cs")         # case-sensitive names
        for d in (self.data, self.share, self.cs):
            os.makedirs(d, exist_ok=True)
        with open(os.path.join(self.share, "data.bin"), "wb") as f:
            f.write(b"0123456789")
        with open(os.path.join(self.data, "exports"), "w") as f:
            f.write("%s -alldirs -maproot:0\n%s -alldirs -cs -maproot:0\n" % (windows(self.share), windows(self.cs)))


class Names:
    """Directory operations of one version over one link; results are NFS statuses."""

    def __init__(self, link, version):
        self.link, self.version, self.v = link, version, VERSIONS[version]

    def status(self, proc, args):
        accept, x = self.link.call(self.v[proc], args, version=self.version)
        return x.u32() if accept == w.SUCCESS else ("accept", accept)

    def dirop(self, directory, name):
        return self.v["fh"](directory) + w.opaque(name)

    def handle(self, proc, args):
        """The new object's handle of LOOKUP, CREATE or MKDIR, or None."""
        accept, x = self.link.call(self.v[proc], args, version=self.version)
        if accept != w.SUCCESS or x.u32() != OK:
            return None
        if self.version == 2:
            return x.fixed(32)
        if proc != "LOOKUP" and not x.u32():
            return None
        return x.fixed(x.u32())

    def mkdir(self, directory, name):
        return self.handle("MKDIR", self.dirop(directory, name) + self.v["sattr"])

    def create(self, directory, name):
        return self.handle("CREATE", self.dirop(directory, name) + self.v["create"]())

    def root(self, path):
        if self.version == 3:
            return self.link.mount(path)
        _, x = self.link.call(1, w.opaque(path.encode()), prog=100005, version=1, port=1058)
        return x.fixed(32) if x.u32() == OK else None

    def name_table(self, directory, name):
        """Every operation on a missing name, and on a new one made from an existing file."""
        d = self.dirop(directory, name)
        f = self.dirop(directory, b"f")
        v = self.v
        return {
            "LOOKUP missing": self.status("LOOKUP", d),
            "REMOVE missing": self.status("REMOVE", d),
            "CREATE": self.status("CREATE", d + v["create"]()),
            "LOOKUP": self.status("LOOKUP", d),
            "REMOVE": self.status("REMOVE", d),
            "RENAME to": self.status("RENAME", f + d),
            "RENAME back": self.status("RENAME", d + f),
            "LINK": self.status("LINK", v["fh"](self.handle("LOOKUP", f) or bytes(32)) + d),
            "REMOVE link": self.status("REMOVE", d),
            "SYMLINK": self.status("SYMLINK", d + (v["sattr"] + w.opaque(b"f") if self.version == 3 else
                                                   w.opaque(b"f") + v["sattr"])),
            "REMOVE symlink": self.status("REMOVE", d),
            "MKDIR": self.status("MKDIR", d + v["sattr"]),
        }


def listed(link, directory):
    """The names of one READDIR page of a small directory (version 3)."""
    _, x = link.call(READDIR, fh(directory) + bytes(16) + w.words(65536))
    if x.u32() != OK:
        return None
    skip_post_attr(x)
    x.fixed(8)
    names = []
    while x.u32():
        x.fixed(8)
        names.append(x.fixed(x.u32()))
        x.fixed(8)
    return names


def check_names(c, tree, link, kind):
    """Names up to the volume's limit work everywhere, longer ones are too long."""
    passing = {"LOOKUP missing": NOENT, "REMOVE missing": NOENT, "CREATE": OK, "LOOKUP": OK, "REMOVE": OK,
               "RENAME to": OK, "RENAME back": OK, "LINK": OK, "REMOVE link": OK, "SYMLINK": OK,
               "REMOVE symlink": OK, "MKDIR": OK}
    too_long = {k: NAMETOOLONG for k in passing}
    cjk = "\u4e2d" * (NAME_MAX // 3)   # 255 bytes of UTF-8, 85 UTF-16 units
    cases = [(b"N" * 253, passing), (b"N" * 254, passing), (b"N" * NAME_MAX, passing),
             (cjk.encode(), passing), (b"N" * (NAME_MAX + 1), too_long)]
    for version in (3, 2):
        n = Names(link, version)
        for share in (tree.share, tree.cs):
            where = "%s v%d %s" % (kind, version, os.path.basename(share))
            root = n.root(nfs(share))
            for i, (name, want) in enumerate(cases):
                d = n.mkdir(root, ("%s-v%d-%d" % (kind, version, i)).encode())
                made = d is not None and n.create(d, b"f") is not None
                c.equal(n.name_table(d, name) if made else None, want,
                        "%s: a name of %d bytes, %d UTF-16 units" % (where, len(name), len(name.decode())))
                if version == 3 and made:
                    c.equal(name in (listed(link, d) or []), want["MKDIR"] == OK,
                            "%s: a folder named with %d bytes is listed when made" % (where, len(name)))
            # A directory moved into its own subtree.
            a = n.mkdir(root, ("%s-v%d-a" % (kind, version)).encode())
            b = n.mkdir(a, b"b") if a else None
            c.equal(n.status("RENAME", n.dirop(root, ("%s-v%d-a" % (kind, version)).encode()) + n.dirop(b, b"c"))
                    if b else None, INVAL, "%s: RENAME of a directory into its own subtree" % where)


def check_pathconf(c, link, share, kind):
    _, x = link.call(20, fh(share))
    status = x.u32()
    if status == OK:
        skip_post_attr(x)
        x.u32()
    c.equal((status, x.u32() if status == OK else None), (OK, NAME_MAX), "%s: PATHCONF name_max" % kind)


def exclusive(link, directory, name, verifier):
    """(status, handle) of an EXCLUSIVE CREATE."""
    _, x = link.call(8, fh(directory) + w.opaque(name) + w.words(2) + verifier)
    status = x.u32()
    return status, (x.fixed(x.u32()) if status == OK and x.u32() else None)


# Verifiers whose last-write time falls before 1901, in the 2020s, after 2446
# (as any client's random bytes do), past year 30000 and with the top bit set.
VERIFIERS = [b"\x01" + bytes(7), struct.pack("<Q", 132223104000000000), bytes.fromhex("8a135c77029e416d"),
             bytes.fromhex("0102030405060770"), bytes.fromhex("f0e1d2c3b4a59687"), bytes(8)]


def check_exclusive(c, link, share, kind):
    for i, verifier in enumerate(VERIFIERS):
        name = ("excl-%s-%d" % (kind, i)).encode()
        first = exclusive(link, share, name, verifier)
        again = exclusive(link, share, name, verifier)
        other = exclusive(link, share, name, bytes(b ^ 0x5A for b in verifier))[0]
        c.equal((first[0], again[0], again[1] == first[1], other), (OK, OK, True, EXIST),
                "%s: EXCLUSIVE CREATE, again with verifier %s, then another" % (kind, verifier.hex()))


def check_small_listings(c, link, share, kind):
    start = fh(share) + bytes(16)   # cookie 0, verifier 0
    cases = {"READDIR count 16": (16, start + w.words(16), TOOSMALL),
             "READDIRPLUS dircount 16 maxcount 64": (17, start + w.words(16, 64), TOOSMALL),
             "READDIRPLUS dircount 4096 maxcount 64": (17, start + w.words(4096, 64), TOOSMALL),
             "READDIRPLUS dircount 16 maxcount 8192": (17, start + w.words(16, 8192), TOOSMALL),
             "READDIR count 4096": (16, start + w.words(4096), OK),
             "READDIRPLUS dircount 4096 maxcount 8192": (17, start + w.words(4096, 8192), OK)}
    c.equal({what: link.nfs_status(proc, args) for what, (proc, args, _) in cases.items()},
            {what: want for what, (_, _, want) in cases.items()},
            "%s: listings with counts too small for one entry" % kind)


def check_reads(c, tree, link, share, kind):
    data = lookup(link, share, "data.bin")
    offsets = [10, 11, 4096, (1 << 32) - 1, 1 << 62, (1 << 63) - 1, 1 << 63]
    c.equal({o: read(link, data, o, 100) for o in offsets}, {o: (OK, b"", 1) for o in offsets},
            "%s: READ at and past the end" % kind)
    v2 = Names(link, 2)
    data2 = v2.handle("LOOKUP", v2.dirop(v2.root(nfs(tree.share)), b"data.bin")) or bytes(32)
    got = {}
    for o in (10, 4096, (1 << 32) - 1):
        _, x = link.call(6, data2 + w.words(o, 100, 0), version=2)
        status = x.u32()
        if status == OK:
            x.fixed(68)
        got[o] = (status, x.fixed(x.u32()) if status == OK else None)
    c.equal(got, {o: (OK, b"") for o in got}, "%s: version 2 READ past the end" % kind)


def check_tree_removal(c, link, share, kind):
    """rm -rf after a listing the client did not finish: the search the server
    keeps open for it must not keep the removed directory pending deletion,
    which would keep its parent from going."""
    n = Names(link, 3)
    top = n.mkdir(share, ("tree-%s" % kind).encode())
    d = n.mkdir(top, b"d") if top else None
    files = [("f%d" % i).encode() for i in range(8)]
    made = d is not None and all(n.create(d, f) for f in files)
    page = link.nfs_status(READDIR, fh(d) + bytes(16) + w.words(200)) if made else None
    removed = [n.status("REMOVE", n.dirop(d, f)) for f in files] if made else None
    steps = (page, removed, n.status("RMDIR", n.dirop(top, b"d")) if made else None,
             n.status("RMDIR", n.dirop(share, ("tree-%s" % kind).encode())) if made else None,
             n.status("LOOKUP", n.dirop(share, ("tree-%s" % kind).encode())) if made else None)
    c.equal(steps, (OK, [OK] * len(files), OK, OK, NOENT),
            "%s: a part listing, the files removed, the folder, then its parent" % kind)


def main(args):
    quen = args[0]
    c = nstest.Checks()
    work = tempfile.mkdtemp(prefix="quen-answers-")
    try:
        tree = Tree(work)
        with server(quen, tree, os.path.join(work, "registry.reg")):
            for udp in (True, False):
                kind = "udp" if udp else "tcp"
                link = Link(udp)
                try:
                    share = link.mount(nfs(tree.share))
                    check_exclusive(c, link, share, kind)
                    check_exclusive(c, link, link.mount(nfs(tree.cs)), kind + " cs")
                    check_small_listings(c, link, share, kind)
                    check_reads(c, tree, link, share, kind)
                    check_tree_removal(c, link, share, kind)
                    check_pathconf(c, link, share, kind)
                    check_names(c, tree, link, kind)
                finally:
                    link.close()
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return c.result()


if __name__ == "__main__":
    with contextlib.suppress(KeyboardInterrupt):
        nstest.run("answers", main)
