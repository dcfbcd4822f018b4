"""Portmap version 2 messages (RFC 1833) built byte by byte, the daemon as a
child process, and a peer network namespace for calls from another host.

Builds on the protocol harness in tests/protocol (nstest, rpcwire).
"""
import contextlib
import itertools
import os
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "protocol"))

import nstest  # noqa: E402
import rpcwire  # noqa: E402
from rpcwire import words  # noqa: E402

PMAP_PROG, PMAP_VERS, PMAP_PORT = 100000, 2, 111
NULL, SET, UNSET, GETPORT, DUMP, CALLIT = range(6)
UDP, TCP = 17, 6
NFS, MOUNT = 100003, 100005


def pmap_call(xid, proc, args=b"", prog=PMAP_PROG, vers=PMAP_VERS, **kw):
    return rpcwire.call(xid, proc, args, prog=prog, vers=vers, **kw)


def mapping(prog, vers, prot, port):
    return words(prog, vers, prot, port)


def callit_args(prog, vers, proc, args=b""):
    return words(prog, vers, proc) + rpcwire.opaque(args)


def parse_accepted(reply):
    """(xid, accept status, body) of an accepted reply with any verifier, or None."""
    if reply is None or len(reply) < 24:
        return None
    xid, mtype, stat = struct.unpack(">3I", reply[:12])
    if mtype != rpcwire.REPLY or stat != rpcwire.MSG_ACCEPTED:
        return None
    vlen = struct.unpack(">I", reply[16:20])[0]
    at = 20 + (vlen + 3) // 4 * 4
    if len(reply) < at + 4:
        return None
    return xid, struct.unpack(">I", reply[at:at + 4])[0], reply[at + 4:]


def one_word(reply):
    """The single result word of a SUCCESS reply (a boolean or a port), or None."""
    p = parse_accepted(reply)
    if p is None or p[1] != rpcwire.SUCCESS or len(p[2]) != 4:
        return None
    return struct.unpack(">I", p[2])[0]


def parse_dump(reply):
    """The list of (prog, vers, prot, port) of a DUMP reply, or None when malformed."""
    p = parse_accepted(reply)
    if p is None or p[1] != rpcwire.SUCCESS:
        return None
    body, rows, at = p[2], [], 0
    while True:
        if at + 4 > len(body):
            return None
        follows = struct.unpack(">I", body[at:at + 4])[0]
        at += 4
        if follows == 0:
            return rows if at == len(body) else None
        if follows != 1 or at + 16 > len(body):
            return None
        rows.append(struct.unpack(">4I", body[at:at + 16]))
        at += 16


_xids = itertools.count(0x51000000 | (os.getpid() & 0xFFF) << 12)


class Client:
    """Calls over one protocol to the portmapper; every call of the process
    gets its own xid, so that a capture pairs calls and replies rightly."""

    def __init__(self, proto, host="127.0.0.1", port=PMAP_PORT, bind=None):
        self.proto = proto
        self.xid = 0
        if proto == "udp":
            self.conn = rpcwire.Udp(host, port)
            if bind:
                self.conn.sock.close()
                self.conn.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
                self.conn.sock.bind((bind, 0))
        else:
            self.conn = rpcwire.Tcp(host, port)

    def close(self):
        self.conn.close()

    def next_xid(self):
        self.xid = next(_xids) & 0xFFFFFFFF
        return self.xid

    def raw(self, message, timeout=2.0):
        """Sends a whole message; the reply or None (for TCP: None also on close)."""
        if self.proto == "udp":
            return self.conn.exchange(message, timeout)
        self.conn.send(rpcwire.record(message))
        try:
            return self.conn.receive_record(timeout)
        except TimeoutError:
            return None

    def call(self, proc, args=b"", timeout=2.0, **kw):
        return self.raw(pmap_call(self.next_xid(), proc, args, **kw), timeout)

    def set(self, prog, vers, prot, port):
        return one_word(self.call(SET, mapping(prog, vers, prot, port)))

    def unset(self, prog, vers, prot=UDP, port=0):
        return one_word(self.call(UNSET, mapping(prog, vers, prot, port)))

    def getport(self, prog, vers, prot):
        return one_word(self.call(GETPORT, mapping(prog, vers, prot, 0)))

    def dump(self):
        return parse_dump(self.call(DUMP))


@contextlib.contextmanager
def client(proto, **kw):
    c = Client(proto, **kw)
    try:
        yield c
    finally:
        c.close()


class Ostel(nstest.Child):
    """`ostel -debug` (or another command line) as a child process."""

    stop_signal = signal.SIGINT   # Ctrl+C in the console

    def __init__(self, binary, args=("-debug",), env=None):
        self.workdir = tempfile.mkdtemp(prefix="ostel-")
        self.out_path = os.path.join(self.workdir, "ostel.out")
        with open(self.out_path, "wb") as out:
            self.proc = subprocess.Popen([binary] + list(args), stdout=out, stderr=subprocess.STDOUT,
                                         env=dict(os.environ, **(env or {})))

    def output(self):
        with open(self.out_path, "rb") as f:
            return f.read().decode(errors="replace")

    def wait_ready(self, timeout=10.0):
        """Waits until NULL is answered over UDP and TCP."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline and self.alive():
            with contextlib.suppress(OSError):
                with client("udp") as u:
                    if u.call(NULL, timeout=0.2) is not None:
                        with client("tcp") as t:
                            if t.call(NULL) is not None:
                                return True
            time.sleep(0.05)
        return False


@contextlib.contextmanager
def ostel(binary, args=("-debug",), env=None, ready=True):
    o = Ostel(binary, args, env)
    try:
        if ready and not o.wait_ready():
            raise RuntimeError("ostel did not answer NULL; output:\n" + o.output())
        yield o
    finally:
        o.kill()


PEER_NS = "tvpmap-peer"
SERVER_ADDR, PEER_ADDR = "10.231.0.1", "10.231.0.2"


@contextlib.contextmanager
def peer_namespace():
    """A second namespace joined to this one by a veth pair: calls from
    PEER_ADDR reach the server at SERVER_ADDR from an address that is not one
    of the server host's. Run inside the test's own namespace (whose private
    /run holds the name), so it vanishes with it even after a crash."""
    subprocess.run(["ip", "netns", "del", PEER_NS], stderr=subprocess.DEVNULL)
    subprocess.run(["ip", "netns", "add", PEER_NS], check=True)
    try:
        for cmd in (["ip", "link", "add", "tvpm0", "type", "veth", "peer", "name", "tvpm1", "netns", PEER_NS],
                    ["ip", "addr", "add", SERVER_ADDR + "/24", "dev", "tvpm0"],
                    ["ip", "link", "set", "tvpm0", "up"],
                    ["ip", "-n", PEER_NS, "link", "set", "lo", "up"],
                    ["ip", "-n", PEER_NS, "addr", "add", PEER_ADDR + "/24", "dev", "tvpm1"],
                    ["ip", "-n", PEER_NS, "link", "set", "tvpm1", "up"]):
            subprocess.run(cmd, check=True)
        yield PEER_NS
    finally:
        subprocess.run(["ip", "link", "del", "tvpm0"], stderr=subprocess.DEVNULL)
        subprocess.run(["ip", "netns", "del", PEER_NS], stderr=subprocess.DEVNULL)


def in_peer(script, *args, timeout=30):
    """Runs `script` (this module's peer mode) in the peer namespace; its stdout."""
    p = subprocess.run(["ip", "netns", "exec", PEER_NS, sys.executable, script] + list(args),
                       capture_output=True, text=True, timeout=timeout,
                       env={k: v for k, v in os.environ.items() if k != nstest.INSIDE})
    if p.returncode != 0:
        raise RuntimeError("peer client failed: " + p.stderr)
    return p.stdout
