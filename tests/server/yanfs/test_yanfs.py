"""NFS version 2 through yanfs (Debian's libyanfs-java, run by the JDK), by the
WebNFS public handle over TCP and over UDP. (Through MOUNT yanfs unmounts
right after MNT, which leaves its handle stale here.)
Optional: needs javac and /usr/share/java/yanfs.jar (apt-get install
libyanfs-java default-jdk-headless).

usage: test_yanfs.py QUEN"""
import contextlib
import os
import shutil
import subprocess
import sys
import tempfile

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "..", "protocol"))
sys.path.insert(0, os.path.join(here, ".."))
import nstest  # noqa: E402
from test_mount import READ_OPTIONS, server, windows  # noqa: E402
import test_nfs as v3  # noqa: E402

JAR = "/usr/share/java/yanfs.jar"
RUNS = {"tcp": ("over-tcp", "v2t"), "udp": ("over-udp", "v2u")}


def fnv(data):
    h = 0xcbf29ce484222325
    for b in data:
        h = ((h ^ b) * 0x100000001b3) & 0xFFFFFFFFFFFFFFFF
    return "%x" % h


def prepare(folder):
    os.makedirs(os.path.join(folder, "sub"))
    files = {"hello.txt": b"hello over version 2\n", "data.bin": os.urandom(20000), "gone.txt": b"x"}
    for name, data in files.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)
    return files


def check_run(c, what, folder, files, out):
    lines = [line.split("\t") for line in out.splitlines()]
    listed = {row[1]: (row[2], int(row[3])) for row in lines if row[0] == "entry" and row[2] == "false"}
    c.equal(listed, {n: ("false", len(d)) for n, d in files.items()}, "%s: files listed with their sizes" % what)
    c.true(["entry", "sub", "true"] in [row[:3] for row in lines], "%s: the folder listed as one" % what)
    c.true(["read", "data.bin", str(len(files["data.bin"])), fnv(files["data.bin"])] in lines,
           "%s: read back byte-identical" % what)
    moved = os.path.join(folder, "ydir", "moved.txt")
    with open(moved, "rb") if os.path.exists(moved) else contextlib.nullcontext(None) as f:
        c.equal(f and f.read(), b"written by yanfs\n", "%s: written, then renamed into a new folder" % what)
    c.true(not os.path.exists(os.path.join(folder, "gone.txt")), "%s: deleted" % what)


def main(args):
    quen = args[0]
    if not (shutil.which("javac") and os.path.exists(JAR) and shutil.which("tshark")):
        print("SKIP: javac, %s or tshark is missing" % JAR)
        return nstest.SKIP
    c = nstest.Checks()
    work = tempfile.mkdtemp(prefix="quen-yanfs-")
    classes = os.path.join(work, "classes")
    capture_path = os.path.join(work, "lo.pcapng")
    try:
        built = subprocess.run(["javac", "-cp", JAR, "-d", classes, os.path.join(here, "YanfsClient.java")],
                               capture_output=True, text=True, timeout=120)
        if not c.equal(built.returncode, 0, "javac: %s" % built.stderr[-300:]):
            return c.result()
        tree = v3.Tree(work)
        # The public export: URL paths are read below it.
        with open(os.path.join(tree.data, "exports"), "w") as f:
            f.write("%s -public -alldirs -maproot:0\n" % windows(tree.share))
        capture = nstest.start_capture(capture_path)
        try:
            with server(quen, tree, os.path.join(work, "registry.reg"), WebNFS="1"):
                for what, (sub, options) in RUNS.items():
                    folder = os.path.join(tree.share, sub)
                    files = prepare(folder)
                    url = "nfs://127.0.0.1:2049%s/%s" % (options, sub)
                    r = subprocess.run(["java", "-cp", "%s:%s" % (JAR, classes), "YanfsClient", url, "data.bin"],
                                       capture_output=True, text=True, timeout=120)
                    c.true(r.returncode == 0 and r.stdout.endswith("done\n"), "%s: yanfs ran: %s" %
                           (what, r.stderr[-300:]))
                    check_run(c, what, folder, files, r.stdout)
        finally:
            nstest.stop_capture(capture)
        count = {v: len(subprocess.run(["tshark", "-r", capture_path] + READ_OPTIONS + ["-Y", "nfs.procedure_v%d" % v],
                                       capture_output=True, text=True, timeout=60).stdout.splitlines())
                 for v in (2, 3)}
        c.true(count[2] > 20 and count[3] == 0, "tshark: yanfs spoke version 2 only: %r" % count)
        bad = subprocess.run(["tshark", "-r", capture_path] + READ_OPTIONS + ["-Y", "rpc && _ws.malformed"],
                             capture_output=True, text=True, timeout=60).stdout
        c.equal(bad, "", "tshark finds no malformed RPC packet")
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return c.result()


if __name__ == "__main__":
    with contextlib.suppress(KeyboardInterrupt):
        nstest.run("yanfs", main)
