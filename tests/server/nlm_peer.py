"""The client host's side of lock manager callbacks, for test_nlm.py: a
portmapper that answers GETPORT for NLM with PORT, and an NLM endpoint on
PORT that prints every call it receives ("call PROC XID COOKIEHEX") and
answers it, except the first, so that the server must send it again.

usage: nlm_peer.py PORT   (runs until terminated)
"""
import select
import socket
import struct
import sys

port = int(sys.argv[1])
pmap = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
pmap.bind(("0.0.0.0", 111))
nlm = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
nlm.bind(("0.0.0.0", port))
seen = 0


def reply(sock, peer, xid, body):
    sock.sendto(struct.pack(">IIIIII", xid, 1, 0, 0, 0, 0) + body, peer)


while True:
    ready, _, _ = select.select([pmap, nlm], [], [])
    for sock in ready:
        data, peer = sock.recvfrom(65536)
        if len(data) < 40:
            continue
        xid, _, _, _, vers, proc = struct.unpack(">IIIIII", data[:24])
        at = 24
        for _ in range(2):   # credential and verifier
            at += 8 + (struct.unpack(">I", data[at + 4:at + 8])[0] + 3) // 4 * 4
        args = data[at:]
        if sock is pmap:
            asked = struct.unpack(">I", args[:4])[0] if len(args) >= 4 else 0
            reply(sock, peer, xid, struct.pack(">I", port if asked == 100021 else 0))
            continue
        cookie = args[4:4 + struct.unpack(">I", args[:4])[0]]
        print("call %d %d %s %d" % (proc, xid, cookie.hex(), vers), flush=True)
        seen += 1
        if seen > 1:
            reply(sock, peer, xid, args[:4 + (len(cookie) + 3) // 4 * 4] + struct.pack(">I", 0))
