"""Harness of the protocol tests: a private network namespace (with its own
/run) per test, the demo service as a child process, and a failure list.

A test script calls run(tag, main). Outside the namespace this creates it,
runs the same script again inside it and removes the namespace and every
process left in it afterwards, whatever happened. Inside, main(args) runs.
"""
import contextlib
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import rpcwire

PREFIX = "tvproto-"
INSIDE = "TV_PROTO_INSIDE"
SKIP = 77


def _pid_alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def _namespace_pids(ns):
    out = subprocess.run(["ip", "netns", "pids", ns], capture_output=True, text=True).stdout
    return [int(p) for p in out.split() if p.isdigit()]


def _remove_namespace(ns):
    for _ in range(20):
        pids = _namespace_pids(ns)
        if not pids:
            break
        for pid in pids:
            with contextlib.suppress(ProcessLookupError):
                os.kill(pid, signal.SIGKILL)
        time.sleep(0.05)
    subprocess.run(["ip", "netns", "del", ns], stderr=subprocess.DEVNULL)


def _sweep_stale_namespaces():
    """Namespaces of earlier runs that were killed before they could clean up."""
    out = subprocess.run(["ip", "netns", "list"], capture_output=True, text=True).stdout
    for line in out.splitlines():
        name = line.split()[0] if line.split() else ""
        owner = name.rsplit("-", 1)[-1]
        if name.startswith(PREFIX) and owner.isdigit() and not _pid_alive(int(owner)):
            _remove_namespace(name)


class _Stopped(Exception):
    pass


def _raise_stopped(signum, _frame):
    raise _Stopped(signum)


def run(tag, main):
    if os.environ.get(INSIDE) == tag:
        sys.exit(main(sys.argv[1:]))
    if os.geteuid() != 0:
        print("SKIP: network namespaces need root")
        sys.exit(SKIP)
    for tool in ("ip", "unshare", "mount"):
        if not shutil.which(tool):
            print("SKIP: %s is not installed" % tool)
            sys.exit(SKIP)
    _sweep_stale_namespaces()
    ns = "%s%s-%d" % (PREFIX, tag, os.getpid())
    for s in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(s, _raise_stopped)
    rc = 1
    child = None
    subprocess.run(["ip", "netns", "add", ns], check=True)
    try:
        subprocess.run(["ip", "netns", "exec", ns, "ip", "link", "set", "lo", "up"], check=True)
        env = dict(os.environ, **{INSIDE: tag})
        script = os.path.abspath(sys.argv[0])
        # A private /run: rpcbind keeps its socket and lock files there.
        child = subprocess.Popen(
            ["ip", "netns", "exec", ns, "unshare", "-m", "--propagation", "private",
             "sh", "-c", 'mount -t tmpfs tmpfs /run && exec "$@"', "sh",
             sys.executable, "-B", script] + sys.argv[1:], env=env)
        rc = child.wait()
    except _Stopped as e:
        print("stopped by signal %s" % e.args[0])
    finally:
        if child and child.poll() is None:
            child.kill()
            child.wait()
        _remove_namespace(ns)
    sys.exit(rc)


class Checks:
    """Collects failures so that one run reports all of them."""

    def __init__(self):
        self.failures = []
        self.count = 0

    def true(self, condition, what):
        self.count += 1
        if not condition:
            self.failures.append(what)
            print("FAIL: %s" % what, flush=True)
        return bool(condition)

    def equal(self, actual, expected, what):
        ok = actual == expected
        self.true(ok, "%s: got %r, expected %r" % (what, _short(actual), _short(expected)))
        return ok

    def result(self):
        print("%d checks, %d failed" % (self.count, len(self.failures)), flush=True)
        return 1 if self.failures or self.count == 0 else 0


def _short(v):
    if isinstance(v, bytes) and len(v) > 64:
        return v[:64] + b"...(%d bytes)" % len(v)
    return v


class Child:
    """A child process in self.proc: alive, stop by a signal, kill."""

    stop_signal = signal.SIGTERM

    def alive(self):
        return self.proc.poll() is None

    def stop(self, sig=None, timeout=10.0):
        """Sends the signal, then the exit code (None when it had to be killed)."""
        if self.alive():
            self.proc.send_signal(sig or self.stop_signal)
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            return None

    def kill(self):
        if self.alive():
            self.proc.kill()
            self.proc.wait()


class Demo(Child):
    """The demo service as a child process."""

    def __init__(self, binary, args, workdir):
        self.workdir = workdir
        self.out_path = os.path.join(self.workdir, "rpcdemo.out")
        self.err_path = os.path.join(self.workdir, "rpcdemo.err")
        self.cmd = [binary] + list(args)
        with open(self.out_path, "wb") as out, open(self.err_path, "wb") as err:
            self.proc = subprocess.Popen(self.cmd, stdout=out, stderr=err)

    def wait_ready(self, timeout=10.0):
        """Waits until NULL is answered over UDP and TCP."""
        deadline = time.monotonic() + timeout
        udp = rpcwire.Udp()
        try:
            while time.monotonic() < deadline and self.alive():
                if udp.exchange(rpcwire.call(0x5EAD), timeout=0.2) is not None:
                    break
            while time.monotonic() < deadline and self.alive():
                with contextlib.suppress(OSError):
                    t = rpcwire.Tcp(timeout=0.5)
                    try:
                        if t.exchange(rpcwire.call(0x5EAE), timeout=1.0) is not None:
                            return True
                    finally:
                        t.close()
                time.sleep(0.05)
            return False
        finally:
            udp.close()

    def stderr(self):
        with open(self.err_path, "rb") as f:
            return f.read().decode(errors="replace")


@contextlib.contextmanager
def demo(binary, args=(), ready=True):
    workdir = tempfile.mkdtemp(prefix="rpcdemo-")
    d = Demo(binary, args, workdir)
    try:
        if ready and not d.wait_ready():
            raise RuntimeError("rpcdemo did not answer NULL; stderr:\n" + d.stderr())
        yield d
    finally:
        d.kill()
        err = d.stderr()
        if err.strip():
            print("rpcdemo stderr:\n" + err, flush=True)
        shutil.rmtree(workdir, ignore_errors=True)


@contextlib.contextmanager
def background(cmd, **kw):
    """Any helper process (rpcbind, tshark), stopped at the end of the block."""
    p = subprocess.Popen(cmd, **kw)
    try:
        yield p
    finally:
        if p.poll() is None:
            p.terminate()
            try:
                p.wait(5)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()


def start_capture(path):
    """tshark writing everything on lo to path; returns once packets are taken."""
    p = subprocess.Popen(["tshark", "-i", "lo", "-w", path, "-q"], stderr=subprocess.PIPE)
    deadline = time.monotonic() + 20
    seen = b""
    while time.monotonic() < deadline:
        line = p.stderr.readline()
        if not line:
            break
        seen += line
        if b"Capture started" in line:
            time.sleep(0.5)   # dumpcap reports before the first packet is taken
            return p
    p.kill()
    p.wait()
    raise RuntimeError("tshark did not start: %s" % seen.decode(errors="replace"))


def stop_capture(p):
    """Lets the last packets reach the file, then ends the capture."""
    time.sleep(0.5)
    p.send_signal(signal.SIGINT)
    try:
        p.wait(10)
    except subprocess.TimeoutExpired:
        p.kill()
        p.wait()
    p.stderr.close()
