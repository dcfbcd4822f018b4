"""Ordinary programs on an export through a FUSE mount over libnfs raw calls
(fuse_nfs: no caching, every call reaches the server): tar x of a tree of
some 40 directories with files, rm -rf of it, then a listing of the parent.

usage: test_fuse_rmrf.py QUEN FUSE_NFS
"""
import os
import shutil
import subprocess
import sys
import tarfile
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "protocol"))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import nstest  # noqa: E402
from test_mount import nfs, server, windows  # noqa: E402


class Tree:
    def __init__(self, work):
        self.data = os.path.join(work, "data")
        self.share = os.path.join(work, "share")
        self.mnt = os.path.join(work, "mnt")
        self.archive = os.path.join(work, "tree.tar")
        for d in (self.data, self.share, self.mnt):
            os.makedirs(d)
        with open(os.path.join(self.data, "exports"), "w") as f:
            f.write("%s -alldirs -maproot:0\n" % windows(self.share))
        self.write_archive(os.path.join(work, "src"))

    def write_archive(self, src):
        """src/tree: 5 folders of 7 subfolders, each with files, some empty, and links."""
        top = os.path.join(src, "tree")
        for i in range(5):
            for j in range(7):
                d = os.path.join(top, "dir%d" % i, "sub%d" % j)
                os.makedirs(d)
                for k in range(j % 4):
                    with open(os.path.join(d, "file%d.txt" % k), "wb") as f:
                        f.write(b"%d.%d.%d\n" % (i, j, k) * (200 * k + 1))
            folder = os.path.join(top, "dir%d" % i)
            with open(os.path.join(folder, "README"), "w") as f:
                f.write("folder %d\n" % i)
            # Links as source trees have them: to a file, to a folder, and a second name.
            os.symlink("README", os.path.join(folder, "readme.link"))
            os.symlink("sub1", os.path.join(folder, "sub.link"))
            os.link(os.path.join(folder, "README"), os.path.join(folder, "README.hard"))
        with tarfile.open(self.archive, "w") as t:
            t.add(top, arcname="tree")
        self.folders = sum(len(dirs) for _, dirs, _ in os.walk(top)) + 1
        self.files = data_files(top)


def data_files(top):
    """Names of files with data under top (the volume may hold a link as a file)."""
    return sum(len([f for f in files if not f.endswith(".link")]) for _, _, files in os.walk(top))


def wait_mounted(path, adapter, seconds=10):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline and adapter.poll() is None:
        if os.path.ismount(path):
            return True
        time.sleep(0.05)
    return False


def run(cmd, **kw):
    return subprocess.run(cmd, capture_output=True, text=True, timeout=120, **kw)


def main(args):
    quen, adapter_binary = args
    for tool in ("fusermount3", "tar", "rm"):
        if not shutil.which(tool):
            print("SKIP: %s is not installed" % tool)
            return nstest.SKIP
    if not os.path.exists("/dev/fuse"):
        print("SKIP: no /dev/fuse")
        return nstest.SKIP
    c = nstest.Checks()
    work = tempfile.mkdtemp(prefix="quen-fuse-rmrf-")
    os.chmod(work, 0o755)
    try:
        tree = Tree(work)
        c.true(tree.folders >= 40, "a tree of %d folders and %d files" % (tree.folders, tree.files))
        registry = os.path.join(work, "registry.reg")
        with server(quen, tree, registry):
            adapter = subprocess.Popen([adapter_binary, "127.0.0.1", nfs(tree.share), tree.mnt],
                                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
            try:
                if not wait_mounted(tree.mnt, adapter):
                    out = adapter.communicate(timeout=10)[0] if adapter.poll() is not None else ""
                    if adapter.returncode == nstest.SKIP:
                        print("SKIP: FUSE cannot mount here: %s" % out.strip())
                        return nstest.SKIP
                    c.true(False, "the FUSE mount came up (exit %s): %s" % (adapter.poll(), out.strip()))
                    return c.result()
                r = run(["tar", "xf", tree.archive, "-C", tree.mnt])
                c.equal((r.returncode, r.stderr), (0, ""), "tar x onto the mount")
                on_disk = data_files(os.path.join(tree.share, "tree"))
                c.equal(on_disk, tree.files, "every file extracted reached the folder")
                listed = run(["ls", "-lR", os.path.join(tree.mnt, "tree")])
                c.equal((listed.returncode, listed.stderr), (0, ""), "ls -lR of the extracted tree")
                r = run(["rm", "-rf", os.path.join(tree.mnt, "tree")])
                c.equal((r.returncode, r.stderr), (0, ""), "rm -rf of the tree")
                r = run(["ls", "-la", tree.mnt])
                c.equal((r.returncode, r.stderr), (0, ""), "listing of the parent")
                c.true("tree" not in r.stdout.split(), "the tree is gone from the listing: %s" % r.stdout)
                c.equal(os.listdir(tree.share), [], "the tree is gone from the folder")
            finally:
                if os.path.ismount(tree.mnt):
                    run(["fusermount3", "-u", tree.mnt])
                try:
                    adapter.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    adapter.kill()
                    adapter.wait()
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return c.result()


if __name__ == "__main__":
    nstest.run("fuse_rmrf", main)
