"""MOUNT versions 1 to 3 of the server program over UDP and TCP, driven by
real clients: libnfs raw calls (mount_client), showmount, and tshark reading
the capture of the whole run. MOUNT version 2 has no packaged client, so it
is spoken byte by byte from rpcwire.

Covered: showmount -e/-a lines, MNT statuses and handle layout for every
version and transport, DUMP, UMNT, UMNTALL, EXPORT groups, hidden exports,
FilterExports, FHsize 32, the mount table across a restart and its loss with
InodeReset, and over-long or undecodable paths.

usage: test_mount.py QUEN MOUNT_CLIENT
"""
import contextlib
import itertools
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "protocol"))
sys.path.insert(0, HERE)
import nstest  # noqa: E402
import rpcwire as w  # noqa: E402
from test_startup import Server, registrations, write_registry  # noqa: E402

MOUNT_PROGRAM = 100005
MOUNT_PORT = 1058
MNT, DUMP, UMNT, UMNTALL, EXPORT = 1, 2, 3, 4, 5
OK, ACCES, NOTDIR = 0, 13, 20
LOOPBACK = "127.0.0.1"
SECOND_CLIENT = "127.0.0.2"   # another client on lo, reached by binding the UDP socket to it
MARKER_PORT = 9               # a datagram here separates valid traffic from hostile input
# tshark pairs replies with calls by xid, so no xid of the wire client repeats.
XIDS = itertools.count(0x4D000000 | (os.getpid() & 0xFFFF) << 8)
CRED = w.auth(w.AUTH_UNIX, w.auth_unix_body(name=b"mounttest", uid=0, gid=0, stamp=0x4D4E5431))


# ---- the folders and the exports file ----------------------------------------

class Tree:
    """Folders the test exports, named after their role."""

    def __init__(self, work):
        self.work = work
        self.data = os.path.join(work, "data")
        self.share = os.path.join(work, "share")        # -alldirs
        self.solo = os.path.join(work, "solo")          # no alldirs
        self.local = os.path.join(work, "local")        # -ro, only 127.0.0.1
        self.guest = os.path.join(work, "guest")        # only the second client
        self.named = os.path.join(work, "named")        # -name:
        self.hidden = os.path.join(work, "hidden")      # -hide, only 127.0.0.1
        self.unexported = os.path.join(work, "unexported")
        for d in (self.data, self.share, self.solo, self.local, self.guest, self.named, self.hidden,
                  self.unexported, os.path.join(self.share, "sub", "deep"), os.path.join(self.solo, "inner")):
            os.makedirs(d, exist_ok=True)
        with open(os.path.join(self.share, "file.txt"), "w") as f:
            f.write("not a folder\n")
        self.alias = "/" + os.path.basename(work) + "-alias"

    def write_exports(self):
        lines = [
            "# exports of the MOUNT test",
            "%s -alldirs" % windows(self.share),
            windows(self.solo),
            "%s -ro %s" % (windows(self.local), LOOPBACK),
            "%s %s" % (windows(self.guest), SECOND_CLIENT),
            "%s -name:%s" % (windows(self.named), self.alias[1:]),
            "%s -hide %s" % (windows(self.hidden), LOOPBACK),
        ]
        with open(os.path.join(self.data, "exports"), "w") as f:
            f.write("\n".join(lines) + "\n")

    def export_list(self):
        """(directory, groups) of each export as the server should list them, in file order."""
        return [
            (nfs(self.share), ["-alldirs"]),
            (nfs(self.solo), []),
            (nfs(self.local), [LOOPBACK, "-readonly"]),
            (nfs(self.guest), [SECOND_CLIENT]),
            (self.alias, []),
            (nfs(self.hidden), [LOOPBACK, "-hide"]),
        ]

    def mounttab(self):
        with contextlib.suppress(FileNotFoundError), open(os.path.join(self.data, "mounttab")) as f:
            return f.read().splitlines()
        return None


def windows(path):
    """A Linux folder as the POSIX backend names it: drive Z: is /."""
    return "Z:" + path.replace("/", "\\")


def nfs(path):
    """The client form of a Linux folder."""
    return "/z" + path


# ---- clients ---------------------------------------------------------------------

class Reply:
    """What one MOUNT call returned: an RPC failure, or the decoded result."""

    def __init__(self, failed=None, status=None, handle=None, flavors=None, mounts=None, exports=None):
        self.failed = failed
        self.status = status
        self.handle = handle
        self.flavors = flavors
        self.mounts = mounts
        self.exports = exports

    def __repr__(self):
        return "Reply(failed=%r, status=%r, handle=%s)" % (self.failed, self.status,
                                                          self.handle.hex() if self.handle else None)


def libnfs(client, version, proc, path=None, udp=False, bind=None):
    """One procedure through mount_client (libnfs raw calls)."""
    cmd = [client, "-p", str(MOUNT_PORT)] + (["-u"] if udp else []) + (["-b", bind] if bind else [])
    cmd += [LOOPBACK, str(version), proc] + ([path] if path is not None else [])
    r = subprocess.run(cmd, capture_output=True, text=True, timeout=20)
    if r.returncode != 0:
        return Reply(failed="exit %d: %s" % (r.returncode, r.stderr.strip()))
    out = Reply(mounts=[], exports=[])
    for line in r.stdout.splitlines():
        fields = line.split("\t")
        if fields[0] == "status":
            out.status = int(fields[1])
        elif fields[0] == "handle":
            out.handle = bytes.fromhex(fields[1])
        elif fields[0] == "flavors":
            out.flavors = [int(f) for f in fields[1].split(",") if f]
        elif fields[0] == "mount":
            out.mounts.append((fields[1], fields[2]))
        elif fields[0] == "export":
            out.exports.append((fields[1], fields[2:]))
    return out


class Xdr:
    def __init__(self, data):
        self.data, self.at = data, 0

    def u32(self):
        if self.at + 4 > len(self.data):
            raise ValueError("reply cut short at %d" % self.at)
        v = struct.unpack(">I", self.data[self.at:self.at + 4])[0]
        self.at += 4
        return v

    def fixed(self, n):
        if self.at + n > len(self.data):
            raise ValueError("reply cut short at %d" % self.at)
        v = self.data[self.at:self.at + n]
        self.at += (n + 3) // 4 * 4
        return v

    def string(self):
        return self.fixed(self.u32()).decode()

    def done(self):
        return self.at == len(self.data)


def accepted_body(reply, xid):
    """(accept status, body) of an accepted reply to xid, else raises."""
    if reply is None:
        raise ValueError("no reply")
    reason = w.reply_is_well_formed(reply)
    if reason:
        raise ValueError(reason)
    x = Xdr(reply)
    if x.u32() != xid or x.u32() != w.REPLY or x.u32() != w.MSG_ACCEPTED:
        raise ValueError("not an accepted reply to %#x" % xid)
    x.u32()
    x.fixed(x.u32())
    return x.u32(), reply[x.at:]


class Wire:
    """MOUNT calls written byte by byte, over one UDP socket or TCP connection."""

    def __init__(self, udp):
        self.udp = udp
        self.link = w.Udp(port=MOUNT_PORT) if udp else w.Tcp(port=MOUNT_PORT)

    def close(self):
        self.link.close()

    def exchange(self, proc, args=b"", version=2):
        xid = next(XIDS)
        return xid, self.link.exchange(w.call(xid, proc, args, prog=MOUNT_PROGRAM, vers=version, cred=CRED),
                                       timeout=3.0)

    def call(self, version, proc, path=None):
        """A Reply like libnfs(); versions 1 and 2 share their result encodings."""
        args = w.opaque(path.encode()) if path is not None else b""
        xid, reply = self.exchange(proc, args, version)
        try:
            status, body = accepted_body(reply, xid)
            if status != w.SUCCESS:
                return Reply(failed="accept status %d" % status)
            x = Xdr(body)
            out = Reply(mounts=[], exports=[])
            if proc == MNT:
                out.status = x.u32()
                if out.status == OK:
                    out.handle = x.fixed(32) if version < 3 else x.fixed(x.u32())
                    if version == 3:
                        out.flavors = [x.u32() for _ in range(x.u32())]
            elif proc == DUMP:
                while x.u32():
                    out.mounts.append((x.string(), x.string()))
            elif proc == EXPORT:
                while x.u32():
                    directory, groups = x.string(), []
                    while x.u32():
                        groups.append(x.string())
                    out.exports.append((directory, groups))
            if not x.done():
                return Reply(failed="%d bytes after the result" % (len(body) - x.at))
            return out
        except ValueError as e:
            return Reply(failed=str(e))


class Clients:
    """MOUNT over every version and transport: libnfs for 1 and 3, the wire client for 2."""

    KINDS = [(1, True), (1, False), (2, True), (2, False), (3, True), (3, False)]

    def __init__(self, mount_client):
        self.mount_client = mount_client
        self.wires = {}

    def close(self):
        for link in self.wires.values():
            link.close()
        self.wires = {}

    def call(self, version, udp, proc, path=None):
        if version == 2:
            if udp not in self.wires:
                self.wires[udp] = Wire(udp)
            return self.wires[udp].call(version, proc, path)
        name = {MNT: "mnt", DUMP: "dump", UMNT: "umnt", UMNTALL: "umntall", EXPORT: "export"}[proc]
        return libnfs(self.mount_client, version, name, path, udp=udp)


def kind_name(version, udp):
    return "v%d/%s" % (version, "udp" if udp else "tcp")


# ---- the server ----------------------------------------------------------------

def mount_null_answers():
    udp = w.Udp(port=MOUNT_PORT)
    try:
        xid = next(XIDS)
        reply = udp.exchange(w.call(xid, 0, prog=MOUNT_PROGRAM, vers=3), timeout=0.2)
        return reply is not None and reply[:4] == w.words(xid)
    finally:
        udp.close()


@contextlib.contextmanager
def server(quen, tree, registry, **settings):
    """The server in console mode with its built-in portmapper, ready for MOUNT."""
    values = {"Directory": tree.data + "/", "InodePath": os.path.join(tree.data, "inodes.nfs")}
    values.update(settings)
    write_registry(registry, values)
    s = Server(quen, ["-debug", "-portmap"], registry)
    try:
        # The log on standard output is buffered, so readiness is read from
        # the wire: NULL answered and all six registrations made. The mount
        # table file is read right after the last registration.
        deadline = time.monotonic() + 15
        while time.monotonic() < deadline and s.alive():
            if mount_null_answers() and len([e for e in registrations() or [] if e[0] == str(MOUNT_PROGRAM)]) == 6:
                break
            time.sleep(0.1)
        else:
            raise RuntimeError("MOUNT did not start:\n" + s.output())
        time.sleep(0.2)
        yield s
    finally:
        s.close()


def stop(c, s, what):
    c.equal(s.stop(signal.SIGINT), 0, "exit code after SIGINT (%s)" % what)


# ---- checks ----------------------------------------------------------------------

def words(handle):
    return struct.unpack("<%dI" % (len(handle) // 4), handle)


def check_handle(c, handle, length, what):
    """Layout: mark 20, mount id, identity low/high, check = id + low, zero padding."""
    if not c.true(handle is not None and len(handle) == length,
                  "%s: handle of %d bytes, got %r" % (what, length, handle and handle.hex())):
        return
    v = words(handle)
    c.equal(v[0], 20, "%s: handle word 0" % what)
    c.equal(v[4], (v[1] + v[2]) & 0xFFFFFFFF, "%s: check word = mount id + identity low" % what)
    c.true(v[1] != 0, "%s: mount id is not 0" % what)
    c.true(v[2] != 0 and v[2] % 32 == 0, "%s: inode number %d is a live record offset" % (what, v[2]))
    c.equal(v[3], 0, "%s: identity high of an inode handle" % what)
    c.equal(handle[20:], bytes(length - 20), "%s: padding" % what)


def mnt_cases(tree):
    """(path sent, expected status, folder the handle names or None)."""
    return [
        (nfs(tree.share), OK, "share"),
        (nfs(tree.share) + "/", OK, "share"),               # a trailing slash names the same mount
        (nfs(tree.share) + "/sub", OK, "sub"),              # -alldirs
        (nfs(tree.share) + "/sub/deep", OK, "deep"),
        (nfs(tree.solo), OK, "solo"),
        (nfs(tree.solo) + "/inner", ACCES, None),          # below an export without -alldirs
        (nfs(tree.unexported), ACCES, None),
        (nfs(tree.work), ACCES, None),                     # above every export
        ("/Z" + tree.share, ACCES, None),                  # matching is case-sensitive
        ("", ACCES, None),
        (nfs(tree.share) + "/file.txt", NOTDIR, None),
        (nfs(tree.share) + "/missing", NOTDIR, None),
        (tree.alias, OK, "named"),
        (tree.alias + "/x", ACCES, None),                  # an alias without -alldirs has nothing below it
        (nfs(tree.local), OK, "local"),
    ]


def check_mnt_matrix(c, clients, tree):
    """Every case over every version and transport; returns {folder: 32-byte handle}."""
    handles = {}
    for version, udp in Clients.KINDS:
        kind = kind_name(version, udp)
        for path, status, folder in mnt_cases(tree):
            r = clients.call(version, udp, MNT, path)
            what = "MNT %s %r" % (kind, path)
            if not c.true(r.failed is None, "%s answered: %s" % (what, r.failed)):
                continue
            c.equal(r.status, status, "%s status" % what)
            if status != OK:
                c.equal(r.handle, None, "%s carries no handle" % what)
                continue
            check_handle(c, r.handle, 20 if version == 3 else 32, what)
            if version == 3:
                c.equal(r.flavors, [w.AUTH_UNIX], "%s flavour list" % what)
            if r.handle is None:
                continue
            full = r.handle + bytes(32 - len(r.handle))
            # One client and one folder make one mount entry, whatever the
            # version or transport, so every handle of a folder is the same.
            c.equal(full, handles.setdefault(folder, full), "%s: same handle as the first mount of %s" % (what, folder))
    ids = {f: words(h)[1] for f, h in handles.items()}
    c.equal(len(set(ids.values())), len(ids), "each mounted folder has its own mount id: %r" % ids)
    inodes = {f: words(h)[2] for f, h in handles.items()}
    c.equal(len(set(inodes.values())), len(inodes), "each mounted folder has its own inode number: %r" % inodes)
    return handles


def check_escape(c, clients, tree):
    """A path leaving an -alldirs export through '..' matches no export: access
    denied, and no handle."""
    for path in (nfs(tree.share) + "/../unexported", nfs(tree.share) + "/sub/../../data"):
        for version, udp in ((3, False), (1, True)):
            r = clients.call(version, udp, MNT, path)
            c.equal((r.failed, r.status, r.handle), (None, ACCES, None),
                    "MNT %s %r is refused" % (kind_name(version, udp), path))


def host_name(address):
    """What DUMP shows for a client: its name once the server's reverse lookup
    has found one (the same resolver answers here), else the dotted address."""
    try:
        return socket.getnameinfo((address, 0), socket.NI_NAMEREQD)[0]
    except OSError:
        return address


def expected_dump(tree, folders, client=LOOPBACK):
    directory = {"share": nfs(tree.share), "sub": nfs(tree.share) + "/sub", "deep": nfs(tree.share) + "/sub/deep",
                 "solo": nfs(tree.solo), "named": tree.alias, "local": nfs(tree.local), "guest": nfs(tree.guest)}
    return sorted((host_name(client), directory[f]) for f in folders)


def check_dump(c, clients, want, what, kinds=Clients.KINDS):
    # Host names are filled in by a lookup that runs after the MNT reply.
    deadline = time.monotonic() + 3
    while time.monotonic() < deadline and sorted(clients.call(3, False, DUMP).mounts or []) != sorted(want):
        time.sleep(0.1)
    for version, udp in kinds:
        r = clients.call(version, udp, DUMP)
        if c.true(r.failed is None, "DUMP %s %s answered: %s" % (kind_name(version, udp), what, r.failed)):
            c.equal(len(r.mounts), len(want), "DUMP %s %s: entry count (no duplicates)" % (kind_name(version, udp), what))
            c.equal(sorted(r.mounts), sorted(want), "DUMP %s %s" % (kind_name(version, udp), what))


def check_mounttab(c, tree, handles, entries, what):
    """The mount table file: address, origin, encoding, id, then path|folder."""
    origin = {"udp": "11", "tcp": "6"}
    lines = tree.mounttab()
    if not c.true(lines is not None, "mounttab exists (%s)" % what):
        return
    want = []
    for folder, transport, path, export, *client in entries:
        address = struct.unpack(">I", socket.inet_aton(client[0] if client else LOOPBACK))[0]
        text = windows(path) if path == export else windows(path) + "|" + windows(export)
        mount_id = "%x" % words(handles[folder])[1] if folder in handles else "(no handle of %s)" % folder
        want.append("%x %s 2 %s %s" % (address, origin[transport], mount_id, text))
    c.equal(sorted(lines), sorted(want), "mounttab lines (%s)" % what)


def check_showmount_e(c, exports, what):
    r = subprocess.run(["showmount", "-e", LOOPBACK], capture_output=True, text=True, timeout=20)
    width = max(len(d) for d, _ in exports)
    want = ["Export list for %s:" % LOOPBACK] + ["%s %s" % (d.ljust(width), ",".join(g) or "(everyone)")
                                                 for d, g in exports]
    c.equal(r.stdout.splitlines(), want, "showmount -e %s" % what)


def check_showmount_a(c, want, what):
    r = subprocess.run(["showmount", "-a", LOOPBACK], capture_output=True, text=True, timeout=20)
    c.equal(r.stdout.splitlines(), ["All mount points on %s:" % LOOPBACK] + sorted("%s:%s" % m for m in want),
            "showmount -a %s" % what)


def check_export(c, clients, want, what, bind=None):
    kinds = Clients.KINDS if bind is None else [(1, True), (3, True)]
    for version, udp in kinds:
        if bind is None:
            r = clients.call(version, udp, EXPORT)
        else:
            r = libnfs(clients.mount_client, version, "export", udp=True, bind=bind)
        label = "EXPORT %s from %s %s" % (kind_name(version, udp), bind or LOOPBACK, what)
        if c.true(r.failed is None, "%s answered: %s" % (label, r.failed)):
            c.equal(r.exports, want, label)


# ---- the runs ------------------------------------------------------------------

def first_run(c, quen, clients, tree, registry):
    """Returns the handles that the restart must give again."""
    with server(quen, tree, registry) as s:
        exports = tree.export_list()
        check_showmount_e(c, exports, "lists every export with its groups")
        check_export(c, clients, exports, "lists every export")
        # -hide shows an export only to clients it admits (127.0.0.1 always sees it).
        check_export(c, clients, exports[:5], "omits the hidden export", bind=SECOND_CLIENT)

        handles = check_mnt_matrix(c, clients, tree)
        check_escape(c, clients, tree)
        if not c.true(set(handles) == {"share", "sub", "deep", "solo", "named", "local"},
                      "every folder was mounted: %r" % sorted(handles)):
            return None
        mounted = ["share", "sub", "deep", "solo", "named", "local"]
        check_dump(c, clients, expected_dump(tree, mounted), "after the MNT cases")
        check_showmount_a(c, expected_dump(tree, mounted), "after the MNT cases")
        # The last MNT of each folder came over TCP (v3/tcp is the last kind).
        table = [("share", "tcp", tree.share, tree.share), ("sub", "tcp", tree.share + "/sub", tree.share),
                 ("deep", "tcp", tree.share + "/sub/deep", tree.share), ("solo", "tcp", tree.solo, tree.solo),
                 ("named", "tcp", tree.named, tree.named), ("local", "tcp", tree.local, tree.local)]
        check_mounttab(c, tree, handles, table, "after the MNT cases")

        # The second client: only what admits it, its own entries, its own UMNTALL.
        second = lambda version, proc, path=None: libnfs(clients.mount_client, version, proc, path, udp=True,
                                                         bind=SECOND_CLIENT)
        r = second(3, "mnt", nfs(tree.local))
        c.equal((r.failed, r.status), (None, ACCES), "MNT of a 127.0.0.1-only export from the second client")
        r = second(1, "mnt", nfs(tree.guest))
        if c.equal((r.failed, r.status), (None, OK), "MNT v1 of its own export from the second client"):
            check_handle(c, r.handle, 32, "MNT v1 from the second client")
            handles["guest"] = r.handle
        r = libnfs(clients.mount_client, 3, "mnt", nfs(tree.guest))
        c.equal((r.failed, r.status), (None, ACCES), "MNT of the second client's export from 127.0.0.1")
        guest = expected_dump(tree, ["guest"], SECOND_CLIENT)
        check_dump(c, clients, sorted(expected_dump(tree, mounted) + guest), "with the second client", [(3, False)])

        # UMNT removes one entry; a path not mounted changes nothing.
        for version, udp, path in ((3, False, nfs(tree.share) + "/sub/deep"), (2, True, tree.alias),
                                   (1, False, nfs(tree.unexported))):
            r = clients.call(version, udp, UMNT, path)
            c.true(r.failed is None, "UMNT %s %r answered: %s" % (kind_name(version, udp), path, r.failed))
        left = ["share", "sub", "solo", "local"]
        check_dump(c, clients, sorted(expected_dump(tree, left) + guest), "after UMNT", [(1, True), (2, False)])
        check_mounttab(c, tree, handles, [e for e in table if e[0] in left] + [
            ("guest", "udp", tree.guest, tree.guest, SECOND_CLIENT)], "after UMNT")

        # UMNTALL removes every entry of this client and none of the other's.
        r = clients.call(2, False, UMNTALL)
        c.true(r.failed is None, "UMNTALL v2/tcp answered: %s" % r.failed)
        check_dump(c, clients, guest, "after UMNTALL of 127.0.0.1", [(3, True)])
        check_showmount_a(c, guest, "after UMNTALL of 127.0.0.1")
        r = second(3, "umntall")
        c.true(r.failed is None, "UMNTALL from the second client answered: %s" % r.failed)
        check_dump(c, clients, [], "after both UMNTALLs", [(3, False)])
        c.equal(tree.mounttab(), [], "mounttab after both UMNTALLs")

        # What the restart must keep.
        kept = {}
        for folder, version, udp, path in (("share", 3, False, nfs(tree.share)),
                                           ("sub", 1, True, nfs(tree.share) + "/sub")):
            r = clients.call(version, udp, MNT, path)
            if c.equal((r.failed, r.status), (None, OK), "MNT %s of %s before the restart" % (
                    kind_name(version, udp), folder)):
                kept[folder] = r.handle
                c.true(words(r.handle)[1] != words(handles[folder])[1],
                       "a mount made after UMNTALL has a new mount id (%s)" % folder)
        stop(c, s, "first run")
        clients.close()
    return kept


def restart_run(c, quen, clients, tree, registry, kept):
    with server(quen, tree, registry) as s:
        mounts = expected_dump(tree, sorted(kept))
        check_dump(c, clients, mounts, "after a restart", [(3, False), (1, True)])
        check_showmount_a(c, mounts, "after a restart")
        for folder, version, udp, path in (("share", 3, False, nfs(tree.share)),
                                           ("sub", 1, True, nfs(tree.share) + "/sub"),
                                           ("sub", 3, True, nfs(tree.share) + "/sub")):
            r = clients.call(version, udp, MNT, path)
            want = kept.get(folder, b"")[:20 if version == 3 else 32]
            c.equal(r.handle, want, "MNT %s of %s after a restart gives the same handle" % (
                kind_name(version, udp), folder))
        check_dump(c, clients, mounts, "after MNT again following the restart", [(2, True)])
        stop(c, s, "restart")
        clients.close()


def reset_run(c, quen, clients, tree, registry, kept):
    with server(quen, tree, registry, InodeReset="1") as s:
        check_dump(c, clients, [], "after a restart with InodeReset", [(3, False)])
        r = clients.call(3, False, MNT, nfs(tree.share))
        if c.equal((r.failed, r.status), (None, OK), "MNT after InodeReset"):
            check_handle(c, r.handle, 20, "MNT after InodeReset")
            # Read back, the old entry would have been found again and its
            # id given out; a new entry takes an id from the restarted counter.
            c.true(r.handle != kept.get("share", b"")[:20], "the handle after InodeReset is not the old one: %s" %
                   r.handle.hex())
        lines = tree.mounttab() or []
        c.equal(len(lines), 1, "mounttab after InodeReset holds only the new mount: %r" % lines)
        check_dump(c, clients, expected_dump(tree, ["share"]), "after MNT following InodeReset", [(1, False)])
        r = clients.call(3, True, UMNTALL)
        c.true(r.failed is None, "UMNTALL after InodeReset answered: %s" % r.failed)
        stop(c, s, "InodeReset")
        clients.close()


def filter_run(c, quen, clients, tree, registry):
    """FilterExports 1 and FHsize 32 in one start."""
    with server(quen, tree, registry, FilterExports="1", FHsize="32") as s:
        exports = tree.export_list()
        check_showmount_e(c, exports, "with FilterExports: 127.0.0.1 sees every export")
        check_export(c, clients, exports, "with FilterExports")
        # The second client sees what admits it: no client list, or its own address.
        check_export(c, clients, [exports[i] for i in (0, 1, 3, 4)], "with FilterExports", bind=SECOND_CLIENT)

        r3 = clients.call(3, False, MNT, nfs(tree.local))
        r1 = clients.call(1, True, MNT, nfs(tree.local))
        r2 = clients.call(2, False, MNT, nfs(tree.local))
        if c.equal((r3.failed, r3.status), (None, OK), "MNT v3 with FHsize 32"):
            check_handle(c, r3.handle, 32, "MNT v3 with FHsize 32")
            c.equal(r1.handle, r3.handle, "v1 handle equals the 32-byte v3 handle")
            c.equal(r2.handle, r3.handle, "v2 handle equals the 32-byte v3 handle")
        r = libnfs(clients.mount_client, 3, "mnt", nfs(tree.guest), udp=True, bind=SECOND_CLIENT)
        c.equal((r.failed, r.status), (None, OK), "MNT of its export from the second client with FilterExports")
        both = sorted(expected_dump(tree, ["local"]) + expected_dump(tree, ["guest"], SECOND_CLIENT))
        check_dump(c, clients, both, "from 127.0.0.1 with FilterExports", [(3, True)])
        # The 127.0.0.1-only export's mount is not shown to the second client.
        r = libnfs(clients.mount_client, 3, "dump", udp=True, bind=SECOND_CLIENT)
        c.equal(sorted(r.mounts or []), expected_dump(tree, ["guest"], SECOND_CLIENT),
                "DUMP from the second client with FilterExports")
        libnfs(clients.mount_client, 1, "umntall", udp=True, bind=SECOND_CLIENT)
        clients.call(1, False, UMNTALL)
        check_dump(c, clients, [], "after UMNTALL with FilterExports", [(3, False)])
        stop(c, s, "FilterExports")
        clients.close()


def wire_result(link, proc, args, version):
    """(accept status, result bytes) of one raw call, or (what went wrong, b"")."""
    xid, reply = link.exchange(proc, args, version)
    try:
        return accepted_body(reply, xid)
    except ValueError as e:
        return str(e), b""


def hostile_run(c, quen, clients, tree, registry):
    """Paths at and past the limit, lengths past the message, unknown procedures."""
    with server(quen, tree, registry) as s:
        marker = w.Udp(port=MARKER_PORT)
        marker.send(b"end of the valid part")
        marker.close()
        for udp in (True, False):
            link = Wire(udp)
            t = "udp" if udp else "tcp"
            try:
                for version in (1, 2, 3):
                    # 2047 bytes is the longest path taken: not exported (MNT), nothing to remove (UMNT).
                    for proc, name, result in ((MNT, "MNT", w.words(ACCES)), (UMNT, "UMNT", b"")):
                        for size, want in ((2047, (w.SUCCESS, result)), (2048, (w.GARBAGE_ARGS, b"")),
                                           (4000, (w.GARBAGE_ARGS, b""))):
                            path = ("/" + "a" * size)[:size]
                            c.equal(wire_result(link, proc, w.opaque(path.encode()), version), want,
                                    "%s v%d/%s with a path of %d bytes" % (name, version, t, size))
                    for args, label in ((w.words(0xFFFFFFFF), "length 0xFFFFFFFF"),
                                        (w.words(100) + b"/z/x", "length past the message"), (b"", "no argument")):
                        c.equal(wire_result(link, MNT, args, version), (w.GARBAGE_ARGS, b""),
                                "MNT v%d/%s with %s" % (version, t, label))
                    c.equal(wire_result(link, 6, b"", version), (w.PROC_UNAVAIL, b""),
                            "procedure 6 of v%d/%s" % (version, t))
                xid, reply = link.exchange(0, b"", 4)
                c.equal(reply, w.prog_mismatch(xid, 1, 3), "MOUNT version 4 over %s" % t)
            finally:
                link.close()
        # Still answering, through a real client.
        r = libnfs(clients.mount_client, 3, "mnt", nfs(tree.solo))
        c.equal((r.failed, r.status), (None, OK), "MNT through libnfs after the hostile input")
        r = libnfs(clients.mount_client, 3, "umntall")
        c.true(r.failed is None, "UMNTALL after the hostile input: %s" % r.failed)
        c.true(s.alive(), "the server is alive after the hostile input")
        stop(c, s, "hostile input")


# ---- the capture -----------------------------------------------------------------

CAPTURE_FIELDS = ["frame.number", "udp.srcport", "udp.dstport", "tcp.srcport", "rpc.msgtyp", "rpc.programversion",
                  "rpc.procedure", "mount.status", "mount.export.directory", "_ws.malformed"]




# Clients running as root use privileged source ports, some of which tshark
# gives to other protocols (639 is MSDP); the RPC heuristics go first.
READ_OPTIONS = ["-o", "tcp.try_heuristic_first:TRUE", "-o", "udp.try_heuristic_first:TRUE"]


def tshark(path, *args):
    return subprocess.run(["tshark", "-r", path] + READ_OPTIONS + list(args), capture_output=True, text=True,
                          timeout=60).stdout


def check_capture(c, path, tree):
    rows = []
    out = tshark(path, "-T", "fields", "-E", "separator=\t", *sum([["-e", f] for f in CAPTURE_FIELDS], []))
    for line in out.splitlines():
        values = line.split("\t")
        rows.append({f: (values[i] if i < len(values) else "") for i, f in enumerate(CAPTURE_FIELDS)})
    cut = next((i for i, r in enumerate(rows) if r["udp.dstport"] == str(MARKER_PORT)), None)
    if not c.true(cut is not None, "the marker before the hostile part is in the capture (%d frames)" % len(rows)):
        return
    valid = [r["frame.number"] for r in rows[:cut]]
    malformed = tshark(path, "-Y", "_ws.malformed && frame.number <= %s" % valid[-1]) if valid else ""
    c.equal(malformed, "", "tshark finds nothing malformed in the valid part")
    server_ports = (str(MOUNT_PORT), "111")
    bad_replies = [r["frame.number"] for r in rows[cut + 1:]
                   if r["_ws.malformed"] and (r["udp.srcport"] in server_ports or r["tcp.srcport"] in server_ports)]
    c.equal(bad_replies, [], "no malformed frame from the server in the hostile part")

    mount_frames = tshark(path, "-Y", "mount").splitlines()
    c.true(len(mount_frames) > 100, "tshark decodes MOUNT packets: %d" % len(mount_frames))
    replies = [r for r in rows[:cut] if r["rpc.msgtyp"] == "1" and r["rpc.procedure"] == "1" and r["mount.status"]]
    for version in ("1", "2", "3"):
        # The version appears twice: in the RPC header and in the MOUNT layer.
        statuses = {r["mount.status"] for r in replies if r["rpc.programversion"].split(",")[0] == version}
        c.true({"0", "13", "20"} <= statuses, "tshark reads MNT v%s replies with statuses 0, 13 and 20: %s" % (
            version, sorted(statuses)))
    directories = set()
    for r in rows[:cut]:
        directories.update(d for d in r["mount.export.directory"].split(",") if d)
    c.equal(directories, {d for d, _ in tree.export_list()}, "export directories tshark decodes")


# ---- main ------------------------------------------------------------------------

def main(args):
    quen, mount_client = args[0], args[1]
    for tool in ("showmount", "tshark"):
        if not shutil.which(tool):
            print("SKIP: %s is not installed" % tool)
            return nstest.SKIP
    c = nstest.Checks()
    work = tempfile.mkdtemp(prefix="quen-mount-")
    capture_path = os.path.join(work, "lo.pcapng")
    clients = Clients(mount_client)
    try:
        tree = Tree(work)
        tree.write_exports()
        registry = os.path.join(work, "registry.reg")
        capture = nstest.start_capture(capture_path)
        try:
            kept = first_run(c, quen, clients, tree, registry)
            if kept is not None:
                restart_run(c, quen, clients, tree, registry, kept)
                reset_run(c, quen, clients, tree, registry, kept)
            filter_run(c, quen, clients, tree, registry)
            hostile_run(c, quen, clients, tree, registry)
        finally:
            clients.close()
            nstest.stop_capture(capture)
        check_capture(c, capture_path, tree)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return c.result()


if __name__ == "__main__":
    nstest.run("mount", main)
