#!/usr/bin/env python3
"""Malformed and boundary messages over UDP and TCP: each is answered with the
expected bytes or dropped, a TCP connection ends exactly when the call header
is not accepted, and the service keeps answering afterwards.

usage: test_bad_input.py RPCDEMO [rpcdemo options...]
"""
import contextlib
import itertools
import struct
import threading
import time

import nstest
import rpcwire as w

IDLE_SECONDS = 3
_xids = itertools.count(0x10000)


def xid():
    return next(_xids)


class Case:
    """A message, the reply it gets (None: dropped) and whether a TCP
    connection survives it."""

    def __init__(self, name, build, reply, keeps_connection):
        self.name = name
        self.build = build              # xid -> message bytes
        self.reply = reply              # xid -> reply bytes, or None
        self.keeps_connection = keeps_connection


def message_cases():
    null = w.call
    big_name = w.auth(w.AUTH_UNIX, w.auth_unix_body(name=b"n" * 256))
    max_name = w.auth(w.AUTH_UNIX, w.auth_unix_body(name=b"m" * 255))
    gids33 = w.auth(w.AUTH_UNIX, w.auth_unix_body(gids=range(100, 133)))
    gids32 = w.auth(w.AUTH_UNIX, w.auth_unix_body(gids=range(100, 132)))
    # Three gids announced, room for one declared: the body is cut short.
    three = w.auth_unix_body(name=b"host", gids=(7, 8, 9))
    short_decl = w.words(w.AUTH_UNIX, len(three) - 8) + three[:-8]
    # A name longer than the declared credential.
    name_past = w.words(w.AUTH_UNIX, 12) + w.words(0, 20) + b"abcd"
    verf8 = w.auth(w.AUTH_NULL, b"verifier")
    verf400 = w.auth(w.AUTH_NULL, bytes(range(200)) * 2)
    denied = lambda status: (lambda x: w.auth_error(x, status))
    ok = lambda verf=None: (lambda x: w.accepted(x, verf=verf))
    status = lambda s: (lambda x: w.accepted(x, s))

    def header(x, **kw):   # the six words before the credential
        return w.call(x, **kw)[:24]

    return [
        Case("31-byte message", lambda x: null(x)[:31], None, False),
        Case("32 bytes: no verifier", lambda x: header(x) + w.words(0, 0), denied(w.AUTH_BADVERF), False),
        Case("REPLY sent to the server",
             lambda x: w.words(x, w.REPLY, 0, 0, 0, 0, 0, 0, 0, 0), None, False),
        Case("message type 2", lambda x: null(x, msg_type=2), None, False),
        Case("RPC version 3", lambda x: null(x, rpcvers=3), w.rpc_mismatch, False),
        Case("RPC version 1", lambda x: null(x, rpcvers=1), w.rpc_mismatch, False),
        Case("credential of 401 bytes", lambda x: null(x, cred=w.auth(w.AUTH_NULL, b"c" * 401)),
             denied(w.AUTH_BADCRED), False),
        Case("credential length 0xFFFFFFFF", lambda x: header(x) + w.words(0, 0xFFFFFFFF, 0, 0),
             denied(w.AUTH_BADCRED), False),
        Case("credential past the end", lambda x: header(x) + w.words(0, 100) + b"x" * 8,
             denied(w.AUTH_BADCRED), False),
        Case("verifier of 401 bytes", lambda x: null(x, verf=w.auth(w.AUTH_NULL, b"v" * 401)),
             denied(w.AUTH_BADVERF), False),
        Case("verifier length 0xFFFFFFFF", lambda x: header(x) + w.words(0, 0, 0, 0xFFFFFFFF),
             denied(w.AUTH_BADVERF), False),
        Case("verifier past the end", lambda x: header(x) + w.words(0, 0, 0, 40) + b"y" * 12,
             denied(w.AUTH_BADVERF), False),
        Case("credential of 400 bytes", lambda x: null(x, cred=w.auth(w.AUTH_NULL, b"c" * 400)), ok(), True),
        Case("verifier of 400 bytes, echoed", lambda x: null(x, verf=verf400), ok(verf400), True),
        Case("verifier echoed", lambda x: null(x, verf=verf8), ok(verf8), True),
        Case("machine name of 256 bytes", lambda x: null(x, cred=big_name), denied(w.AUTH_BADCRED), True),
        Case("machine name of 255 bytes", lambda x: null(x, cred=max_name), ok(), True),
        Case("33 gids", lambda x: null(x, cred=gids33), denied(w.AUTH_BADCRED), True),
        Case("32 gids", lambda x: null(x, cred=gids32), ok(), True),
        Case("declared length shorter than the gids", lambda x: null(x, cred=short_decl),
             denied(w.AUTH_BADCRED), True),
        Case("declared length shorter than the name", lambda x: null(x, cred=name_past),
             denied(w.AUTH_BADCRED), True),
        Case("credential flavor 6", lambda x: null(x, cred=w.auth(6, b"abcd")),
             denied(w.AUTH_REJECTEDCRED), True),
        Case("AUTH_SHORT credential", lambda x: null(x, cred=w.auth(w.AUTH_SHORT, b"abcd")),
             denied(w.AUTH_REJECTEDCRED), True),
        Case("version 3", lambda x: null(x, vers=3), lambda x: w.prog_mismatch(x, 1, 2), True),
        Case("version 0", lambda x: null(x, vers=0), lambda x: w.prog_mismatch(x, 1, 2), True),
        Case("unknown program", lambda x: null(x, prog=w.DEMO_PROGRAM + 1), status(w.PROG_UNAVAIL), True),
        Case("procedure 2", lambda x: w.call(x, 2), status(w.PROC_UNAVAIL), True),
        Case("procedure 0xFFFFFFFF", lambda x: w.call(x, 0xFFFFFFFF), status(w.PROC_UNAVAIL), True),
        Case("ECHO of 1025 bytes", lambda x: w.echo_call(x, b"e" * 1025), status(w.GARBAGE_ARGS), True),
        Case("ECHO cut short", lambda x: w.call(x, w.PROC_ECHO, w.words(8) + b"abcd"),
             status(w.GARBAGE_ARGS), True),
        Case("ECHO without arguments", lambda x: w.call(x, w.PROC_ECHO), status(w.GARBAGE_ARGS), True),
        Case("ECHO of 0 bytes", lambda x: w.echo_call(x, b""), lambda x: w.echo_reply(x, b""), True),
        Case("ECHO of 5 bytes", lambda x: w.echo_call(x, b"hello"), lambda x: w.echo_reply(x, b"hello"), True),
        Case("ECHO of 1024 bytes, version 2", lambda x: w.echo_call(x, bytes(range(256)) * 4, vers=2),
             lambda x: w.echo_reply(x, bytes(range(256)) * 4), True),
        Case("ECHO with AUTH_UNIX and a verifier",
             lambda x: w.echo_call(x, b"unix", cred=gids32, verf=verf8),
             lambda x: w.echo_reply(x, b"unix", verf8), True),
        Case("NULL with trailing bytes", lambda x: w.call(x, args=b"\1" * 64), ok(), True),
    ]


class Session:
    def __init__(self, checks, demo):
        self.c = checks
        self.demo = demo
        self.udp = w.Udp()

    def still_serving(self, after):
        """The next valid NULL is answered over UDP and over a new connection."""
        x = xid()
        self.c.equal(self.udp.exchange(w.call(x)), w.accepted(x), "UDP NULL after %s" % after)
        x = xid()
        try:
            t = w.Tcp()
            try:
                got = t.exchange(w.call(x))
            finally:
                t.close()
        except (OSError, TimeoutError) as e:
            got = "error %s" % e
        self.c.equal(got, w.accepted(x), "TCP NULL after %s" % after)
        self.c.true(self.demo.alive(), "rpcdemo alive after %s" % after)

    def udp_case(self, name, message, expected):
        """Sends the message and a NULL probe behind it; the message must get
        exactly the expected reply (or none) and the probe its own."""
        self.udp.send(message)
        probe = xid()
        self.udp.send(w.call(probe))
        replies = self._replies_until(struct.pack(">I", probe), 2.0)
        # Workers may answer the probe first: allow the other reply a moment.
        replies += self._replies_until(None, 0.1)
        probe_replies = [r for r in replies if r[:4] == struct.pack(">I", probe)]
        others = [r for r in replies if r[:4] != struct.pack(">I", probe)]
        self.c.equal(probe_replies, [w.accepted(probe)], "UDP probe after %s" % name)
        self.c.equal(others, [] if expected is None else [expected], "UDP %s" % name)

    def _replies_until(self, last_xid, timeout):
        """Every datagram received until one with last_xid (None: the time-out)."""
        got = []
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            r = self.udp.receive(deadline - time.monotonic())
            if r is None:
                break
            got.append(r)
            if r[:4] == last_xid:
                break
        return got

    def tcp_case(self, name, data, expected, keeps_connection):
        t = w.Tcp()
        try:
            with contextlib.suppress(OSError):
                t.send(data)
            if expected is not None:
                self.c.equal(t.receive_record(), expected, "TCP %s" % name)
            if keeps_connection:
                x = xid()
                self.c.equal(t.exchange(w.call(x)), w.accepted(x), "TCP %s: same connection goes on" % name)
            else:
                self.c.true(t.closed_by_server(), "TCP %s: connection ended without more data" % name)
        except (OSError, TimeoutError, AssertionError) as e:
            self.c.true(False, "TCP %s: %s" % (name, e))
        finally:
            t.close()


def run_message_cases(s):
    for case in message_cases():
        for proto in ("UDP", "TCP"):
            x = xid()
            message = case.build(x)
            expected = case.reply(x) if case.reply else None
            if proto == "UDP":
                s.udp_case(case.name, message, expected)
            else:
                s.tcp_case(case.name, w.record(message), expected, case.keeps_connection)
    s.still_serving("the message cases")


def run_udp_only(s):
    s.udp_case("empty datagram", b"", None)
    # A datagram too big for the buffer is lost whole, as Winsock loses it.
    s.udp_case("datagram over capacity", w.call(xid(), args=b"\0" * 9000), None)
    x = xid()
    s.udp_case("datagram of exactly the capacity", w.call(x, args=b"\0" * (w.CAPACITY - 40)), w.accepted(x))
    s.still_serving("the UDP cases")


def run_tcp_records(s):
    x = xid()
    s.tcp_case("record mark 0x80000000", w.words(0x80000000), None, False)
    s.tcp_case("fragment over capacity", w.words(0x80000000 | (w.CAPACITY + 1)) + b"\0" * 64, None, False)
    s.tcp_case("fragments over capacity together",
               w.words(4000) + b"\0" * 4000 + w.words(4000) + b"\0" * 4000 + w.words(0x80000000 | 200)
               + b"\0" * 200, None, False)
    x = xid()
    full = w.call(x, args=b"\0" * (w.CAPACITY - 40))
    s.tcp_case("fragment of exactly the capacity", w.record(full), w.accepted(x), True)
    # Fewer than 5 bytes of room left ends the record without a last fragment.
    x = xid()
    almost = w.call(x, args=b"\0" * (w.CAPACITY - 44))
    s.tcp_case("record filling the buffer without a last fragment",
               w.words(4096) + almost[:4096] + w.words(len(almost) - 4096) + almost[4096:], w.accepted(x), True)
    x = xid()
    payload = bytes(range(200))
    s.tcp_case("ECHO in four fragments", w.record(w.echo_call(x, payload), [12, 8, 100, 124]),
               w.echo_reply(x, payload), True)
    s.still_serving("the record cases")

    # A record mark that arrives one byte at a time is still one mark.
    x = xid()
    t = w.Tcp()
    try:
        for b in w.record(w.call(x))[:6]:
            t.send(bytes([b]))
            time.sleep(0.02)
        t.send(w.record(w.call(x))[6:])
        s.c.equal(t.receive_record(), w.accepted(x), "TCP record sent byte by byte")
    finally:
        t.close()

    # Two calls in one segment are both answered.
    a, b = xid(), xid()
    t = w.Tcp()
    try:
        t.send(w.record(w.call(a)) + w.record(w.echo_call(b, b"pipelined")))
        got = {t.receive_record(), t.receive_record()}
        s.c.equal(got, {w.accepted(a), w.echo_reply(b, b"pipelined")}, "TCP pipelined calls")
    finally:
        t.close()

    # The peer goes away inside a record mark and inside a fragment.
    for name, data in (("inside the mark", w.words(0x80000000 | 100)[:2]),
                       ("inside a fragment", w.words(0x80000000 | 100) + b"\0" * 40)):
        t = w.Tcp()
        t.send(data)
        t.close()
        s.still_serving("a connection closed %s" % name)

    # Many connections at once. Each call goes out as soon as its connection
    # is up: the listen backlog is 5, so later connects may wait for a SYN
    # retransmission, longer than the idle limit of the first connections.
    conns, xids = [], []
    try:
        for _ in range(20):
            conns.append(w.Tcp())
            xids.append(xid())
            conns[-1].send(w.record(w.call(xids[-1])))
        got = [t.receive_record() for t in conns]
        s.c.equal(got, [w.accepted(x) for x in xids], "20 connections answered")
    finally:
        for t in conns:
            t.close()


def check_idle_close(c):
    """A silent connection stays open for a while and is closed after -idle."""
    t = w.Tcp()
    try:
        start = time.monotonic()
        c.true(not t.closed_by_server(IDLE_SECONDS / 2), "a silent connection is kept for a while")
        c.true(t.closed_by_server(IDLE_SECONDS + 3 - (time.monotonic() - start)),
               "a silent connection is closed after -idle")
        took = time.monotonic() - start
        c.true(took >= IDLE_SECONDS - 0.5, "idle close after %.1f s" % took)
    finally:
        t.close()


def main(args):
    demo_bin, options = args[0], args[1:]
    c = nstest.Checks()
    with nstest.demo(demo_bin, ["-noportmap", "-idle", str(IDLE_SECONDS)] + options) as d:
        s = Session(c, d)
        idle = threading.Thread(target=check_idle_close, args=(c,))
        idle.start()
        try:
            run_message_cases(s)
            run_udp_only(s)
            run_tcp_records(s)
        finally:
            idle.join()
            s.udp.close()
        c.equal(d.stop(), 0, "exit code after SIGTERM")
    return c.result()


if __name__ == "__main__":
    nstest.run("badinput", main)
