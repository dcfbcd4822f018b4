"""ONC RPC messages built byte by byte, and small UDP and TCP clients.

Everything here is written from the wire format alone, so that the tests
compare the server's bytes with an independent encoding.
"""
import socket
import struct
import time

DEMO_PROGRAM = 536870913
DEMO_PORT = 5599
PROC_NULL = 0
PROC_ECHO = 1
CAPACITY = 8192          # message buffer of the demo service's handles

CALL, REPLY = 0, 1
MSG_ACCEPTED, MSG_DENIED = 0, 1
SUCCESS, PROG_UNAVAIL, PROG_MISMATCH, PROC_UNAVAIL, GARBAGE_ARGS = 0, 1, 2, 3, 4
RPC_MISMATCH, AUTH_ERROR = 0, 1
AUTH_BADCRED, AUTH_REJECTEDCRED, AUTH_BADVERF = 1, 2, 3
AUTH_NULL, AUTH_UNIX, AUTH_SHORT = 0, 1, 2
LAST_FRAGMENT = 0x80000000


def words(*values):
    return struct.pack(">%dI" % len(values), *values)


def pad(data):
    return data + b"\0" * (-len(data) % 4)


def opaque(data):
    return words(len(data)) + pad(data)


def auth(flavor, body=b""):
    """An opaque_auth: flavor, length and body."""
    return words(flavor) + opaque(body)


def auth_unix_body(name=b"tester", uid=1000, gid=1000, gids=(), stamp=0x1234):
    return words(stamp) + opaque(name) + words(uid, gid, len(gids)) + words(*gids)


def call(xid, proc=PROC_NULL, args=b"", prog=DEMO_PROGRAM, vers=1, cred=None, verf=None,
         rpcvers=2, msg_type=CALL):
    cred = auth(AUTH_NULL) if cred is None else cred
    verf = auth(AUTH_NULL) if verf is None else verf
    return words(xid, msg_type, rpcvers, prog, vers, proc) + cred + verf + args


def echo_call(xid, payload, vers=1, **kw):
    return call(xid, PROC_ECHO, opaque(payload), vers=vers, **kw)


def accepted(xid, status=SUCCESS, body=b"", verf=None):
    verf = auth(AUTH_NULL) if verf is None else verf
    return words(xid, REPLY, MSG_ACCEPTED) + verf + words(status) + body


def prog_mismatch(xid, low, high, verf=None):
    return accepted(xid, PROG_MISMATCH, words(low, high), verf)


def rpc_mismatch(xid):
    return words(xid, REPLY, MSG_DENIED, RPC_MISMATCH, 2, 2)


def auth_error(xid, status):
    return words(xid, REPLY, MSG_DENIED, AUTH_ERROR, status)


def echo_reply(xid, payload, verf=None):
    return accepted(xid, SUCCESS, opaque(payload), verf)


def record(message, fragments=None):
    """Record marking: `fragments` lists the fragment lengths (default: one)."""
    sizes = fragments or [len(message)]
    assert sum(sizes) == len(message)
    out, at = b"", 0
    for i, n in enumerate(sizes):
        last = LAST_FRAGMENT if i == len(sizes) - 1 else 0
        out += words(n | last) + message[at:at + n]
        at += n
    return out


def reply_is_well_formed(data):
    """Structure of an RPC reply as RFC 5531 defines it; returns a reason or None."""
    if len(data) < 12:
        return "shorter than 12 bytes"
    _, mtype, stat = struct.unpack(">3I", data[:12])
    if mtype != REPLY:
        return "message type %d" % mtype
    if stat == MSG_ACCEPTED:
        if len(data) < 24:
            return "accepted reply shorter than 24 bytes"
        vlen = struct.unpack(">I", data[16:20])[0]
        if vlen > 400 or len(data) < 24 + (vlen + 3) // 4 * 4:
            return "verifier length %d" % vlen
        at = 20 + (vlen + 3) // 4 * 4
        accept = struct.unpack(">I", data[at:at + 4])[0]
        rest = len(data) - at - 4
        if accept == PROG_MISMATCH and rest != 8:
            return "PROG_MISMATCH body of %d bytes" % rest
        if accept in (PROG_UNAVAIL, PROC_UNAVAIL, GARBAGE_ARGS) and rest != 0:
            return "error reply with a %d-byte body" % rest
        if accept > 5:
            return "accept status %d" % accept
        return None
    if stat == MSG_DENIED:
        reject = struct.unpack(">I", data[12:16])[0] if len(data) >= 16 else None
        if reject == RPC_MISMATCH and len(data) == 24:
            return None
        if reject == AUTH_ERROR and len(data) == 20:
            return None
        return "denied reply %r of %d bytes" % (reject, len(data))
    return "reply status %d" % stat


class Udp:
    def __init__(self, host="127.0.0.1", port=DEMO_PORT):
        self.peer = (host, port)
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))

    def close(self):
        self.sock.close()

    def send(self, data):
        self.sock.sendto(data, self.peer)

    def receive(self, timeout):
        self.sock.settimeout(max(timeout, 0.001))
        try:
            return self.sock.recv(65536)
        except socket.timeout:
            return None

    def exchange(self, data, timeout=2.0):
        """Sends and returns the first reply whose xid matches, or None."""
        self.send(data)
        xid = data[:4]
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                return None
            got = self.receive(left)
            if got is None or got[:4] == xid:
                return got


class Tcp:
    def __init__(self, host="127.0.0.1", port=DEMO_PORT, timeout=3.0):
        self.sock = socket.create_connection((host, port), timeout=timeout)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.pending = b""

    def close(self):
        self.sock.close()

    def send(self, data):
        self.sock.sendall(data)

    def _fill(self, n, deadline):
        while len(self.pending) < n:
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError("no data from the server")
            self.sock.settimeout(left)
            try:
                chunk = self.sock.recv(65536)
            except ConnectionResetError:
                chunk = b""
            if not chunk:
                return False
            self.pending += chunk
        return True

    def receive_record(self, timeout=2.0):
        """The next whole record, or None when the server closed the connection."""
        deadline = time.monotonic() + timeout
        message = b""
        while True:
            if not self._fill(4, deadline):
                if self.pending:
                    raise AssertionError("connection closed inside a record mark")
                return None
            mark = struct.unpack(">I", self.pending[:4])[0]
            n = mark & ~LAST_FRAGMENT
            if not self._fill(4 + n, deadline):
                raise AssertionError("connection closed inside a fragment")
            message += self.pending[4:4 + n]
            self.pending = self.pending[4 + n:]
            if mark & LAST_FRAGMENT:
                return message

    def closed_by_server(self, timeout=2.0):
        """True when the server ends the connection without sending anything more."""
        deadline = time.monotonic() + timeout
        try:
            if self._fill(1, deadline):
                return False
        except TimeoutError:
            return False
        return True

    def exchange(self, message, timeout=2.0):
        self.send(record(message))
        return self.receive_record(timeout)
