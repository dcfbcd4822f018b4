#!/usr/bin/env python3
"""Many TCP connections change and read the table at once, while others send
broken records and vanish; the daemon must keep serving and its table must
come out exactly as the calls left it.

usage: test_pmap_stress.py OSTEL
"""
import os
import socket
import struct
import threading

import pmapwire as pw
from pmapwire import nstest, rpcwire, words

WORKERS = 24
ROUNDS = 60


def worker(index, errors, final):
    """SET, GETPORT, DUMP and UNSET of programs of its own; keeps every odd one."""
    base = 0x21000000 + index * 0x1000
    try:
        with pw.client("tcp") as t:
            for r in range(ROUNDS):
                prog, port = base + r, 2000 + index * 100 + r % 100
                if t.set(prog, 1, pw.TCP, port) != 1:
                    errors.append("worker %d: SET %d" % (index, r))
                if t.getport(prog, 1, pw.TCP) != port:
                    errors.append("worker %d: GETPORT %d" % (index, r))
                if r % 5 == 0:
                    rows = t.dump()
                    if rows is None or len(rows) > 26 or rows[:2] != [(100000, 2, 6, 111), (100000, 2, 17, 111)]:
                        errors.append("worker %d: DUMP %r" % (index, rows))
                if r % 2 == 0:
                    if t.unset(prog, 1) != 1:
                        errors.append("worker %d: UNSET %d" % (index, r))
                else:
                    final.add((prog, 1, pw.TCP, port))
    except Exception as e:  # noqa: BLE001 - every failure is reported
        errors.append("worker %d: %r" % (index, e))


def vandal(index, errors):
    """Connections that break off in every part of a record."""
    msg = pw.pmap_call(0x6600 + index, pw.DUMP)
    framed = rpcwire.record(msg)
    pieces = [framed[:2], framed[:4], framed[:10], words(0x7FFFFFFF), words(0x80000000) + b"",
              words(0x00000004) + b"abcd" + words(0x80000000)]
    try:
        for r in range(ROUNDS // 2):
            s = socket.create_connection(("127.0.0.1", 111), timeout=3)
            s.sendall(pieces[r % len(pieces)])
            if r % 3 == 0:
                s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))   # reset
            s.close()
    except Exception as e:  # noqa: BLE001
        errors.append("vandal %d: %r" % (index, e))


def main(args):
    c = nstest.Checks()
    with pw.ostel(args[0]) as o:
        errors, final = [], set()
        threads = [threading.Thread(target=worker, args=(i, errors, final)) for i in range(WORKERS)]
        threads += [threading.Thread(target=vandal, args=(i, errors)) for i in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(120)
        c.true(not any(t.is_alive() for t in threads), "every client finished")
        c.equal(errors[:5], [], "errors of the clients (%d in all)" % len(errors))
        c.true(o.alive(), "the daemon survived")
        with pw.client("udp") as u:
            c.true(u.call(pw.NULL) is not None, "NULL after the storm")
            lost = [m for m in sorted(final) if u.getport(*m[:3]) != m[3]]
            c.equal(lost[:5], [], "kept mappings not served (%d in all)" % len(lost))
            left = [p for p in (0x21000000 + i * 0x1000 + r for i in range(WORKERS) for r in range(0, ROUNDS, 2))
                    if u.getport(p, 1, pw.TCP) != 0]
            c.equal(left[:5], [], "withdrawn mappings still served (%d in all)" % len(left))
            c.equal(len(u.dump() or []), 26, "DUMP is cut at 26 entries")
        c.equal(len(final), WORKERS * ROUNDS // 2, "mappings kept")
        c.equal(o.stop(), 0, "exit code after Ctrl+C")
    return c.result()


if __name__ == "__main__":
    nstest.run("pmapstress", main)
