#!/usr/bin/env python3
"""Sends portmap calls from the peer namespace and prints each reply in hex
("none" when nothing came back).

usage: peer_call.py udp|tcp HOST HEXMESSAGE...
"""
import sys

import pmapwire


def main(args):
    proto, host = args[0], args[1]
    # UDP binds to any address: the loopback one cannot reach the veth link.
    with pmapwire.client(proto, host=host, bind="0.0.0.0" if proto == "udp" else None) as c:
        for hexmsg in args[2:]:
            reply = c.raw(bytes.fromhex(hexmsg))
            print(reply.hex() if reply is not None else "none", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
