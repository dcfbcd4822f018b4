#!/usr/bin/env python3
"""TCP under a hostile client: a flood of held connections from one address
must leave a second address served, a record trickled a byte at a time must
not hold its connection, and the listen queue is the system's largest.

usage: test_tcp_limits.py RPCDEMO
"""
import contextlib
import socket
import subprocess
import sys
import time

import nstest
import rpcwire

SECOND = "10.77.0.2"      # the other end of a veth pair in the namespace
PER_CLIENT = 8
ALL = 32
RECORD_SECONDS = 2


def add_second_address():
    for cmd in (["ip", "link", "add", "tvlim0", "type", "veth", "peer", "name", "tvlim1"],
                ["ip", "addr", "add", "10.77.0.1/24", "dev", "tvlim0"],
                ["ip", "addr", "add", SECOND + "/24", "dev", "tvlim1"],
                ["ip", "link", "set", "tvlim0", "up"], ["ip", "link", "set", "tvlim1", "up"]):
        subprocess.run(cmd, check=True)


def connect(source):
    s = socket.create_connection(("127.0.0.1", rpcwire.DEMO_PORT), timeout=3, source_address=(source, 0))
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return s


def answers_null(s, xid):
    """Whether the connection still answers a NULL call."""
    try:
        s.sendall(rpcwire.record(rpcwire.call(xid)))
        s.settimeout(3)
        return len(s.recv(65536)) > 0
    except OSError:
        return False


def closed_within(s, seconds):
    """Trickles a record a byte every half second; the time until the server
    closes the connection, or None when it is still open after `seconds`."""
    data = rpcwire.words(rpcwire.LAST_FRAGMENT | 4000) + b"\0" * 4000
    start = time.monotonic()
    for b in data:
        if time.monotonic() - start > seconds:
            return None
        try:
            s.sendall(bytes([b]))
            s.settimeout(0.5)
            if s.recv(1) == b"":
                return time.monotonic() - start
        except socket.timeout:
            continue
        except OSError:
            return time.monotonic() - start
    return None


def backlog():
    out = subprocess.run(["ss", "-ltnH", "sport = :%d" % rpcwire.DEMO_PORT], capture_output=True, text=True).stdout
    fields = out.split()
    return int(fields[2]) if len(fields) > 2 and fields[2].isdigit() else None


def main(args):
    add_second_address()
    checks = nstest.Checks()
    options = ["-noportmap", "-idle", "60", "-recordtime", str(RECORD_SECONDS), "-maxconn", str(ALL),
               "-perclient", str(PER_CLIENT)]
    with nstest.demo(args[0], options + args[1:]):
        queue = backlog()
        checks.true(queue is not None and queue >= 128, "listen backlog %r, not the system's largest" % queue)

        flood = []
        try:
            for _ in range(ALL + 8):
                flood.append(connect("127.0.0.1"))
            time.sleep(0.5)
            served = sum(answers_null(s, 0x100 + i) for i, s in enumerate(flood))
            checks.equal(served, PER_CLIENT, "flood connections served for one address")
            other = connect(SECOND)
            checks.true(answers_null(other, 0x777), "a second address is served during the flood")
            other.close()
        finally:
            for s in flood:
                s.close()

        trickle = connect(SECOND)
        took = closed_within(trickle, RECORD_SECONDS + 4)
        trickle.close()
        checks.true(took is not None and took >= RECORD_SECONDS - 0.5,
                    "a trickled record is cut after about %d s, took %r" % (RECORD_SECONDS, took))
        with contextlib.closing(connect(SECOND)) as fresh:
            checks.true(answers_null(fresh, 0x778), "a fresh connection is served afterwards")
    return checks.result()


if __name__ == "__main__":
    nstest.run("tcplimits", main)
