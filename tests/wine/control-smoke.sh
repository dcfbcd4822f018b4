#!/usr/bin/env bash
# The Windows server under Wine answers its named pipe: quenctl.exe lists
# the exports as showmount -e does, prints the live settings, and an unknown
# log file is reported as such. In a network namespace with a wineserver of
# its own, as nfs-smoke.sh.
# Usage: control-smoke.sh BINDIR (with quen.exe and quenctl.exe). Needs root.
set -u
bindir=$1
. "$(dirname "$0")/wine-env.sh"
command -v showmount >/dev/null || { echo "SKIP: showmount is not installed"; exit 0; }
work=$(mktemp -d /tmp/tvwine-ctl-XXXXXX)
ns="tvwine-$$-ctl"
mkdir -p "$work/data" "$work/one" "$work/two"
windows() { printf 'Z:%s' "${1//\//\\}"; }
printf '%s\r\n%s 127.0.0.1\r\n' "$(windows "$work/one")" "$(windows "$work/two")" >"$work/data/exports"
ip netns add "$ns" || exit 1
ip netns exec "$ns" ip link set lo up
out=$(ip netns exec "$ns" bash -c '
    wine=$0 bin=$1 work=$2 dir=$3
    key="HKLM\\Software\\Tervalo\\quen"
    wineserver -p </dev/null >/dev/null 2>&1
    "$wine" wineboot </dev/null >/dev/null 2>&1
    "$wine" reg add "$key" /v Directory /t REG_SZ /d "$dir\\" /f >/dev/null 2>&1
    "$wine" reg add "$key" /v InodePath /t REG_SZ /d "$dir\\inodes.nfs" /f >/dev/null 2>&1
    timeout 120 "$wine" "$bin/quen.exe" -debug -portmap </dev/null >"$work/server.out" 2>&1 &
    for i in $(seq 1 300); do
      rpcinfo -p 127.0.0.1 2>/dev/null | grep -q "100003    3   tcp" && break
      sleep 0.2
    done
    sleep 0.5
    echo "showmount: $(showmount -e 127.0.0.1 2>&1 | tail -n +2 | tr -d "\r" | tr "\n" "|")"
    echo "quenctl: $(timeout 30 "$wine" "$bin/quenctl.exe" exports 2>&1 | tr -d "\r" | tr "\n" "|")"
    echo "settings: $(timeout 30 "$wine" "$bin/quenctl.exe" settings 2>&1 | tr -d "\r" | grep -E "^(Port|Mount-Port)=" | tr "\n" " ")"
    timeout 30 "$wine" "$bin/quenctl.exe" log nosuch.log >/dev/null 2>&1; echo "missing log: $?"
    "$wine" reg delete "$key" /v Directory /f >/dev/null 2>&1
    "$wine" reg delete "$key" /v InodePath /f >/dev/null 2>&1
    wineserver -k' "$wine" "$bindir" "$work" "$(windows "$work/data")")
ip netns pids "$ns" | xargs -r kill -9 2>/dev/null
ip netns del "$ns"
failures=0
expect() {   # pattern description
  if grep -Eq "$1" <<<"$out"; then echo "ok: $2"; else echo "FAIL: $2"; failures=$((failures + 1)); fi
}
shown=$(sed -n 's/^showmount: //p' <<<"$out")
expect "^quenctl: $(printf '%s' "$shown" | sed 's/[][\.*^$()+?{}|]/\\&/g')\$" "quenctl.exe exports lists what showmount -e lists"
expect "^quenctl: /z[^ ]*/one +\(everyone\)\|/z[^ ]*/two +127\.0\.0\.1\|$" "both exports with their clients"
expect "settings: Port=2049 Mount-Port=1058" "quenctl.exe settings over the named pipe"
expect "missing log: 1" "an unknown log file is refused"
if [ "$failures" -ne 0 ]; then
  echo "$out"
  tail -20 "$work/server.out"
fi
rm -rf "$work"
exit "$failures"
