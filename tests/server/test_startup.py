"""Start-up of the server program: usage, options, the built-in portmapper,
the stop by SIGINT (console) and SIGTERM (service), and settings taken from
the registry file at each start."""
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "protocol"))
import nstest  # noqa: E402

USAGE = (
    "QUEN -install <name> <group> to install the service\n"
    "              <name>  = Name of Portmap service to wait for\n"
    "              <group> = Load order service group\n"
    "QUEN -remove                 to remove the service\n"
    "QUEN -debug                  to run as a console application, for debugging\n"
    "QUEN -debug -portmap         to run as a console application with built-in Portmapper\n"
    "\nStartServiceCtrlDispatcher being called.\n"
    "This may take several seconds.  Please wait.\n"
)


def registrations():
    r = subprocess.run(["rpcinfo", "-p", "127.0.0.1"], capture_output=True, text=True, timeout=10)
    if r.returncode != 0:
        return None
    return [line.split()[:4] for line in r.stdout.splitlines()[1:]]


def portmapper_entries():
    """The portmapper's own entries, which come first."""
    entries = registrations()
    return None if entries is None else [e for e in entries if e[0] == "100000"]


def wait_for(predicate, timeout=10.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(0.1)
    return predicate()


class Server(nstest.Child):
    def __init__(self, binary, args, registry, env_extra=None):
        self.dir = tempfile.mkdtemp(prefix="quen-")
        env = dict(os.environ, TERVALO_REGISTRY=registry)
        env.pop("INVOCATION_ID", None)
        env.update(env_extra or {})
        self.out = open(os.path.join(self.dir, "out"), "w+")
        self.proc = subprocess.Popen([binary] + list(args), stdout=self.out, stderr=subprocess.STDOUT, env=env)

    def output(self):
        self.out.flush()
        self.out.seek(0)
        return self.out.read()

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self.out.close()
        shutil.rmtree(self.dir, ignore_errors=True)


def write_registry(path, values):
    lines = ["Windows Registry Editor Version 5.00", "", "[HKEY_LOCAL_MACHINE\\Software\\Tervalo\\quen]"]
    for name, value in values.items():
        lines.append('"%s"="%s"' % (name, value.replace("\\", "\\\\").replace('"', '\\"')))
    with open(path, "w") as f:
        f.write("\r\n".join(lines) + "\r\n")


def run(argv, registry, env_extra=None):
    env = {k: v for k, v in dict(os.environ, TERVALO_REGISTRY=registry).items() if k != "INVOCATION_ID"}
    env.update(env_extra or {})
    return subprocess.run(argv, capture_output=True, text=True, timeout=60, env=env)


def check_failed_starts(c, quen, ostel, registry, work):
    """Each failure says what failed and ends with a non-zero status."""
    r = run([quen, "-debug"], registry)
    c.true(r.returncode != 0, "exit code without a portmapper: %d" % r.returncode)
    c.true("no portmapper answers on 127.0.0.1 port 111" in r.stdout and "-portmap" in r.stdout,
           "console says what is missing: %r" % r.stdout[-300:])
    units = os.path.join(work, "units")
    os.mkdir(units)
    open(os.path.join(units, "NFSserver.service"), "w").close()
    r = run([quen, "-install", "-portmap"], registry, {"TERVALO_SYSTEMD_DIR": units, "TERVALO_SYSTEMCTL": "true"})
    c.true(r.returncode != 0 and "installation failed" in r.stdout, "installing an existing service fails")
    s = Server(quen, ["-debug", "-portmap"], registry)
    try:
        c.true(wait_for(portmapper_entries) is not None, "first server runs")
        r = run([quen, "-debug", "-portmap"], registry)
        c.true(r.returncode != 0, "exit code of a second server: %d" % r.returncode)
        c.true("inodes.nfs" in r.stdout and "in use" in r.stdout, "second server names the inode table in use")
        if ostel:
            r = run([ostel, "-debug"], registry)
            c.true(r.returncode != 0 and "bind on port 111 failed" in r.stdout,
                   "ostel beside a portmapper fails: %d %r" % (r.returncode, r.stdout[-200:]))
        c.equal(s.stop(signal.SIGINT), 0, "exit code of the first server")
    finally:
        s.close()


def main(args):
    quen = args[0]
    ostel = args[1] if len(args) > 1 else None
    c = nstest.Checks()
    work = tempfile.mkdtemp(prefix="quen-startup-")
    registry = os.path.join(work, "registry.reg")
    expected = [["100000", "2", "tcp", "111"], ["100000", "2", "udp", "111"]]
    # Every start keeps its data (inode table, mount table) in the test's folder.
    own_data = os.path.join(work, "own")
    os.mkdir(own_data)
    base = {"Directory": own_data + "/", "InodePath": own_data + "/inodes.nfs"}
    write_registry(registry, base)
    try:
        # No arguments, not started by a service manager: usage, then the
        # dispatcher fails and the program ends with 0.
        r = subprocess.run([quen], capture_output=True, text=True, timeout=20,
                           env={k: v for k, v in dict(os.environ, TERVALO_REGISTRY=registry).items()
                                if k != "INVOCATION_ID"})
        c.equal(r.returncode, 0, "exit code without arguments")
        c.equal(r.stdout, USAGE, "usage text")
        check_failed_starts(c, quen, ostel, registry, work)

        # Console mode with options in either order; SIGINT stops it once.
        for options in (["-cache", "-portmap"], ["-portmap", "-cache"], ["-PORTMAP"]):
            s = Server(quen, ["-debug"] + options, registry)
            try:
                c.equal(wait_for(portmapper_entries), expected, "rpcinfo -p with -debug %s" % " ".join(options))
                r = subprocess.run(["rpcinfo", "-u", "127.0.0.1", "100000", "2"], capture_output=True, text=True)
                c.true("ready and waiting" in r.stdout, "rpcinfo -u pings the built-in portmapper")
                r = subprocess.run(["rpcinfo", "-t", "127.0.0.1", "100000", "2"], capture_output=True, text=True)
                c.true("ready and waiting" in r.stdout, "rpcinfo -t pings the built-in portmapper")
                c.equal(s.stop(signal.SIGINT), 0, "exit code after SIGINT")
                out = s.output()
                c.true(out.startswith("Debugging NFS Server.\n"), "debug banner: %r" % out[:60])
                c.equal(out.count("Stopping NFS Server.\n"), 1, "stop message count")
                c.true("Tervalo NFS Server 1.2.70\n" in out, "title line on standard output in -debug")
            finally:
                s.close()

        # An argument without '-' ends the option scan.
        s = Server(quen, ["-debug", "later", "-portmap"], registry)
        try:
            time.sleep(1.0)
            c.equal(portmapper_entries(), None, "no portmapper when -portmap follows a plain word")
            # Without a portmapper the start fails, and says so by its status.
            c.true(s.stop(signal.SIGINT) != 0, "exit code after a start without a portmapper")
        finally:
            s.close()

        # Service mode: the service manager's SIGTERM is the STOP control.
        # Settings come from the registry file, edited by hand between starts.
        logdir = os.path.join(work, "logs")
        os.mkdir(logdir)
        write_registry(registry, dict(base, PortMapper="1", LogDir=logdir + "/"))
        s = Server(quen, [], registry, {"TERVALO_SERVICE": "1"})
        try:
            c.equal(wait_for(portmapper_entries), expected, "PortMapper 1 from the registry starts the portmapper")
            c.equal(s.stop(signal.SIGTERM), 0, "exit code after SIGTERM in service mode")
        finally:
            s.close()
        logs = os.listdir(logdir)
        c.equal(logs, [time.strftime("quen%y%m.log")], "log file of this month")
        if logs:
            with open(os.path.join(logdir, logs[0])) as f:
                text = f.read()
            c.true(" Tervalo NFS Server 1.2.70\n" in text, "title line in the log file")
            c.true(" ostel ready on port 111\n" in text, "portmapper ready line in the log file")
            os.unlink(os.path.join(logdir, logs[0]))
        with open(registry) as f:
            c.true('"Path"="Z:\\\\' in f.read(), "the program directory is written back as Path")

        write_registry(registry, dict(base, Log="0", LogDir=logdir + "/"))
        s = Server(quen, [], registry, {"TERVALO_SERVICE": "1"})
        try:
            time.sleep(1.0)
            c.equal(portmapper_entries(), None, "no portmapper by default")
            # The stop arrives while the start still waits for a portmapper:
            # the start finishes first, and its failure is the exit status
            # (5: no portmapper took the registrations).
            c.equal(s.stop(signal.SIGTERM, timeout=60), 5, "exit code of a failed service start with Log 0")
        finally:
            s.close()
        c.equal(os.listdir(logdir), [], "Log 0 writes no file")

        # MOUNT serves the exports file of the data directory.
        data = os.path.join(work, "data")
        share = os.path.join(work, "share")
        os.mkdir(data)
        os.mkdir(share)
        with open(os.path.join(data, "exports"), "w") as f:
            f.write("# test export\n" + "Z:" + share.replace("/", "\\") + " 127.0.0.1\n")
        write_registry(registry, {"Directory": data + "/", "InodePath": data + "/inodes.nfs"})
        s = Server(quen, ["-debug", "-portmap"], registry)
        try:
            entries = wait_for(lambda: [e for e in registrations() or [] if e[0] == "100005"])
            c.equal(sorted(entries or []),
                    sorted([["100005", v, p, "1058"] for v in ("1", "2", "3") for p in ("udp", "tcp")]),
                    "MOUNT versions 1-3 registered over UDP and TCP")
            r = subprocess.run(["showmount", "-e", "127.0.0.1"], capture_output=True, text=True, timeout=20)
            c.equal(r.stdout.splitlines()[1:], ["/z" + share + " 127.0.0.1"], "showmount -e lists the export")
            c.equal(s.stop(signal.SIGINT), 0, "exit code with MOUNT running")
        finally:
            s.close()
        c.true(os.path.exists(os.path.join(data, "inodes.nfs")), "the inode table file is made where InodePath says")
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return c.result()


if __name__ == "__main__":
    nstest.run("startup", main)
