"""The lock manager of the server program: NLM version 4 through libnfs's raw
calls (nlm_client) over UDP and TCP, versions 1 and 3 and the message forms
byte by byte, and tshark reading the whole run.

Covered: conflicts and holders, owners beyond the svid, POSIX unlock ranges,
queued requests granted by NLM_GRANTED, NFS writes into shared-locked
bytes, locks that outlive twice the Locktime and another client's chmod and
rename, stale handles, the cache switched off, GARBAGE_ARGS for a version 1
handle of the wrong size, SHARE, FREE_ALL.

usage: test_nlm.py QUEN NLM_CLIENT
"""
import contextlib
import itertools
import os
import select
import shutil
import struct
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "protocol"))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import nstest  # noqa: E402
import rpcwire as w  # noqa: E402
from test_mount import READ_OPTIONS, Xdr, accepted_body, nfs, server, windows  # noqa: E402
from test_nfs import FILE_SYNC, NO_ATTRIBUTES, Link, lookup, write  # noqa: E402
from test_startup import registrations, wait_for  # noqa: E402

NLM_PROGRAM, NLM_PORT = 100021, 4045
TEST, LOCK, CANCEL, UNLOCK, GRANTED, LOCK_MSG, SHARE, FREE_ALL = 1, 2, 3, 4, 5, 7, 20, 23
GRANTED_OK, DENIED, NOLOCKS, BLOCKED, STALE = 0, 1, 2, 3, 7
SETATTR, CREATE, RENAME, LINK = 2, 8, 14, 15
LOCKTIME = 2
XIDS = itertools.count(0x4C000000 | (os.getpid() & 0xFFFF) << 8)
CRED = w.auth(w.AUTH_UNIX, w.auth_unix_body(name=b"nlmtest", uid=0, gid=0, stamp=0x4C4D5431))
SECOND_CLIENT = "127.0.0.2"
SERVER_HOST, PEER_HOST, PEER_NLM_PORT = "169.254.71.1", "169.254.71.2", 4046   # the veth pair


class Tree:
    def __init__(self, work):
        self.data = os.path.join(work, "data")
        self.share = os.path.join(work, "share")
        for d in (self.data, self.share):
            os.makedirs(d, exist_ok=True)
        for name in ("udp.txt", "tcp.txt", "keep.txt", "queue.txt", "old.txt"):
            with open(os.path.join(self.share, name), "wb") as f:
                f.write(b"0123456789" * 20)
        with open(os.path.join(self.data, "exports"), "w") as f:
            f.write("%s -alldirs -maproot:0\n" % windows(self.share))


class Nlm:
    """nlm_client runs: one procedure each, from an owner (caller name, svid)."""

    def __init__(self, client, udp, source=None, host="127.0.0.1", prefix=()):
        self.base = list(prefix) + [client] + (["-u"] if udp else []) + (["-b", source] if source else [])
        self.host = host

    def __call__(self, proc, fh, svid, offset, length, caller="hostA", excl=True, block=False):
        cmd = self.base + ["-n", caller] + (["-x"] if excl else []) + (["-B"] if block else [])
        r = subprocess.run(cmd + [self.host, proc, fh.hex(), str(svid), str(offset), str(length)],
                           capture_output=True, text=True, timeout=15)
        fields = dict(line.split("\t", 1) for line in r.stdout.splitlines())
        if r.returncode != 0 or "status" not in fields:
            return ("failed", r.returncode, r.stderr.strip())
        status = int(fields["status"])
        return (status, tuple(int(v) for v in fields["holder"].split("\t"))) if "holder" in fields else status


# ---- raw calls of versions 1, 3 and 4 ---------------------------------------------

def lock_body(fh, svid, offset, length, caller=b"hostR", wide=False):
    number = ">Q" if wide else ">I"
    return (w.opaque(caller) + w.opaque(fh) + w.opaque(b"ohR") + w.words(svid) + struct.pack(number, offset) +
            struct.pack(number, length))


def raw(version, proc, args):
    """(accept status, Xdr of the results) of one call over UDP."""
    link = w.Udp(port=NLM_PORT)
    try:
        xid = next(XIDS)
        reply = link.exchange(w.call(xid, proc, args, prog=NLM_PROGRAM, vers=version, cred=CRED), timeout=3.0)
        status, body = accepted_body(reply, xid)
        return status, Xdr(body)
    finally:
        link.close()


def raw_status(version, proc, args):
    status, x = raw(version, proc, args)
    if status != w.SUCCESS:
        return ("accept", status)
    x.fixed(x.u32())   # the cookie
    return x.u32()


def lock_args(fh, svid, offset, length, block=0, wide=False, caller=b"hostR"):
    return w.opaque(b"ck") + w.words(block, 1) + lock_body(fh, svid, offset, length, caller, wide) + w.words(0, 1)


def test_args(fh, svid, offset, length, wide=False, caller=b"hostR"):
    return w.opaque(b"ck") + w.words(1) + lock_body(fh, svid, offset, length, caller, wide)


def unlock_args(fh, svid, offset, length, wide=False, caller=b"hostR"):
    return w.opaque(b"ck") + lock_body(fh, svid, offset, length, caller, wide)


# ---- the checks ------------------------------------------------------------------

def status_of(result):
    return result[0] if isinstance(result, tuple) else result


def check_basics(c, nlm, fh, kind):
    c.equal(nlm("lock", fh, 1, 0, 100), GRANTED_OK, "%s: LOCK 0-99" % kind)
    c.equal(nlm("lock", fh, 1, 0, 100), GRANTED_OK, "%s: the same LOCK again" % kind)
    c.equal(nlm("test", fh, 1, 50, 1, caller="hostB"), (DENIED, (1, 0, 100, 1)), "%s: TEST shows the holder" % kind)
    c.equal(nlm("lock", fh, 1, 50, 10, caller="hostB"), DENIED, "%s: another owner with the same svid" % kind)
    c.equal(nlm("lock", fh, 2, 50, 10, caller="hostB", block=True), BLOCKED, "%s: blocking LOCK queued" % kind)
    c.equal(nlm("cancel", fh, 2, 50, 10, caller="hostB"), GRANTED_OK, "%s: CANCEL" % kind)
    c.equal(nlm("unlock", fh, 1, 0, 0, caller="hostB"), GRANTED_OK, "%s: UNLOCK by another owner" % kind)
    c.equal(status_of(nlm("test", fh, 9, 0, 1, caller="hostB")), DENIED, "%s: ...leaves the lock" % kind)
    c.equal(nlm("unlock", fh, 1, 40, 20), GRANTED_OK, "%s: UNLOCK 40-59" % kind)
    c.equal(nlm("test", fh, 9, 45, 5, caller="hostB"), GRANTED_OK, "%s: 40-59 free" % kind)
    c.equal(nlm("test", fh, 9, 30, 20, caller="hostB"), (DENIED, (1, 0, 40, 1)), "%s: 0-39 kept" % kind)
    c.equal(nlm("test", fh, 9, 70, 1, caller="hostB"), (DENIED, (1, 60, 40, 1)), "%s: 60-99 kept" % kind)
    c.equal(nlm("lock", fh, 1, 100, 0, excl=False), GRANTED_OK, "%s: shared lock to the end" % kind)
    c.equal(nlm("lock", fh, 3, 5000, 10, caller="hostB", excl=False), GRANTED_OK, "%s: shared beside shared" % kind)
    c.equal(nlm("test", fh, 9, 1 << 40, 1, caller="hostC"), (DENIED, (1, 100, 0, 0)),
            "%s: length 0 reaches the end" % kind)
    c.equal(nlm("unlock", fh, 1, 0, 0), GRANTED_OK, "%s: UNLOCK all" % kind)
    c.equal(nlm("unlock", fh, 3, 0, 0, caller="hostB"), GRANTED_OK, "%s: UNLOCK the other" % kind)
    c.equal(nlm("test", fh, 9, 0, 0, caller="hostC"), GRANTED_OK, "%s: nothing held" % kind)


def check_kept(c, nlm, root, fh):
    """A lock outlives idle time and what another client does to the file."""
    c.equal(nlm("lock", fh, 5, 0, 10), GRANTED_OK, "LOCK to keep")
    time.sleep(2 * LOCKTIME + 3)   # the sweeper runs every 2 s
    c.equal(status_of(nlm("test", fh, 9, 0, 1, caller="hostB")), DENIED, "the lock outlives 2 x Locktime")
    other = Link(True, SECOND_CLIENT)
    try:
        sattr = w.words(1, 0o600, 0, 0, 0, 0, 0)   # mode only; no guard
        c.equal(other.nfs_status(SETATTR, w.opaque(fh) + sattr + w.words(0)), 0, "chmod by another client")
        rename = w.opaque(root) + w.opaque(b"keep.txt") + w.opaque(root) + w.opaque(b"kept.txt")
        c.equal(other.nfs_status(RENAME, rename), 0, "rename by another client")
        c.equal(other.nfs_status(LINK, w.opaque(fh) + w.opaque(root) + w.opaque(b"linked.txt")), 0, "link")
        c.equal(other.nfs_status(CREATE, w.opaque(root) + w.opaque(b"kept.txt") + w.words(0) + NO_ATTRIBUTES), 0,
                "unchecked create of its name")
        c.equal(write(other, fh, 0, b"new", FILE_SYNC)[0], 0, "FILE_SYNC write")
    finally:
        other.close()
    c.equal(status_of(nlm("test", fh, 9, 0, 1, caller="hostB")), DENIED,
            "the lock survives chmod, rename, link, create and a FILE_SYNC write")
    c.equal(nlm("unlock", fh, 5, 0, 0), GRANTED_OK, "UNLOCK the kept lock")
    c.equal(nlm("test", fh, 9, 0, 1, caller="hostB"), GRANTED_OK, "and it is gone")


def check_shared_writes(c, nlm, fh):
    """NFS writes land in bytes that NFS clients hold shared: the locks keep
    only other programs on the server out."""
    link = Link(True, SECOND_CLIENT)
    try:
        c.equal(nlm("lock", fh, 1, 0, 100, excl=False), GRANTED_OK, "shared LOCK 0-99")
        c.equal(write(link, fh, 10, b"one", FILE_SYNC)[0], 0, "a write into one owner's shared bytes")
        c.equal(nlm("lock", fh, 2, 50, 100, caller="hostB", excl=False), GRANTED_OK, "overlapping shared LOCK 50-149")
        c.equal(write(link, fh, 60, b"two", FILE_SYNC)[0], 0, "a write into two owners' shared bytes")
    finally:
        link.close()
    c.equal(nlm("unlock", fh, 1, 0, 0), GRANTED_OK, "UNLOCK the first shared lock")
    c.equal(nlm("unlock", fh, 2, 0, 0, caller="hostB"), GRANTED_OK, "UNLOCK the second shared lock")


def check_granted(c, client, fh):
    """A queued request is granted when the lock goes: NLM_GRANTED to the
    client's lock manager (on lo, the server's own, found through the
    portmapper at the second address)."""
    first, second = Nlm(client, True), Nlm(client, True, SECOND_CLIENT)
    c.equal(first("lock", fh, 1, 0, 100), GRANTED_OK, "LOCK by the first client")
    c.equal(second("lock", fh, 1, 0, 100, block=True), BLOCKED, "same svid, second client: queued")
    c.equal(first("unlock", fh, 1, 0, 0), GRANTED_OK, "UNLOCK by the first")
    c.equal(first("test", fh, 9, 0, 1, caller="hostC"), (DENIED, (1, 0, 100, 1)), "the queued lock is granted")
    c.equal(second("unlock", fh, 1, 0, 0), GRANTED_OK, "UNLOCK by the second")


@contextlib.contextmanager
def client_host():
    """A second host: its own namespace joined to this one by a veth pair."""
    ns = nstest.PREFIX + "nlmpeer-%d" % os.getpid()
    steps = [["ip", "netns", "add", ns], ["ip", "link", "add", "nlmv0", "type", "veth", "peer", "name", "nlmv1"],
             ["ip", "link", "set", "nlmv1", "netns", ns], ["ip", "addr", "add", SERVER_HOST + "/24", "dev", "nlmv0"],
             ["ip", "link", "set", "nlmv0", "up"]]
    inside = [["ip", "addr", "add", PEER_HOST + "/24", "dev", "nlmv1"], ["ip", "link", "set", "nlmv1", "up"],
              ["ip", "link", "set", "lo", "up"]]
    try:
        for step in steps + [["ip", "netns", "exec", ns] + s for s in inside]:
            subprocess.run(step, check=True, capture_output=True)
        yield ["ip", "netns", "exec", ns]
    finally:
        nstest._remove_namespace(ns)


def check_peer(c, client, fh):
    """NLM_GRANTED reaches another host's lock manager through its
    portmapper, and is sent again (same xid) while it is not answered."""
    with client_host() as prefix:
        peer_cmd = prefix + [sys.executable, "-u", os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                               "nlm_peer.py"), str(PEER_NLM_PORT)]
        with nstest.background(peer_cmd, stdout=subprocess.PIPE, text=True) as peer:
            time.sleep(0.5)
            local, remote = Nlm(client, True), Nlm(client, True, host=SERVER_HOST, prefix=prefix)
            c.equal(local("lock", fh, 1, 0, 100), GRANTED_OK, "peer: LOCK here")
            c.equal(remote("lock", fh, 1, 0, 100, caller="peer", block=True), BLOCKED, "peer: blocked there")
            c.equal(local("unlock", fh, 1, 0, 0), GRANTED_OK, "peer: UNLOCK here")
            lines = []
            while len(lines) < 2 and select.select([peer.stdout], [], [], 5)[0]:
                lines.append(peer.stdout.readline().split())
            c.true(len(lines) == 2 and lines[0] == lines[1] and lines[0][1] == str(GRANTED) and
                   lines[0][3] == b"tervalo".hex() and lines[0][4] == "4", "peer: NLM_GRANTED, sent twice: %r" % lines)
            c.equal(local("test", fh, 9, 0, 1, caller="hostC"), (DENIED, (1, 0, 100, 1)), "peer: holds the lock")
            c.equal(remote("unlock", fh, 1, 0, 0, caller="peer"), GRANTED_OK, "peer: UNLOCK there")


def check_narrow(c, fh3):
    fh32 = fh3 + bytes(32 - len(fh3))
    c.equal(raw_status(1, LOCK, lock_args(fh3, 7, 0, 10)), ("accept", w.GARBAGE_ARGS), "v1: 20-byte handle")
    c.equal(raw_status(1, LOCK, lock_args(fh32, 7, 0, 10)), GRANTED_OK, "v1: LOCK")
    status, x = raw(3, TEST, test_args(fh32, 8, 5, 1, caller=b"hostS"))
    x.fixed(x.u32())
    c.equal((status, x.u32(), x.u32(), x.u32(), x.fixed(x.u32()), x.u32(), x.u32()),
            (w.SUCCESS, DENIED, 1, 7, b"", 0, 10), "v3: TEST holder in 32 bits")
    c.equal(raw_status(1, LOCK, lock_args(bytes(32), 7, 0, 10)), DENIED, "v1: stale handle is denied")
    c.equal(raw_status(4, LOCK, lock_args(fh3[:8] + b"\xff" * 12, 7, 0, 10, wide=True)), STALE,
            "v4: stale handle in LOCK")
    c.equal(raw_status(4, TEST, test_args(fh3[:8] + b"\xff" * 12, 7, 0, 10, wide=True)), STALE,
            "v4: stale handle in TEST")
    share = w.opaque(b"ck") + w.opaque(b"hostR") + w.opaque(fh32) + w.opaque(b"oh") + w.words(1, 1, 0)
    status, x = raw(3, SHARE, share)
    x.fixed(x.u32())
    c.equal((status, x.u32(), x.u32()), (w.SUCCESS, 0, 0), "v3: SHARE")
    status, x = raw(3, FREE_ALL, w.opaque(b"hostR") + w.words(0))
    c.true(status == w.SUCCESS and x.done(), "v3: FREE_ALL answers void")
    c.equal(raw_status(3, TEST, test_args(fh32, 8, 5, 1, caller=b"hostS")), GRANTED_OK, "FREE_ALL freed its locks")
    flood = [raw_status(4, LOCK, lock_args(fh3, 1000 + i, 10 * i, 5, wide=True, caller=b"flood")) for i in range(140)]
    c.equal((flood.count(GRANTED_OK), flood.count(NOLOCKS)), (32, 108), "one client holds at most an eighth of the table")
    raw(4, FREE_ALL, w.opaque(b"flood") + w.words(0))
    c.equal(raw_status(4, LOCK, lock_args(fh3, 999, 0, 5, wide=True, caller=b"flood")), GRANTED_OK,
            "FREE_ALL gives the slots back")
    raw(4, FREE_ALL, w.opaque(b"flood") + w.words(0))
    status, x = raw(4, LOCK_MSG, lock_args(fh3, 7, 0, 10, wide=True))
    c.true(status == w.SUCCESS and x.done(), "v4: LOCK_MSG answers void")
    c.equal(raw_status(4, UNLOCK, unlock_args(fh3, 7, 0, 0, wide=True)), GRANTED_OK, "v4: UNLOCK after LOCK_MSG")


def wait_nlm():
    return wait_for(lambda: len([e for e in registrations() or [] if e[0] == str(NLM_PROGRAM)]) == 6, 10)


def main(args):
    quen, client = args
    if not shutil.which("tshark"):
        print("SKIP: tshark is not installed")
        return nstest.SKIP
    c = nstest.Checks()
    work = tempfile.mkdtemp(prefix="quen-nlm-")
    capture_path = os.path.join(work, "lo.pcapng")
    try:
        tree = Tree(work)
        registry = os.path.join(work, "registry.reg")
        capture = nstest.start_capture(capture_path)
        try:
            with server(quen, tree, registry, NLM="1", Locktime=str(LOCKTIME)):
                c.true(wait_nlm(), "NLM versions 1, 3 and 4 registered over UDP and TCP")
                link = Link(True)
                try:
                    root = link.mount(nfs(tree.share))
                    handles = {n: lookup(link, root, n) for n in ("udp.txt", "tcp.txt", "keep.txt", "queue.txt",
                                                                   "old.txt")}
                finally:
                    link.close()
                for udp, name in ((True, "udp.txt"), (False, "tcp.txt")):
                    check_basics(c, Nlm(client, udp), handles[name], name[:3])
                check_shared_writes(c, Nlm(client, True), handles["udp.txt"])
                check_granted(c, client, handles["queue.txt"])
                check_peer(c, client, handles["queue.txt"])
                check_narrow(c, handles["old.txt"])
                check_kept(c, Nlm(client, True), root, handles["keep.txt"])
            with server(quen, tree, registry, NLM="1", Cache="0"):
                c.true(wait_nlm(), "NLM registered again")
                link = Link(True)
                try:
                    fh = lookup(link, link.mount(nfs(tree.share)), "udp.txt")
                finally:
                    link.close()
                c.equal(Nlm(client, True)("lock", fh, 1, 0, 10), NOLOCKS, "cache off: no lock can be held")
        finally:
            nstest.stop_capture(capture)
        nlm_filter = "udp.port == %d || tcp.port == %d" % (NLM_PORT, NLM_PORT)
        out = subprocess.run(["tshark", "-r", capture_path] + READ_OPTIONS + ["-Y", "nlm"], capture_output=True,
                             text=True, timeout=60).stdout
        c.true(len(out.splitlines()) > 60, "tshark decodes NLM packets: %d" % len(out.splitlines()))
        granted = subprocess.run(["tshark", "-r", capture_path] + READ_OPTIONS +
                                 ["-Y", "nlm.procedure_v4 == %d && rpc.msgtyp == 0" % GRANTED, "-T", "fields",
                                  "-e", "nlm.cookie", "-e", "ip.dst"], capture_output=True, text=True,
                                 timeout=60).stdout.split()
        c.equal(granted[:2], [b"tervalo".hex(), SECOND_CLIENT], "NLM_GRANTED with its cookie to the second client")
        lock_res = subprocess.run(["tshark", "-r", capture_path] + READ_OPTIONS +
                                  ["-Y", "nlm.procedure_v4 == 12 && rpc.msgtyp == 0"], capture_output=True,
                                  text=True, timeout=60).stdout
        c.true(lock_res.strip() != "", "LOCK_RES sent for LOCK_MSG")
        malformed = subprocess.run(["tshark", "-r", capture_path] + READ_OPTIONS +
                                   ["-Y", "_ws.malformed && (%s)" % nlm_filter], capture_output=True, text=True,
                                   timeout=60).stdout
        c.equal(malformed, "", "tshark finds no malformed NLM packet")
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return c.result()


if __name__ == "__main__":
    with contextlib.suppress(KeyboardInterrupt):
        nstest.run("nlm", main)
