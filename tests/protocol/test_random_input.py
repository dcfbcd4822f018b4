#!/usr/bin/env python3
"""Seeded random datagrams and TCP streams, pure noise and mutated calls, for
a few seconds. Every datagram that comes back must be a well-formed reply to
an xid that was sent, and afterwards the service still answers and is alive.

usage: test_random_input.py RPCDEMO [--seed N] [--seconds S] [rpcdemo options...]
"""
import contextlib
import random
import socket
import struct
import threading
import time

import nstest
import rpcwire as w


def valid_calls(rng):
    """Calls that reach every branch of the header and credential checks."""
    x = rng.getrandbits(32)
    unix = w.auth(w.AUTH_UNIX, w.auth_unix_body(name=b"h" * rng.randrange(0, 40),
                                                gids=range(rng.randrange(0, 33))))
    return [
        w.call(x),
        w.call(x, vers=2, cred=unix),
        w.echo_call(x, rng.randbytes(rng.randrange(0, 1025)), cred=unix),
        w.echo_call(x, b"abc", verf=w.auth(0, rng.randbytes(rng.randrange(0, 401)))),
        w.call(x, proc=rng.randrange(0, 4), vers=rng.randrange(0, 4)),
    ]


def mutate(rng, msg):
    b = bytearray(msg)
    for _ in range(rng.randrange(1, 6)):
        kind = rng.randrange(5)
        if kind == 0 and b:                    # flip bits
            i = rng.randrange(len(b))
            b[i] ^= 1 << rng.randrange(8)
        elif kind == 1 and len(b) >= 4:        # an interesting word
            i = rng.randrange(len(b) // 4) * 4
            b[i:i + 4] = struct.pack(">I", rng.choice(
                [0, 1, 2, 3, 6, 31, 32, 33, 255, 256, 400, 401, 1024, 1025, 0x7FFFFFFF,
                 0x80000000, 0xFFFFFFFF]))
        elif kind == 2:                        # cut
            del b[rng.randrange(len(b) + 1):]
        elif kind == 3:                        # grow
            b += rng.randbytes(rng.randrange(1, 64))
        elif b:                                # duplicate a slice
            i = rng.randrange(len(b))
            b[i:i] = b[i:i + rng.randrange(1, 32)]
    return bytes(b)


def random_message(rng):
    if rng.random() < 0.2:
        return rng.randbytes(rng.choice([rng.randrange(0, 64), rng.randrange(0, 9000)]))
    return mutate(rng, rng.choice(valid_calls(rng)))


def random_stream(rng):
    """Bytes for a TCP connection: records with plausible or wild marks."""
    out = b""
    for _ in range(rng.randrange(1, 6)):
        r = rng.random()
        if r < 0.5:
            out += w.record(random_message(rng))
        elif r < 0.7:
            msg = rng.choice(valid_calls(rng))
            cuts = sorted(rng.sample(range(1, len(msg)), min(3, len(msg) - 1)))
            sizes = [b - a for a, b in zip([0] + cuts, cuts + [len(msg)])]
            out += w.record(msg, sizes)
        elif r < 0.85:
            out += struct.pack(">I", rng.getrandbits(32)) + rng.randbytes(rng.randrange(0, 200))
        else:
            out += rng.randbytes(rng.randrange(1, 300))
    if rng.random() < 0.3:
        out = out[:rng.randrange(len(out) + 1)]
    return out


class Replies:
    """Replies gathered from a UDP socket, checked against the xids sent."""

    def __init__(self, sock):
        self.sock = sock
        self.sent = set()
        self.bad = []
        self.count = 0

    def drain(self):
        self.sock.setblocking(False)
        while True:
            try:
                data = self.sock.recv(65536)
            except (BlockingIOError, ConnectionRefusedError):
                break
            self.count += 1
            problem = w.reply_is_well_formed(data)
            if problem is None and data[:4] not in self.sent:
                problem = "xid %s was never sent" % data[:4].hex()
            if problem and len(self.bad) < 5:
                self.bad.append("%s: %s" % (problem, data[:48].hex()))
        self.sock.setblocking(True)


def udp_noise(rng, seconds, replies, udp):
    end = time.monotonic() + seconds
    sent = 0
    while time.monotonic() < end:
        msg = random_message(rng)
        replies.sent.add(msg[:4])
        with contextlib.suppress(OSError):
            udp.send(msg)
        sent += 1
        if sent % 32 == 0:
            replies.drain()
            time.sleep(0.001)
    time.sleep(0.2)
    replies.drain()
    return sent


def tcp_noise(rng, seconds, problems):
    end = time.monotonic() + seconds
    streams = 0
    while time.monotonic() < end:
        try:
            t = w.Tcp(timeout=2.0)
        except OSError as e:
            problems.append("connect failed: %s" % e)
            time.sleep(0.1)
            continue
        try:
            with contextlib.suppress(OSError):
                t.send(random_stream(rng))
            if rng.random() < 0.5:
                # Whatever comes back is framed records of well-formed replies.
                t.sock.settimeout(0.05)
                with contextlib.suppress(OSError, TimeoutError, AssertionError):
                    while True:
                        rec = t.receive_record(0.05)
                        if rec is None:
                            break
                        problem = w.reply_is_well_formed(rec)
                        if problem:
                            problems.append("TCP reply: %s: %s" % (problem, rec[:48].hex()))
                            break
        finally:
            t.close()
        streams += 1
    return streams


def parse(args):
    seed, seconds, rest = 5599, 3.0, []
    it = iter(args[1:])
    for a in it:
        if a == "--seed":
            seed = int(next(it))
        elif a == "--seconds":
            seconds = float(next(it))
        else:
            rest.append(a)
    return args[0], seed, seconds, rest


def main(args):
    demo_bin, seed, seconds, options = parse(args)
    print("seed %d, %.1f s" % (seed, seconds), flush=True)
    c = nstest.Checks()
    with nstest.demo(demo_bin, ["-noportmap"] + options) as d:
        udp = w.Udp()
        replies = Replies(udp.sock)
        tcp_problems = []
        result = {}
        tcp = threading.Thread(target=lambda: result.update(
            streams=tcp_noise(random.Random(seed + 1), seconds, tcp_problems)))
        tcp.start()
        try:
            datagrams = udp_noise(random.Random(seed), seconds, replies, udp)
        finally:
            tcp.join()
        print("%d datagrams, %d replies, %d TCP streams" % (datagrams, replies.count, result.get("streams", 0)))
        c.true(replies.count > 0, "some random datagrams were answered")
        c.equal(replies.bad, [], "UDP replies to random datagrams")
        c.equal(tcp_problems[:5], [], "TCP replies to random streams")
        c.true(d.alive(), "rpcdemo alive after the noise")
        x = 0x600D
        c.equal(udp.exchange(w.call(x)), w.accepted(x), "UDP NULL after the noise")
        t = w.Tcp()
        try:
            c.equal(t.exchange(w.echo_call(x + 1, b"still here")), w.echo_reply(x + 1, b"still here"),
                    "TCP ECHO after the noise")
        finally:
            t.close()
        udp.close()
        c.equal(d.stop(), 0, "exit code after SIGTERM")
    return c.result()


if __name__ == "__main__":
    nstest.run("random", main)
