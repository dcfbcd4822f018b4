#!/usr/bin/env python3
"""The portmap procedures of `ostel -debug`, called with raw messages over
UDP and TCP, from this host and from another one.

usage: test_pmap_calls.py OSTEL [RPCDEMO]
"""
import os
import socket
import struct
import threading

import pmapwire as pw
from pmapwire import nstest, rpcwire, words

HERE = os.path.dirname(os.path.abspath(__file__))
OWN = [(pw.PMAP_PROG, 2, pw.TCP, 111), (pw.PMAP_PROG, 2, pw.UDP, 111)]


def check_header_rules(c, cl, tag):
    """Version, procedure, program number and argument size rules."""
    p = pw.parse_accepted(cl.call(pw.GETPORT, pw.mapping(pw.PMAP_PROG, 2, pw.TCP, 0), vers=3))
    c.true(p is not None and p[1] == rpcwire.PROG_MISMATCH and p[2] == words(2, 2),
           "%s: version 3 gets PROG_MISMATCH(2, 2): %r" % (tag, p))
    p = pw.parse_accepted(cl.call(pw.NULL, vers=1))
    c.true(p is not None and p[1] == rpcwire.PROG_MISMATCH and p[2] == words(2, 2),
           "%s: version 1 gets PROG_MISMATCH(2, 2): %r" % (tag, p))
    p = pw.parse_accepted(cl.call(6))
    c.true(p is not None and p[1] == rpcwire.PROC_UNAVAIL and p[2] == b"", "%s: procedure 6: %r" % (tag, p))
    p = pw.parse_accepted(cl.call(pw.NULL))
    c.true(p is not None and p[1] == rpcwire.SUCCESS and p[2] == b"", "%s: NULL: %r" % (tag, p))
    # The program number of the header is not looked at.
    for prog in (pw.NFS, 0, 0xFFFFFFFF):
        port = pw.one_word(cl.call(pw.GETPORT, pw.mapping(pw.PMAP_PROG, 2, pw.TCP, 0), prog=prog))
        c.equal(port, 111, "%s: GETPORT sent as program %d" % (tag, prog))
    for proc in (pw.SET, pw.UNSET, pw.GETPORT):
        for args in (words(pw.NFS, 3, pw.UDP), words(pw.NFS, 3, pw.UDP, 2049, 0), b""):
            p = pw.parse_accepted(cl.call(proc, args))
            c.true(p is not None and p[1] == rpcwire.GARBAGE_ARGS,
                   "%s: procedure %d with %d argument bytes: %r" % (tag, proc, len(args), p))
    p = pw.parse_accepted(cl.call(pw.DUMP, words(0)))
    c.true(p is not None and p[1] == rpcwire.GARBAGE_ARGS, "%s: DUMP with arguments: %r" % (tag, p))


def check_rpc_mismatch(c, proto):
    """RPC version 3 is denied; over TCP the connection ends after the reply."""
    with pw.client(proto) as cl:
        reply = cl.raw(rpcwire.call(cl.next_xid(), pw.NULL, prog=pw.PMAP_PROG, vers=2, rpcvers=3))
        c.equal(reply, rpcwire.rpc_mismatch(cl.xid), "%s: RPC version 3" % proto)
        if proto == "tcp":
            c.true(cl.conn.closed_by_server(), "tcp: connection closed after RPC_MISMATCH")


def check_table_rules(c, cl, tag, base):
    """SET, UNSET and GETPORT from this host; `base` keeps the protocols'
    programs apart."""
    nfs, other = base, base + 1
    c.equal(cl.set(nfs, 3, pw.UDP, 2049), 1, "%s: first SET" % tag)
    c.equal(cl.set(nfs, 3, pw.UDP, 2049), 1, "%s: same SET again" % tag)
    c.equal(cl.set(nfs, 3, pw.UDP, 2050), 0, "%s: SET of another port" % tag)
    c.equal(cl.getport(nfs, 3, pw.UDP), 2049, "%s: port unchanged" % tag)
    c.equal(cl.set(other, 1, pw.UDP, 111), 0, "%s: SET with port 111" % tag)
    c.equal(cl.set(other, 1, pw.UDP, 1024), 0, "%s: SET with port 1024" % tag)
    c.equal(cl.getport(other, 1, pw.UDP), 0, "%s: refused SETs register nothing" % tag)
    c.equal(cl.unset(pw.PMAP_PROG, 2), 0, "%s: UNSET of the portmapper" % tag)
    c.equal(cl.getport(pw.PMAP_PROG, 2, pw.UDP), 111, "%s: portmapper still registered" % tag)
    c.equal(cl.set(nfs, 3, pw.TCP, 2049), 1, "%s: SET over TCP" % tag)
    c.equal(cl.getport(nfs, 2, pw.UDP), 0, "%s: GETPORT of an unregistered version" % tag)
    c.equal(cl.getport(nfs, 3, 99), 0, "%s: GETPORT of an unknown protocol" % tag)
    # UNSET takes the first (UDP) entry of (nfs, 3) only; protocol and port are ignored.
    c.equal(cl.unset(nfs, 3, pw.TCP, 7), 1, "%s: UNSET" % tag)
    c.equal((cl.getport(nfs, 3, pw.UDP), cl.getport(nfs, 3, pw.TCP)), (0, 2049),
            "%s: UNSET removed only the first entry" % tag)
    c.equal(cl.unset(nfs, 3), 1, "%s: second UNSET" % tag)
    c.equal(cl.unset(nfs, 3), 0, "%s: UNSET with nothing left" % tag)
    rows = cl.dump()
    c.true(rows is not None and rows[:2] == OWN, "%s: DUMP starts with the own entries: %r" % (tag, rows))
    c.true(rows is not None and not any(r[0] == nfs for r in rows), "%s: DUMP after UNSET: %r" % (tag, rows))


class Responder:
    """A UDP RPC service on 127.0.0.1: answers every call with SUCCESS, the
    bytes b"PONG", the version and the procedure it was called with."""

    RESULT = b"PONG"

    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.port = self.sock.getsockname()[1]
        self.calls = []
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        while True:
            try:
                data, peer = self.sock.recvfrom(65536)
            except OSError:
                return
            if len(data) < 40:
                continue
            xid, _, _, prog, vers, proc = struct.unpack(">6I", data[:24])
            self.calls.append((prog, vers, proc, data[40:]))
            self.sock.sendto(rpcwire.accepted(xid, rpcwire.SUCCESS, self.RESULT + words(vers, proc)), peer)

    def close(self):
        self.sock.close()


def callit_reply(reply):
    """(port, result bytes) of a CALLIT answer, or None."""
    p = pw.parse_accepted(reply)
    if p is None or p[1] != rpcwire.SUCCESS or len(p[2]) < 8:
        return None
    port, n = struct.unpack(">2I", p[2][:8])
    if len(p[2]) != 8 + (n + 3) // 4 * 4:
        return None
    return port, p[2][8:8 + n]


def check_callit(c, demo_bin):
    prog = 0x20005001
    r = Responder()
    try:
        with pw.client("udp") as u, pw.client("tcp") as t:
            c.equal(u.set(prog, 1, pw.UDP, r.port), 1, "SET of the responder")
            got = callit_reply(u.call(pw.CALLIT, pw.callit_args(prog, 1, 0, words(7, 8))))
            c.equal(got, (r.port, b"PONG" + words(1, 0)), "CALLIT of procedure 0")
            c.equal(r.calls[-1:], [(prog, 1, 0, words(7, 8))], "the forwarded call and its arguments")
            # Another version goes to the last UDP entry of the program, unchanged.
            got = callit_reply(u.call(pw.CALLIT, pw.callit_args(prog, 4, 0)))
            c.equal(got, (r.port, b"PONG" + words(4, 0)), "CALLIT of an unregistered version")
            calls = len(r.calls)
            c.equal(u.call(pw.CALLIT, pw.callit_args(prog, 1, 1), timeout=1.0), None, "CALLIT of procedure 1")
            c.equal(u.call(pw.CALLIT, pw.callit_args(prog + 1, 1, 0), timeout=1.0), None,
                    "CALLIT of an unregistered program")
            bad = words(prog, 1, 0, 12) + words(0)
            c.equal(u.call(pw.CALLIT, bad, timeout=1.0), None, "CALLIT whose length overruns")
            c.equal(u.call(pw.CALLIT, words(prog, 1, 0), timeout=1.0), None, "CALLIT of 12 bytes")
            c.equal(len(r.calls), calls, "nothing forwarded for the dropped calls")
            p = pw.parse_accepted(t.call(pw.CALLIT, pw.callit_args(prog, 1, 0)))
            c.true(p is not None and p[1] == rpcwire.PROC_UNAVAIL, "CALLIT over TCP: %r" % (p,))
            c.equal(len(r.calls), calls, "nothing forwarded from TCP")
            c.equal(u.unset(prog, 1), 1, "UNSET of the responder")
    finally:
        r.close()
    if not demo_bin:
        print("rpcdemo not built: CALLIT to the demo service skipped")
        return
    with nstest.demo(demo_bin, ["-port", str(rpcwire.DEMO_PORT)]) as d:
        with pw.client("udp") as u:
            rows = u.dump() or []
            demo = sorted(row for row in rows if row[0] == rpcwire.DEMO_PROGRAM)
            c.equal(demo, sorted((rpcwire.DEMO_PROGRAM, v, p, rpcwire.DEMO_PORT)
                                 for v in (1, 2) for p in (pw.UDP, pw.TCP)), "rpcdemo registered itself")
            got = callit_reply(u.call(pw.CALLIT, pw.callit_args(rpcwire.DEMO_PROGRAM, 2, 0)))
            c.equal(got, (rpcwire.DEMO_PORT, b""), "CALLIT of rpcdemo's NULL")
            got = callit_reply(u.call(pw.CALLIT, pw.callit_args(rpcwire.DEMO_PROGRAM, 2, 1,
                                                                 rpcwire.opaque(b"x")), timeout=1.0))
            c.equal(got, None, "CALLIT of rpcdemo's ECHO is dropped")
            c.equal(d.stop(), 0, "rpcdemo stops")
            rows = u.dump() or []
            c.equal([row for row in rows if row[0] == rpcwire.DEMO_PROGRAM], [], "rpcdemo withdrew itself")


def check_remote(c):
    """SET and UNSET from another host answer FALSE; GETPORT and DUMP work."""
    prog = 0x20006001
    with pw.client("udp") as u:
        c.equal(u.set(prog, 1, pw.UDP, 4000), 1, "local SET before the remote calls")
    with pw.peer_namespace():
        for proto in ("udp", "tcp"):
            msgs = [pw.pmap_call(0x7700 + i, proc, args) for i, (proc, args) in enumerate([
                (pw.SET, pw.mapping(prog + 1, 1, pw.UDP, 4001)),
                (pw.SET, pw.mapping(prog, 1, pw.UDP, 4000)),
                (pw.UNSET, pw.mapping(prog, 1, pw.UDP, 4000)),
                (pw.GETPORT, pw.mapping(prog, 1, pw.UDP, 0)),
                (pw.CALLIT, pw.callit_args(prog, 1, 1)),
            ])]
            out = pw.in_peer(os.path.join(HERE, "peer_call.py"), proto, pw.SERVER_ADDR,
                             *[m.hex() for m in msgs]).split()
            replies = [None if h == "none" else bytes.fromhex(h) for h in out]
            if not c.equal(len(replies), len(msgs), "%s: replies to the remote calls" % proto):
                continue
            c.equal(pw.one_word(replies[0]), 0, "%s: remote SET of a new mapping" % proto)
            c.equal(pw.one_word(replies[1]), 0, "%s: remote SET of an existing mapping" % proto)
            c.equal(pw.one_word(replies[2]), 0, "%s: remote UNSET" % proto)
            c.equal(pw.one_word(replies[3]), 4000, "%s: remote GETPORT" % proto)
    with pw.client("udp") as u:
        c.equal(u.getport(prog + 1, 1, pw.UDP), 0, "the remote SET registered nothing")
        c.equal(u.getport(prog, 1, pw.UDP), 4000, "the remote UNSET removed nothing")
        c.equal(u.unset(prog, 1), 1, "local UNSET after the remote calls")


def check_dump_cut(c, ostel_bin):
    """A fresh daemon: 28 registrations besides its own; DUMP sends 26."""
    with pw.ostel(ostel_bin) as o:
        with pw.client("udp") as u, pw.client("tcp") as t:
            c.equal(u.dump(), OWN, "a restarted daemon starts with its own entries only")
            added = [(0x20007000 + i, 1 + i % 3, pw.TCP if i % 2 else pw.UDP, 2000 + i) for i in range(28)]
            ok = [u.set(*m) for m in added]
            c.equal(ok, [1] * 28, "28 SETs")
            for cl in (u, t):
                rows = cl.dump()
                c.equal(rows, OWN + added[:24], "%s: DUMP of 30 entries sends the first 26" % cl.proto)
            c.equal(u.getport(*added[27][:3]), 2027, "entries beyond the dump are still served")
        c.equal(o.stop(), 0, "exit code of the second daemon")


def main(args):
    ostel_bin = args[0]
    demo_bin = args[1] if len(args) > 1 and os.path.exists(args[1]) else None
    c = nstest.Checks()
    with pw.ostel(ostel_bin) as o:
        for proto, base in (("udp", 0x20001000), ("tcp", 0x20002000)):
            with pw.client(proto) as cl:
                check_header_rules(c, cl, proto)
                check_table_rules(c, cl, proto, base)
            check_rpc_mismatch(c, proto)
        check_callit(c, demo_bin)
        check_remote(c)
        # A second daemon cannot have the port.
        second = pw.Ostel(ostel_bin)
        try:
            rc = second.proc.wait(10)
        except Exception:
            rc = None
        second.kill()
        c.true(rc not in (0, None), "exit code of a daemon that cannot bind: %r" % rc)
        c.true("bind on port 111 failed" in second.output(), "bind failure logged: %r" % second.output())
        c.true(o.alive(), "the first daemon still runs")
        rc = o.stop()
        out = o.output()
        c.equal(rc, 0, "exit code after Ctrl+C")
        for line in ("Debugging SunRPC Portmap Daemon.", " Tervalo SunRPC Portmap Daemon 1.3\n",
                     " ostel ready on port 111\n", " ostel: rpc pmap_set with invalid arguments\n",
                     " ostel: rpc pmap_dump with invalid arguments\n",
                     " ostel: rpc pmap_callit with invalid arguments\n", "Stopping SunRPC Portmap Daemon."):
            c.true(line in out, "output has %r" % line)
        c.true("log started" not in out, "no 'log started' line without a file")
    check_dump_cut(c, ostel_bin)
    return c.result()


if __name__ == "__main__":
    nstest.run("pmapcalls", main)
