"""What an export admits, by raw calls as a hostile client sends them: a
junction's handle changes nothing outside the export in either version; a
client's own symbolic link on a -rp export never becomes a junction, nor a
way out once moved; a squashed caller keeps no group 0; an owner gives a file
only to a group it is in. After each check nothing outside the export has
changed on disk."""
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
from test_mount import Xdr, accepted_body, nfs, server, windows  # noqa: E402
from test_nfs import (CREATE, GETATTR, LINK, LOOKUP, MKDIR, MKNOD, NFS_PORT, NO_ATTRIBUTES, OK, REMOVE,  # noqa: E402
                      RENAME, RMDIR, SETATTR, SYMLINK, WRITE, XIDS, FILE_SYNC, Link, fh)
import test_nfs2 as v2  # noqa: E402

ACCES, PERM, NOTDIR = 13, 1, 20
NF3DIR, NF3CHR, NF3LNK = 2, 4, 5
ANONYMOUS = 65534
CRTIME = "user.tervalo.crtime"   # where the POSIX volume keeps a file's creation time


class Tree:
    def __init__(self, work):
        self.work = work
        self.data = os.path.join(work, "data")
        self.share = os.path.join(work, "share")      # -public, -rp, root stays root
        self.squash = os.path.join(work, "squash")    # saved attributes, -rp, root squashed
        self.outside = os.path.join(work, "outside")
        for d in (self.data, os.path.join(self.share, "a", "b"), os.path.join(self.share, "a", "c"),
                  os.path.join(self.share, "t"), self.squash,
                  os.path.join(self.outside, "vdir")):
            os.makedirs(d, exist_ok=True)
        for path, text in ((os.path.join(self.outside, "victim"), b"outside the export\n"),
                           (os.path.join(self.share, "inside"), b"inside\n"),
                           (os.path.join(self.share, "t", "f"), b"a file the link leads to\n")):
            with open(path, "wb") as f:
                f.write(text)
        # The volume keeps a junction as a Linux link whose text ends in "/.".
        os.symlink(self.outside + "/.", os.path.join(self.share, "junction"))
        with open(os.path.join(self.data, "exports"), "w") as f:
            f.write("%s -alldirs -public -rp -maproot:0\n%s -sa -rp\n" % (windows(self.share), windows(self.squash)))

    def beside(self):
        """Everything outside the two exports: each path with its link text, "dir" or content."""
        seen = {}

        def note(path):
            if os.path.islink(path):
                seen[path] = os.readlink(path)
            elif os.path.isdir(path):
                seen[path] = "dir"
            else:
                with open(path, "rb") as f:
                    seen[path] = f.read()
        for name in os.listdir(self.work):
            if os.path.join(self.work, name) not in (self.data, self.share, self.squash):
                note(os.path.join(self.work, name))
        for root, dirs, files in os.walk(self.outside):
            for name in dirs + files:
                note(os.path.join(root, name))
        return seen


def call(link, proc, args, uid=0, gid=0, gids=(), version=3):
    """The status of one NFS call with any AUTH_UNIX identity, and the rest of its results."""
    xid = next(XIDS)
    cred = w.auth(w.AUTH_UNIX, w.auth_unix_body(name=b"confined", uid=uid, gid=gid, gids=gids, stamp=0x434E4631))
    reply = link.links[NFS_PORT].exchange(w.call(xid, proc, args, prog=100003, vers=version, cred=cred), timeout=3.0)
    status, body = accepted_body(reply, xid)
    if status != w.SUCCESS:
        return ("accept", status), None
    x = Xdr(body)
    return x.u32(), x


def name3(directory, name):
    return fh(directory) + w.opaque(name)


def lookup3(link, directory, name):
    """(handle, type) of a name, or (None, status)."""
    status, x = call(link, LOOKUP, name3(directory, name))
    if status != OK:
        return None, status
    handle = x.fixed(x.u32())
    x.u32()
    return handle, struct.unpack(">I", x.fixed(4))[0]


def saved_ids(path):
    """(mode, uid, gid) the creation time of a saved-attribute file holds."""
    value = struct.unpack("<Q", os.getxattr(path, CRTIME, follow_symlinks=False))[0]
    return value >> 32, value & 0xFFFF, (value >> 16) & 0xFFFF


def check_junction(c, tree, link, share, share2):
    """Every procedure that changes a directory, both directories of RENAME
    and LINK, through the handle of a junction that leads out."""
    junction, kind = lookup3(link, share, b"junction")
    c.equal(kind, NF3DIR, "LOOKUP of the junction's name gives a directory")
    inside, _ = lookup3(link, share, b"inside")
    junction2 = v2.diropres(link, v2.LOOKUP, v2.dirop(share2, "junction"))[1]
    inside2 = v2.diropres(link, v2.LOOKUP, v2.dirop(share2, "inside"))[1]
    sattr2 = v2.sattr(0o644)
    cases = [
        (3, CREATE, name3(junction, b"new") + w.words(0) + NO_ATTRIBUTES),
        (3, MKDIR, name3(junction, b"newdir") + NO_ATTRIBUTES),
        (3, SYMLINK, name3(junction, b"newlink") + NO_ATTRIBUTES + w.opaque(b"victim")),
        (3, MKNOD, name3(junction, b"newnode") + w.words(NF3CHR) + NO_ATTRIBUTES + w.words(4, 64)),
        (3, REMOVE, name3(junction, b"victim")),
        (3, RMDIR, name3(junction, b"vdir")),
        (3, RENAME, name3(junction, b"victim") + name3(share, b"stolen")),
        (3, RENAME, name3(share, b"inside") + name3(junction, b"planted")),
        (3, LINK, fh(inside) + name3(junction, b"planted")),
        (2, v2.CREATE, v2.dirop(junction2, "new") + sattr2),
        (2, v2.MKDIR, v2.dirop(junction2, "newdir") + sattr2),
        (2, v2.SYMLINK, v2.dirop(junction2, "newlink") + w.opaque(b"victim") + sattr2),
        (2, v2.REMOVE, v2.dirop(junction2, "victim")),
        (2, v2.RMDIR, v2.dirop(junction2, "vdir")),
        (2, v2.RENAME, v2.dirop(junction2, "victim") + v2.dirop(share2, "stolen")),
        (2, v2.RENAME, v2.dirop(share2, "inside") + v2.dirop(junction2, "planted")),
        (2, v2.LINK, inside2 + v2.dirop(junction2, "planted")),
    ]
    # The public handle names a folder by its path: none below the junction.
    cases += [(3, LOOKUP, w.opaque(b"") + w.opaque(path)) for path in (b"junction", b"junction/vdir")]
    before = tree.beside()
    got = [(version, proc, call(link, proc, args, version=version)[0]) for version, proc, args in cases]
    c.equal([g for g in got if g[2] != ACCES], [], "every change through the junction's handle is refused")
    c.equal(tree.beside(), before, "nothing outside the export changed through the junction")
    c.equal(sorted(os.listdir(tree.share)), ["a", "inside", "junction", "t"], "nothing came into the export")


def check_links(c, tree, link, share, share2, squash):
    """A client's links on a -rp export: never read back as a junction, not
    moved to where they lead out, never passed through, and an error leaves
    none behind."""
    a = lookup3(link, share, b"a")[0]
    b, beside_b = lookup3(link, a, b"b")[0], lookup3(link, a, b"c")[0]
    # Inside when made (share/outside), outside once one level up (work/outside).
    for name, text in ((b"l", b"../../outside/."), (b"dl", b"../../t")):
        status, _ = call(link, SYMLINK, name3(b, name) + NO_ATTRIBUTES + w.opaque(text))
        c.equal(status, OK, "SYMLINK %s -> %s" % (name, text))
        c.equal(lookup3(link, b, name)[1], NF3LNK, "%s reads back as a link, not a junction" % name)
    before = tree.beside()
    c.equal(call(link, RENAME, name3(b, b"l") + name3(a, b"l"))[0], ACCES,
            "a link is not moved to where it leads out")
    c.equal(call(link, RENAME, name3(b, b"l") + name3(beside_b, b"l"))[0], OK,
            "a link is moved where it still leads inside")
    c.equal(call(link, LINK, fh(lookup3(link, beside_b, b"l")[0]) + name3(a, b"l"))[0], ACCES,
            "nor is it linked to where it leads out")
    # Version 2 does not look at the directory a LOOKUP names: a link is none,
    # and a handle below it would lead out once its folder moved up.
    handle = share2
    for name in ("a", "b", "dl"):
        handle = v2.diropres(link, v2.LOOKUP, v2.dirop(handle, name))[1]
    c.equal(call(link, v2.LOOKUP, v2.dirop(handle, "f"), version=2)[0], NOTDIR, "version 2 LOOKUP through a link")
    c.equal(tree.beside(), before, "nothing outside the export changed through the links")
    # Saved attributes go into the link's creation time, which a volume may refuse.
    status, _ = call(link, SYMLINK, name3(squash, b"sl") + NO_ATTRIBUTES + w.opaque(b"rootfile"), 1000, 1000)
    c.equal(os.path.lexists(os.path.join(tree.squash, "sl")), status == OK,
            "a SYMLINK leaves a link exactly when it answers OK (%s)" % status)


def check_squash(c, tree, link, squash):
    """Group 0, primary or extra, of a caller that is not root maps to the anonymous group."""
    path = os.path.join(tree.squash, "rootfile")
    with open(path, "wb") as f:
        f.write(b"root's\n")
    os.setxattr(path, CRTIME, struct.pack("<Q", 0o100660 << 32))   # root:root 0660
    handle = lookup3(link, squash, b"rootfile")[0]
    callers = [(1000, 0, ()), (1000, 1000, (0,)), (1000, 1000, (5, 0, 7))]
    written = [call(link, WRITE, fh(handle) + struct.pack(">QII", 0, 4, FILE_SYNC) + w.opaque(b"mine"),
                    uid, gid, gids)[0] for uid, gid, gids in callers]
    c.equal(written, [ACCES] * len(callers), "callers with group 0 cannot write a root:root 0660 file")
    with open(path, "rb") as f:
        c.equal(f.read(), b"root's\n", "the root:root file is unchanged")
    made = [call(link, CREATE, name3(squash, b"made%d" % i) + w.words(0) + NO_ATTRIBUTES, uid, gid, gids)[0]
            for i, (uid, gid, gids) in enumerate(callers)]
    c.equal(made, [OK] * len(callers), "the callers create files")
    c.equal([saved_ids(os.path.join(tree.squash, "made%d" % i))[2] for i in range(len(callers))],
            [gid if gid else ANONYMOUS for _, gid, _ in callers], "a new file's group is the mapped one")


def check_group_change(c, tree, link, squash):
    """SETATTR of the group by an owner who is not root: only to a group it is in."""
    status, _ = call(link, CREATE, name3(squash, b"owned") + w.words(0) + NO_ATTRIBUTES, 1000, 1000)
    handle = lookup3(link, squash, b"owned")[0]
    cases = [   # (new gid, the owner's extra groups, status, gid on disk afterwards)
        (0, (), PERM, 1000), (3000, (2000,), PERM, 1000), (2000, (2000,), OK, 2000), (1000, (), OK, 1000),
    ]
    for gid, gids, wanted, stored in cases:
        got = call(link, SETATTR, fh(handle) + w.words(0, 0, 1, gid, 0, 0, 0) + w.words(0), 1000, 1000, gids)[0]
        c.equal((got, saved_ids(os.path.join(tree.squash, "owned"))[2]), (wanted, stored),
                "owner 1000 in %s gives the file group %d" % ((1000,) + gids, gid))


def main(args):
    quen = args[0]
    c = nstest.Checks()
    work = tempfile.mkdtemp(prefix="quen-confinement-")
    try:
        tree = Tree(work)
        registry = os.path.join(tree.data, "registry.reg")
        with server(quen, tree, registry, WebNFS="1"):
            link = Link(True)
            try:
                share = link.mount(nfs(tree.share))
                share2 = v2.mount1(link, nfs(tree.share))
                squash = link.mount(nfs(tree.squash))
                start = tree.beside()
                check_junction(c, tree, link, share, share2)
                check_links(c, tree, link, share, share2, squash)
                check_squash(c, tree, link, squash)
                check_group_change(c, tree, link, squash)
                c.equal(tree.beside(), start, "nothing outside the exports changed")
            finally:
                link.close()
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return c.result()


if __name__ == "__main__":
    with contextlib.suppress(KeyboardInterrupt):
        nstest.run("confinement", main)
