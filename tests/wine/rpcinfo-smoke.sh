#!/usr/bin/env bash
# The Windows programs under Wine answer Linux's rpcinfo: quen -debug -portmap
# and ostel -debug, each in a network namespace of its own. Wine creates
# sockets in its wineserver, so the namespace gets a wineserver of its own.
# Usage: rpcinfo-smoke.sh BINDIR (with quen.exe and ostel.exe). Needs root.
set -u
bindir=$1
. "$(dirname "$0")/wine-env.sh"

check_program() {   # exe args...
  local exe=$1; shift
  local ns="tvwine-$$-${exe%.exe}"
  ip netns add "$ns" || return 1
  ip netns exec "$ns" ip link set lo up
  local out
  out=$(ip netns exec "$ns" bash -c '
      wineserver -p
      timeout 60 "$0" "$@" >/dev/null 2>&1 &
      for i in $(seq 1 100); do
        rpcinfo -p 127.0.0.1 2>/dev/null | grep -q "100000    2   udp    111" && break
        sleep 0.2
      done
      rpcinfo -p 127.0.0.1 2>&1
      rpcinfo -u 127.0.0.1 100000 2 2>&1
      rpcinfo -t 127.0.0.1 100000 2 2>&1
      wineserver -k' "$wine" "$bindir/$exe" "$@")
  end_namespace "$ns"
  if grep -q "100000    2   tcp    111  portmapper" <<<"$out" &&
     grep -q "100000    2   udp    111  portmapper" <<<"$out" &&
     [ "$(grep -c "ready and waiting" <<<"$out")" -eq 2 ]; then
    echo "ok: $exe $* answers rpcinfo under Wine"
  else
    echo "FAIL: $exe $* under Wine:"
    echo "$out"
    failures=$((failures + 1))
  fi
}

check_program quen.exe -debug -portmap
check_program ostel.exe -debug
exit "$failures"
