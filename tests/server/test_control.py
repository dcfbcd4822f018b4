"""The control pipe of the server program, through quenctl and raw messages
on its socket: every command group, refusals for a caller who is not an
administrator, hostile messages (truncated, lengths past the message, texts
without their NUL, forged references, random messages) with the server still
serving, and quenctl's lists checked against showmount -e / -a.

usage: test_control.py QUEN QUENCTL MOUNT_CLIENT
"""
import os
import random
import shutil
import socket
import struct
import time
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "protocol"))
sys.path.insert(0, HERE)
import nstest  # noqa: E402
from test_mount import LOOPBACK, SECOND_CLIENT, libnfs, nfs, server, windows  # noqa: E402

PIPE = "/run/tervalo/nfs_server"   # the default path; nstest gives the test a private /run
NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
LOG_NAME = "quen2612.log"
LONG_LINE = "x" * 5000 + "\n"


class Pipe:
    """One connection, spoken message by message."""

    def __init__(self):
        self.s = socket.socket(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        self.s.settimeout(10)
        self.s.connect(PIPE)

    def raw(self, message):
        self.s.send(message)
        return self.s.recv(8192)

    def call(self, code, data=b"", length=None):
        reply = self.raw(struct.pack("<II", code, len(data) if length is None else length) + data)
        status = struct.unpack_from("<I", reply)[0]
        return status, reply

    def close(self):
        self.s.close()


def ref(r):
    return struct.pack("<I", r)


def quenctl(binary, *args, user=None):
    return subprocess.run((user or []) + [binary] + list(args), capture_output=True, text=True, timeout=30)


class Tree:
    def __init__(self, work):
        self.data = os.path.join(work, "data")
        self.logs = os.path.join(work, "logs")
        self.open = os.path.join(work, "open")        # everyone, mounted twice
        self.named = os.path.join(work, "named")      # an alias, two clients
        self.alias = "/ctl-alias"
        for d in (self.data, self.logs, self.open, self.named):
            os.makedirs(d)
        self.exports_text = "# control test\n%s\n%s -name:%s %s %s\n" % (
            windows(self.open), windows(self.named), self.alias[1:], LOOPBACK, SECOND_CLIENT)
        with open(os.path.join(self.data, "exports"), "w") as f:
            f.write(self.exports_text)
        with open(os.path.join(self.logs, LOG_NAME), "w") as f:
            f.write("first\n" + LONG_LINE + "last\n")


def check_lists(c, ctl, mount_client, tree):
    for path, bind in ((nfs(tree.open), None), (tree.alias, None), (nfs(tree.open), SECOND_CLIENT)):
        c.equal(libnfs(mount_client, 3, "mnt", path, udp=bind is not None, bind=bind).status, 0, "MNT %s from %s" % (path, bind))
    r = quenctl(ctl, "exports")
    c.equal(r.returncode, 0, "quenctl exports exit")
    e = subprocess.run(["showmount", "-e", LOOPBACK], capture_output=True, text=True, timeout=20)
    c.equal(r.stdout.splitlines(), e.stdout.splitlines()[1:], "quenctl exports = showmount -e")
    c.equal(len(r.stdout.splitlines()), 2, "two exports listed")
    r = quenctl(ctl, "mounts")
    a = subprocess.run(["showmount", "-a", LOOPBACK], capture_output=True, text=True, timeout=20)
    c.equal(r.stdout.splitlines(), a.stdout.splitlines()[1:], "quenctl mounts = showmount -a")
    c.equal(len(r.stdout.splitlines()), 3, "three mounts listed")
    return r.stdout.splitlines()


def check_admin_commands(c, ctl, tree, mounts, registry):
    r = quenctl(ctl, "umount", mounts[0])
    c.equal(r.returncode, 0, "quenctl umount %s" % mounts[0])
    c.equal(len(quenctl(ctl, "mounts").stdout.splitlines()), 2, "one mount fewer")
    c.equal(quenctl(ctl, "umount", mounts[0]).returncode, 1, "the same mount again is not found")
    c.equal(quenctl(ctl, "unexport", tree.alias).returncode, 0, "quenctl unexport")
    with open(os.path.join(tree.data, "exports")) as f:
        text = f.read()
    c.true(text.startswith("# control test\n") and "ctl-alias" not in text, "exports rewritten: %r" % text)
    c.equal(len(quenctl(ctl, "exports").stdout.splitlines()), 1, "one export left")
    with open(os.path.join(tree.data, "exports"), "w") as f:
        f.write(tree.exports_text)
    c.equal(quenctl(ctl, "reload").returncode, 0, "quenctl reload")
    c.equal(len(quenctl(ctl, "exports").stdout.splitlines()), 2, "both exports after the reload")
    r = quenctl(ctl, "settings")
    c.true("Port=2049" in r.stdout.splitlines() and "Mount-Port=1058" in r.stdout, "settings: %r" % r.stdout[:200])
    c.equal(quenctl(ctl, "logs").stdout.splitlines(), [LOG_NAME], "quenctl logs")
    c.equal(quenctl(ctl, "log", LOG_NAME).stdout, "first\n" + LONG_LINE + "last\n", "quenctl log (a long line in pieces)")

    p = Pipe()
    status, reply = p.call(1)
    c.equal((status, len(reply)), (0, 188), "GET_SETTINGS size")
    record = bytearray(reply[8:])
    c.equal(p.call(2, bytes(record[:179]))[1], ref(2), "SET_SETTINGS of 179 bytes: status 2")
    struct.pack_into("<H", record, 24, 2050)
    struct.pack_into("<I", record, 108, 1)   # SetExec
    c.equal(p.call(2, bytes(record))[1], ref(0), "SET_SETTINGS")
    live = p.call(1)[1]
    c.equal((struct.unpack_from("<H", live, 32)[0], struct.unpack_from("<I", live, 116)[0]), (2049, 1),
            "the live record: the port as started, SetExec at once")
    with open(registry) as f:
        text = f.read()
        c.true('"Port"="2050"' in text and '"SetExec"="1"' in text, "both written to the settings store")
    c.equal(p.call(9, b"/nonexistent\0")[1][8:], ref(0xFFFFFFFF), "attributes of a missing file")
    c.equal(p.call(9)[1], ref(9), "attributes without a path: status 9")
    # The exports file written through the pipe keeps the previous one as exports.old.
    status, reply = p.call(44, b"exports\0w\0")
    fref = struct.unpack_from("<I", reply, 8)[0]
    c.true(len(reply) == 12 and fref != 0, "open exports for writing")
    body = b"%s\n" % windows(tree.open).encode()
    c.equal(struct.unpack_from("<I", p.call(47, ref(fref) + body, len(body))[1], 4)[0], len(body), "bytes written")
    c.equal(p.call(45, ref(fref))[1], struct.pack("<II", 0, 0), "close")
    c.equal(p.call(46, ref(fref))[1], struct.pack("<II", 0, 0), "a closed reference reads nothing")
    with open(os.path.join(tree.data, "exports.old")) as f:
        c.equal(f.read(), tree.exports_text, "exports.old holds the previous file")
    fref = struct.unpack_from("<I", p.call(44, b"exports.old\0r\0")[1], 8)[0]
    c.equal(p.call(46, ref(fref))[1][8:], b"# control test\n\0", "exports.old read back from the data folder")
    # A write the client never closes leaves both files as they were.
    cut = Pipe()
    fref = struct.unpack_from("<I", cut.call(44, b"exports\0w\0")[1], 8)[0]
    cut.call(47, ref(fref) + b"# half a fi", 11)
    cut.close()
    time.sleep(0.3)
    with open(os.path.join(tree.data, "exports")) as f, open(os.path.join(tree.data, "exports.old")) as g:
        c.equal((f.read(), g.read()), (body.decode(), tree.exports_text), "a write cut short changes nothing")
    # CTL_SHELL_MENU: register, then remove.
    menu = [b"Directory\\shell\0", b"nfsserver\0", b"Export\0", b"lumeno.exe \"%1\"\0"]
    msg = struct.pack("<4H", *map(len, menu)) + b"".join(menu)
    c.equal(p.call(49, msg)[1], struct.pack("<II", 0, 1), "shell menu registered")
    with open(registry) as f:
        c.true("Directory\\shell\\nfsserver\\command]" in f.read(), "verb with its command in the store")
    msg = struct.pack("<4H", len(menu[0]), len(menu[1]), 0, 0) + menu[0] + menu[1]
    c.equal(p.call(49, msg)[1], struct.pack("<II", 0, 1), "shell menu removed")
    with open(registry) as f:
        c.true("nfsserver" not in f.read(), "verb gone from the store")
    msg = struct.pack("<4H", len(menu[0]), len(menu[1]), len(menu[2]), 0) + b"".join(menu[:3])
    c.equal(p.call(49, msg)[1], struct.pack("<II", 0, 1), "shell menu without a command")
    msg = struct.pack("<4H", len(menu[0]), len(menu[1]), 0, 0) + menu[0] + menu[1]
    p.call(49, msg)
    with open(registry) as f:
        c.true("nfsserver" not in f.read(), "a verb without its command removed")
    for parent, verb in ((b"Software\\x\0", b"v\0"), (b"Directory\\shell\0", b"a\\b\0")):
        bad = struct.pack("<4H", len(parent), len(verb), 2, 0) + parent + verb + b"t\0"
        c.equal(p.call(49, bad)[1], ref(49), "shell menu refused for %r %r" % (parent, verb))
    p.close()


def check_not_admin(c, ctl, mounts):
    for args in (["reload"], ["unexport", "/ctl-alias"], ["umount", mounts[0]]):
        r = quenctl(ctl, *args, user=NOBODY)
        c.true(r.returncode == 1 and "not an administrator" in r.stderr,
               "%s as nobody: %d %r" % (args, r.returncode, r.stderr))
    c.equal(quenctl(ctl, "exports", user=NOBODY).returncode, 0, "exports as nobody")
    # Raw requests as nobody: every administrator command answers status 2.
    script = ("import socket,struct\ns=socket.socket(socket.AF_UNIX,socket.SOCK_SEQPACKET)\ns.connect(%r)\n"
              "for code,data in ((2,b'\\0'*180),(7,b''),(8,b'\\1\\0\\0\\0'),(9,b'/\\0'),(11,b'\\1\\0\\0\\0'),"
              "(47,b'\\1\\0\\0\\0'),(49,b'\\0'*8),(44,b'exports\\0w\\0')):\n"
              " s.send(struct.pack('<II',code,len(data))+data); print(code, struct.unpack_from('<I',s.recv(8192))[0])\n"
              "s.send(struct.pack('<II',44,12)+b'exports\\0r\\0\\0\\0'); r=s.recv(64); print(44, len(r))\n") % PIPE
    r = subprocess.run(NOBODY + [sys.executable, "-c", script], capture_output=True, text=True, timeout=30)
    want = ["%d 2" % code for code in (2, 7, 8, 9, 11, 47, 49, 44)] + ["44 12"]
    c.equal(r.stdout.splitlines(), want, "administrator commands refused to nobody, reading open works")


def check_hostile(c, ctl):
    p = Pipe()
    cases = [
        (b"\1\0\0", ref(1), "truncated header"),
        (struct.pack("<II", 3, 100) + ref(0), ref(1), "length word past the message"),
        (struct.pack("<II", 99, 0), ref(1), "unknown code"),
        (struct.pack("<II", 41, 3) + b"abc", struct.pack("<II", 0, 0), "pattern without NUL"),
        (struct.pack("<II", 44, 4) + b"ab\0r", ref(1), "mode without NUL"),
        (struct.pack("<II", 47, 100) + ref(1) + b"abc", ref(1), "write count past the message"),
        (struct.pack("<II", 49, 12) + struct.pack("<4H", 100, 0, 0, 0) + b"abcd", ref(49), "menu lengths too long"),
    ]
    for name in (b"../x", b"..", b"a/b", b"a\\b", b"c:x", b"log:stream", b"CON", b"nul.txt", b"com1", b"LPT9.log "):
        cases.append((struct.pack("<II", 44, len(name) + 3) + name + b"\0r\0", struct.pack("<III", 0, 4, 0),
                      "open %r refused" % name))
        cases.append((struct.pack("<II", 41, len(name) + 1) + name + b"\0", struct.pack("<II", 0, 0),
                      "search %r refused" % name))
    for code in (42, 43, 45, 46, 47):
        for r in (1, 0x21, 0xFFFFFFFF, 0x12345678):
            want = {42: (0, 0), 43: (0, 0), 45: (0, 1), 46: (0, 0), 47: (0, 0)}[code]
            cases.append((struct.pack("<II", code, 4 if code != 47 else 0) + ref(r), struct.pack("<II", *want),
                          "forged reference %#x for %d" % (r, code)))
    for message, want, what in cases:
        c.equal(p.raw(message), want, what)
    # A connection holds at most 16 open files; they close with it.
    refs = [struct.unpack_from("<I", p.call(44, (LOG_NAME + "\0r\0").encode())[1], 8)[0] for _ in range(17)]
    c.true(all(refs[:16]) and refs[16] == 0 and len(set(refs[:16])) == 16, "16 files, the 17th refused: %r" % refs)
    p.close()
    p = Pipe()
    c.true(struct.unpack_from("<I", p.call(44, (LOG_NAME + "\0r\0").encode())[1], 8)[0] != 0,
           "a new connection opens again")
    rng = random.Random(8)
    codes = [1, 3, 4, 5, 6, 9, 10, 41, 42, 43, 44, 45, 46, 47, 49, 0, 12, 48, 0xFFFFFFFF]
    bad = 0
    for _ in range(3000):
        data = bytes(rng.getrandbits(8) for _ in range(rng.choice((0, 3, 4, 8, 20, 300))))
        length = rng.choice((len(data), 0, 4, rng.getrandbits(32)))
        reply = p.raw(struct.pack("<II", rng.choice(codes), length) + data)
        bad += not (4 <= len(reply) <= 4096)
    c.equal(bad, 0, "replies to random messages within 4 to 4096 bytes")
    try:
        c.equal(p.raw(struct.pack("<II", 1, 0) + b"\0" * 4200), b"", "a message over 4096 bytes ends the connection")
    except ConnectionError:
        pass
    p.close()
    c.equal(len(quenctl(ctl, "exports").stdout.splitlines()), 2, "still serving after the hostile messages")


def main(args):
    quen, ctl, mount_client = args
    for tool in ("showmount", "setpriv"):
        if not shutil.which(tool):
            print("SKIP: %s is not installed" % tool)
            return nstest.SKIP
    c = nstest.Checks()
    work = tempfile.mkdtemp(prefix="quen-control-")
    os.chmod(work, 0o755)
    try:
        tree = Tree(work)
        registry = os.path.join(work, "registry.reg")
        c.equal(quenctl(ctl, "exports").returncode, 2, "quenctl without a server")
        with server(quen, tree, registry, LogDir=tree.logs + "/"):
            mounts = check_lists(c, ctl, mount_client, tree)
            check_not_admin(c, ctl, mounts)
            check_admin_commands(c, ctl, tree, mounts, registry)
            check_hostile(c, ctl)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return c.result()


if __name__ == "__main__":
    nstest.run("control", main)
