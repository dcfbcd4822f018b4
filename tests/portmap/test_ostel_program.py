#!/usr/bin/env python3
"""The daemon program: usage text, installation and removal (against a fake
systemctl), and its log as a service: level from the server's key, file
"pmap%y%m.log" in the daemon's data directory.

usage: test_ostel_program.py OSTEL
"""
import os
import shutil
import signal
import stat
import subprocess
import tempfile
import time

import pmapwire as pw
from pmapwire import nstest

USAGE = ("OSTEL -install <group> to install the service\n"
         "              <group> = Load order service group\n"
         "OSTEL -remove          to remove the service\n"
         "OSTEL -debug           to run the service as a console application\n"
         "\nStartServiceCtrlDispatcher being called.\n"
         "This may take several seconds.  Please wait.\n")
TITLE = "Tervalo SunRPC Portmap Daemon 1.3"
FAKE_SYSTEMCTL = """#!/bin/sh
d=$(dirname "$0")
printf '%s\\n' "$*" >> "$d/calls"
case "$1" in
  start) touch "$d/active" ;;
  stop) rm -f "$d/active" ;;
  is-active) if [ -e "$d/active" ]; then echo active; exit 0; fi; echo inactive; exit 3 ;;
esac
exit 0
"""


def clean_env(**extra):
    env = {k: v for k, v in os.environ.items()
           if k not in ("INVOCATION_ID", "TERVALO_SERVICE", "NOTIFY_SOCKET", "TERVALO_REGISTRY")}
    env.update(extra)
    return env


def run(cmd, env, timeout=30):
    p = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout, env=env)
    return p.returncode, p.stdout


def check_usage(c, ostel_bin, work):
    env = clean_env(TERVALO_REGISTRY=os.path.join(work, "empty.reg"))
    for args in ([], ["-bogus"], ["install"]):
        rc, out = run([ostel_bin] + args, env)
        c.equal((rc, out), (0, USAGE), "usage for %r" % args)


def check_install(c, ostel_bin, work):
    units = os.path.join(work, "units")
    os.makedirs(units)
    systemctl = os.path.join(work, "systemctl")
    with open(systemctl, "w") as f:
        f.write(FAKE_SYSTEMCTL)
    os.chmod(systemctl, stat.S_IRWXU)
    env = clean_env(TERVALO_SYSTEMD_DIR=units, TERVALO_SYSTEMCTL=systemctl)
    unit_path = os.path.join(units, "OstelDaemon.service")

    rc, out = run([ostel_bin, "-install", "PortmapGroup"], env)
    c.equal((rc, out), (0, "SunRPC Portmap Daemon installed.\nSunRPC Portmap Daemon started.\n"), "-install")
    unit = open(unit_path).read() if os.path.exists(unit_path) else ""
    for line in ("Description=SunRPC Portmap Daemon\n", "After=network-online.target\n",
                 "X-LoadOrderGroup=PortmapGroup\n", "X-Description=Implements SunRPC PortMapper for NFS\n",
                 "ExecStart=%s\n" % os.path.realpath(ostel_bin)):
        c.true(line in unit, "unit file has %r:\n%s" % (line, unit))
    with open(os.path.join(work, "calls")) as f:
        c.true("start OstelDaemon.service\n" in f.read(), "the service was started")

    rc, out = run([ostel_bin, "-install"], env)
    c.true(rc != 0 and "SunRPC Portmap Daemon service installation failed - " in out, "second -install: %r" % out)

    rc, out = run([ostel_bin, "-REMOVE"], env)
    c.equal((rc, out), (0, "Stopping SunRPC Portmap Daemon.\nSunRPC Portmap Daemon stopped.\n"
                         "SunRPC Portmap Daemon deleted.\n"), "-remove of the running service")
    c.true(not os.path.exists(unit_path), "unit file removed")
    rc, out = run([ostel_bin, "-remove"], env)
    c.true(rc != 0 and out.startswith("SunRPC Portmap Daemon failed to access service - "), "second -remove: %r" % out)

    rc, out = run([ostel_bin, "-Install"], env)
    unit = open(unit_path).read() if os.path.exists(unit_path) else ""
    c.true(rc == 0 and "installed." in out and "X-LoadOrderGroup" not in unit and "network-online" in unit,
           "-install without a group: %r\n%s" % (out, unit))


def registry(path, log=None, directory=None):
    text = "Windows Registry Editor Version 5.00\n\n"
    if log is not None:
        text += '[HKEY_LOCAL_MACHINE\\Software\\Tervalo\\quen]\n"Log"="%s"\n\n' % log
    if directory is not None:
        text += '[HKEY_LOCAL_MACHINE\\Software\\Tervalo\\ostel]\n"Directory"="%s"\n\n' % directory
    with open(path, "w") as f:
        f.write(text)


def log_names():
    """This month's file name (both names when the month turns meanwhile)."""
    return {time.strftime("pmap%y%m.log"), time.strftime("pmap%y%m.log", time.localtime(time.time() + 5))}


def as_service(c, binary, reg, tag, calls=()):
    """Runs the daemon as a started service, makes the calls and stops it
    with SIGTERM. Its standard output."""
    env = clean_env(TERVALO_SERVICE="1", TERVALO_REGISTRY=reg)
    with pw.ostel(binary, args=(), env=env) as o:
        with pw.client("udp") as u:
            for proc, args in calls:
                u.call(proc, args)
        c.equal(o.stop(signal.SIGTERM), 0, "%s: exit code after the STOP control" % tag)
        return o.output()


def files_named(folder):
    return sorted(n for n in os.listdir(folder) if n.startswith("pmap")) if os.path.isdir(folder) else []


def check_service_log(c, ostel_bin, work):
    data = os.path.join(work, "data")
    os.makedirs(data)
    reg = os.path.join(work, "service.reg")

    # No "Log" in the server's key: nothing is logged, although the server's default is 1.
    registry(reg, directory=data)
    out = as_service(c, ostel_bin, reg, "no Log")
    c.equal(files_named(data), [], "no Log value: no file")
    c.equal(out, USAGE, "no Log value: only the usage text")

    # Level 1 in a directory named without its trailing separator.
    registry(reg, log="1", directory=data)
    out = as_service(c, ostel_bin, reg, "Log 1", [(pw.SET, b"\0" * 12)])
    names = files_named(data)
    c.true(len(names) == 1 and names[0] in log_names(), "Log 1: the month's file: %r" % names)
    text = open(os.path.join(data, names[0])).read() if names else ""
    lines = text.splitlines()
    c.true(len(lines) == 2 and lines[0].endswith(" ostel ready on port 111")
           and lines[1].endswith(" ostel: rpc pmap_set with invalid arguments"), "Log 1 file: %r" % text)
    c.true(len(lines[0]) == 19 + len(" ostel ready on port 111") if lines else False, "time stamp of 19 characters")
    c.equal(out, USAGE, "Log 1: nothing on standard output but the usage text")

    # Level 2: the title lines, appended to the same file.
    registry(reg, log="2", directory=data + "/")
    as_service(c, ostel_bin, reg, "Log 2")
    text2 = open(os.path.join(data, names[0])).read() if names else ""
    added = text2[len(text):]
    c.true(text2.startswith(text), "Log 2 appends")
    parts = added.split("\n")
    c.true(len(parts) == 5 and parts[0] == "" and parts[1].endswith(" %s log started" % TITLE)
           and parts[2].endswith(" " + TITLE) and parts[3].endswith(" ostel ready on port 111") and parts[4] == "",
           "Log 2 lines: %r" % added)

    # A directory that does not exist: logging is off, the service runs.
    registry(reg, log="2", directory=os.path.join(work, "missing"))
    out = as_service(c, ostel_bin, reg, "missing directory", [(pw.NULL, b"")])
    c.equal(out, USAGE, "missing directory: nothing logged")

    # Without "Directory" the file goes beside the program.
    prog = os.path.join(work, "prog")
    os.makedirs(prog)
    copy = os.path.join(prog, "ostel")
    shutil.copy2(ostel_bin, copy)
    registry(reg, log="1")
    as_service(c, copy, reg, "program directory")
    names = files_named(prog)
    c.true(len(names) == 1 and names[0] in log_names(), "file in the program directory: %r" % names)

    # -debug raises the level to 2 and writes to the console.
    registry(reg, log="0", directory=data)
    before = files_named(data)
    with pw.ostel(ostel_bin, env=clean_env(TERVALO_REGISTRY=reg)) as o:
        c.equal(o.stop(), 0, "-debug exit code")
        out = o.output()
    c.true(out.startswith("Debugging SunRPC Portmap Daemon.\n") and (" %s\n" % TITLE) in out
           and " ostel ready on port 111\n" in out and "log started" not in out, "-debug output: %r" % out)
    c.equal(files_named(data), before, "-debug writes no file")


def main(args):
    ostel_bin = args[0]
    c = nstest.Checks()
    work = tempfile.mkdtemp(prefix="ostel-program-")
    try:
        check_usage(c, ostel_bin, work)
        check_install(c, ostel_bin, work)
        check_service_log(c, ostel_bin, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return c.result()


if __name__ == "__main__":
    nstest.run("ostelprogram", main)
