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
from test_nlm import PEER_HOST, SERVER_HOST, client_host  # noqa: E402

PIPE = "/run/tervalo/nfs_server"
NOBODY = 65534
LOG_NAME = "quen2612.log"
CTL_GET_SETTINGS, CTL_RELOAD_EXPORTS, CTL_GET_MOUNT, CTL_FIND_FIRST, CTL_FIND_NEXT, CTL_OPEN_FILE = 1, 7, 10, 41, 42, 44
CTL_DENIED = 2
CRED = w.auth(w.AUTH_UNIX, w.auth_unix_body(name=b"fairtest", uid=0, gid=0))
PIPE_IDLE = 3
NFS_PROGRAM, NFS_PORT, NLM_PROGRAM, NLM_PORT = 100003, 2049, 100021, 4045
READDIR = 16
TCP_CONNECTIONS, TCP_PER_CLIENT = 8, 4
SCAN_SLOTS = 64
NLM_TEST_MSG, NLM_LOCK, NLM_UNLOCK, NLM_GRANTED_CALL, NLM_FREE_ALL = 6, 2, 4, 5, 23
NLM_BLOCKED = 3
SILENT_HOST = "169.254.71.3"   # beside the peer's own address; nothing answers at its port 111
PEER_NLM_PORT = 4046
NLM_GRANTED, NLM_NOLOCKS = 0, 2
XIDS = iter(range(0x46000000 | (os.getpid() & 0xFFFF) << 8, 0x7FFFFFFF))
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
        os.makedirs(os.path.join(self.share, "many"))
        for i in range(40):
            open(os.path.join(self.share, "many", "entry%02d" % i), "w").close()
        with open(os.path.join(self.share, "locked.txt"), "wb") as f:
            f.write(b"x" * 4096)


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


# ---- tables that hosts fill ---------------------------------------------------------

def host(n):
    return "127.0.0.%d" % n


class TcpFrom(w.Tcp):
    """A TCP connection to the NFS port from a chosen source address."""

    def __init__(self, source):
        self.sock = socket.create_connection(("127.0.0.1", NFS_PORT), timeout=3, source_address=(source, 0))
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.pending = b""

    def null_answered(self):
        xid = next(XIDS)
        try:
            reply = self.exchange(w.call(xid, 0, prog=NFS_PROGRAM, vers=3), timeout=3.0)
        except (OSError, AssertionError, TimeoutError):
            return False
        return reply is not None and reply[:4] == w.words(xid)


def check_tcp_shares(c):
    """Idle connections of two hosts fill TCPconnections; a third host still
    gets in, in the place of the connection idle the longest."""
    held = []
    try:
        for source in (host(2), host(3)):
            for _ in range(TCP_PER_CLIENT):
                t = TcpFrom(source)
                held.append(t)
                c.true(t.null_answered(), "a connection of %s is served" % source)
                time.sleep(0.05)
        fresh = TcpFrom(host(4))
        held.append(fresh)
        c.true(fresh.null_answered(), "a fresh host is served while the table is full of idle connections")
        c.true(held[0].closed_by_server(timeout=3), "the connection idle the longest made room")
        c.true(held[TCP_PER_CLIENT].null_answered(), "the other idle connections stay")
    finally:
        for t in held:
            t.close()


def readdir(link, handle, cookie, count=240):
    """(status, last cookie or None, eof) of one READDIR."""
    status, x = link.call(READDIR, fh(handle) + struct.pack(">Q", cookie) + bytes(8) + w.words(count))
    if status != w.SUCCESS:
        return ("accept", status), None, None
    result = x.u32()
    if result != 0:
        return result, None, None
    if x.u32():
        x.fixed(84)
    x.fixed(8)
    last = None
    while x.u32():
        x.fixed(8)
        x.fixed(x.u32())
        last = struct.unpack(">Q", x.fixed(8))[0]
    return 0, last, x.u32()


def check_scan_shares(c, root):
    """Two hosts starting scans they never finish hold a quarter of the slots
    each; a third host lists, and an old cookie goes on in a slot of its own."""
    links = {n: Link(True, host(n)) for n in (2, 3, 4)}
    try:
        many = lookup(links[2], root, "many")
        first = {}
        for n in (2, 3):
            statuses = []
            for i in range(SCAN_SLOTS // 2):
                status, last, eof = readdir(links[n], many, 0)
                statuses.append((status, eof))
                first.setdefault(n, last)
            c.equal(set(statuses), {(0, 0)}, "%d scans begun by %s" % (SCAN_SLOTS // 2, host(n)))
        status, last, eof = readdir(links[4], many, 0)
        c.equal((status, eof), (0, 0), "a third host lists while two hosts hold their scans")
        status, last, eof = readdir(links[2], many, first[2])
        c.equal((status, eof), (0, 0), "the first scan of a host, its slot given up, goes on from its cookie")
    finally:
        for link in links.values():
            link.close()


def lock_body(caller, handle, svid, offset, length):
    return w.opaque(caller) + w.opaque(handle) + w.opaque(b"oh") + w.words(svid) + struct.pack(">QQ", offset, length)


def nlm_call(source, proc, args, server="127.0.0.1", wait=True):
    """The status in the reply to one NLM version 4 call over UDP from source (None: not waited for)."""
    link = w.Udp(host=server, port=NLM_PORT)
    link.sock.close()
    link.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    link.sock.bind((source, 0))
    try:
        xid = next(XIDS)
        message = w.call(xid, proc, args, prog=NLM_PROGRAM, vers=4, cred=CRED)
        if not wait:
            link.send(message)
            return None
        status, body = accepted_body(link.exchange(message, timeout=3.0), xid)
        if status != w.SUCCESS:
            return ("accept", status)
        if not body:
            return None   # a procedure without results
        x = Xdr(body)
        x.fixed(x.u32())
        return x.u32()
    finally:
        link.close()


def nlm_lock(source, handle, svid, offset, caller, block=0, server="127.0.0.1"):
    """The status of one exclusive LOCK of one byte."""
    args = w.opaque(b"ck") + w.words(block, 1) + lock_body(caller, handle, svid, offset, 1) + w.words(0, 1)
    return nlm_call(source, NLM_LOCK, args, server)


def nlm_free_all(source, caller):
    nlm_call(source, NLM_FREE_ALL, w.opaque(caller) + w.words(0))


def check_lock_shares(c, locked):
    """Two hosts asking for every slot get an eighth each; a third host locks."""
    try:
        for n in (2, 3):
            got = [nlm_lock(host(n), locked, 1000 + i, 1000 * n + i, b"flood") for i in range(140)]
            c.equal((got.count(NLM_GRANTED), got.count(NLM_NOLOCKS)), (32, 108), "LOCKs of %s" % host(n))
        c.equal(nlm_lock(host(4), locked, 7, 500, b"third"), NLM_GRANTED, "a third host locks")
    finally:
        for n, caller in ((2, b"flood"), (3, b"flood"), (4, b"third")):
            nlm_free_all(host(n), caller)


def peer_main(handle_hex):
    """In the peer host: a portmapper and a lock manager at its own address,
    a silent portmapper at SILENT_HOST; a flood of TEST_MSG from SILENT_HOST,
    then a blocked LOCK of its own. Prints what it sees."""
    handle = bytes.fromhex(handle_hex)
    pmap, nlm, silent = (socket.socket(socket.AF_INET, socket.SOCK_DGRAM) for _ in range(3))
    pmap.bind((PEER_HOST, 111))
    nlm.bind((PEER_HOST, PEER_NLM_PORT))
    silent.bind((SILENT_HOST, 111))
    test = w.opaque(b"ck") + w.words(1) + lock_body(b"forged", handle, 9, 0, 1)
    for _ in range(40):
        nlm_call(SILENT_HOST, NLM_TEST_MSG, test, server=SERVER_HOST, wait=False)
    print("blocked", nlm_lock(PEER_HOST, handle, 1, 0, b"peer", block=1, server=SERVER_HOST), flush=True)
    getports, deadline = 0, time.monotonic() + 6
    while time.monotonic() < deadline:
        for sock in select.select([pmap, nlm, silent], [], [], 0.2)[0]:
            data, peer = sock.recvfrom(65536)
            if sock is silent:
                getports += 1
                continue
            xid, proc = struct.unpack(">I", data[:4])[0], struct.unpack(">I", data[20:24])[0]
            body = struct.pack(">I", PEER_NLM_PORT) if sock is pmap else b""
            if sock is nlm and proc == NLM_GRANTED_CALL:
                print("granted", flush=True)
                body = w.opaque(b"ck") + w.words(0)
            sock.sendto(w.accepted(xid, body=body), peer)
    print("getports", getports, flush=True)


def check_callback_shares(c, handle):
    """A flood of TEST_MSG from a host whose portmapper never answers neither
    holds the callback queue nor costs a GETPORT per message: a real
    client's NLM_GRANTED still goes out."""
    c.equal(nlm_lock("127.0.0.1", handle, 1, 0, b"holder"), NLM_GRANTED, "LOCK here")
    with client_host() as prefix:
        subprocess.run(prefix + ["ip", "addr", "add", SILENT_HOST + "/24", "dev", "nlmv1"], check=True)
        cmd = prefix + [sys.executable, "-B", os.path.abspath(__file__), "--peer", handle.hex()]
        with nstest.background(cmd, stdout=subprocess.PIPE, text=True) as peer:
            c.equal(peer.stdout.readline().split(), ["blocked", str(NLM_BLOCKED)], "the peer's LOCK is queued")
            unlock = w.opaque(b"ck") + lock_body(b"holder", handle, 1, 0, 1)
            c.equal(nlm_call("127.0.0.1", NLM_UNLOCK, unlock), NLM_GRANTED, "UNLOCK here")
            lines = [line.split() for line in peer.stdout]
    c.true(["granted"] in lines, "NLM_GRANTED reaches the peer past the flood: %r" % lines)
    c.equal([l for l in lines if l[0] == "getports"], [["getports", "1"]], "one GETPORT to the silent host")


def main(args):
    quen, = args
    c = nstest.Checks()
    work = tempfile.mkdtemp(prefix="quen-fair-")
    try:
        tree = Tree(work)
        registry = os.path.join(work, "registry.reg")
        settings = {"PipeIdle": str(PIPE_IDLE), "TCPconnections": str(TCP_CONNECTIONS),
                    "TCPperClient": str(TCP_PER_CLIENT), "DirTimeout": "60000", "NLM": "1"}
        with server(quen, tree, registry, **settings):
            link = Link(True)
            try:
                root = link.mount(nfs(tree.share))
                locked = lookup(link, root, "locked.txt")
            finally:
                link.close()
            check_pipe_identity(c)
            check_reload_while_mounting(c, tree)
            check_pipe_shares(c)
            check_tcp_shares(c)
            check_scan_shares(c, root)
            check_lock_shares(c, locked)
            check_callback_shares(c, locked)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return c.result()


if __name__ == "__main__":
    if sys.argv[1:2] == ["--peer"]:
        sys.exit(peer_main(sys.argv[2]))
    with contextlib.suppress(KeyboardInterrupt):
        nstest.run("fair", main)
