"""The lock manager under load: nlm_stress runs eight lock owners at once
against the server for 30 s from a second host (whose portmapper and lock
manager it answers itself, so that NLM_GRANTED arrives) and checks every
grant against a model of what the replies said.

usage: test_nlm_stress.py QUEN NLM_STRESS
"""
import contextlib
import os
import subprocess
import sys
import tempfile
import shutil

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "protocol"))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import nstest  # noqa: E402
from test_mount import nfs, server  # noqa: E402
from test_nfs import Link, lookup  # noqa: E402
from test_nlm import SERVER_HOST, Tree, client_host, wait_nlm  # noqa: E402

FILES = ("udp.txt", "tcp.txt", "keep.txt", "queue.txt")
SECONDS = 30


def main(args):
    quen, stress = args
    c = nstest.Checks()
    work = tempfile.mkdtemp(prefix="quen-nlm-stress-")
    try:
        tree = Tree(work)
        with server(quen, tree, os.path.join(work, "registry.reg"), NLM="1"):
            c.true(wait_nlm(), "NLM registered")
            link = Link(True)
            try:
                root = link.mount(nfs(tree.share))
                handles = [lookup(link, root, name).hex() for name in FILES]
            finally:
                link.close()
            with client_host() as prefix:
                r = subprocess.run(prefix + [stress, SERVER_HOST, str(SECONDS)] + handles, capture_output=True,
                                   text=True, timeout=SECONDS + 40)
            print(r.stdout, end="")
            c.equal((r.returncode, r.stderr.strip()), (0, ""), "eight owners, %d s, no conflict granted" % SECONDS)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return c.result()


if __name__ == "__main__":
    with contextlib.suppress(KeyboardInterrupt):
        nstest.run("nlmstress", main)
