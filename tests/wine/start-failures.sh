#!/usr/bin/env bash
# The Windows programs under Wine end a failed start with a non-zero status
# and say what failed: quen -debug with no portmapper, a second quen beside
# a running one, ostel while port 111 is taken. In a network namespace with
# a wineserver of its own, as rpcinfo-smoke.sh.
# Usage: start-failures.sh BINDIR (with quen.exe and ostel.exe). Needs root.
set -u
bindir=$1
. "$(dirname "$0")/wine-env.sh"
ns="tvwine-$$-fail"
ip netns add "$ns" || exit 1
ip netns exec "$ns" ip link set lo up
out=$(ip netns exec "$ns" bash -c '
    wine=$0 bin=$1
    wineserver -p </dev/null >/dev/null 2>&1
    # The background services of Wine start with the first program and keep
    # its output open: let them inherit nothing, or each capture below waits.
    "$wine" wineboot </dev/null >/dev/null 2>&1
    o=$(timeout 120 "$wine" "$bin/quen.exe" -debug 2>&1); echo "lone quen status $?"; grep -o "no portmapper answers[^;]*" <<<"$o"
    timeout 120 "$wine" "$bin/quen.exe" -debug -portmap >/dev/null 2>&1 &
    for i in $(seq 1 150); do
      rpcinfo -p 127.0.0.1 2>/dev/null | grep -q "100005" && break
      sleep 0.2
    done
    o=$(timeout 120 "$wine" "$bin/quen.exe" -debug -portmap 2>&1); echo "second quen status $?"; grep -o "inodes.nfs[^:]*is in use" <<<"$o"
    o=$(timeout 120 "$wine" "$bin/ostel.exe" -debug 2>&1); echo "ostel status $?"; grep -o "bind on port 111 failed" <<<"$o"
    wineserver -k' "$wine" "$bindir")
end_namespace "$ns"
expect "lone quen status [1-9]" "quen.exe -debug without a portmapper exits non-zero"
expect "no portmapper answers on 127.0.0.1 port 111" "quen.exe says that no portmapper answers"
expect "second quen status [1-9]" "a second quen.exe exits non-zero"
expect "inodes.nfs.*is in use" "a second quen.exe names the inode table in use"
expect "ostel status [1-9]" "ostel.exe beside a portmapper exits non-zero"
expect "bind on port 111 failed" "ostel.exe says that the bind failed"
[ "$failures" -eq 0 ] || echo "$out"
exit "$failures"
