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
mkdir -p "$work/bin" "$work/one" "$work/two"
printf '%s\r\n%s 127.0.0.1\r\n' "$(windows "$work/one")" "$(windows "$work/two")" >"$work/bin/exports"
ip netns add "$ns" || exit 1
ip netns exec "$ns" ip link set lo up
out=$(ip netns exec "$ns" bash -c '
    wine=$0 bin=$1 work=$2
    . "$3/serve-quen.sh"
    serve_quen "$wine" "$bin" "$work"
    sleep 0.5
    echo "showmount: $(showmount -e 127.0.0.1 2>&1 | tail -n +2 | tr -d "\r" | tr "\n" "|")"
    echo "quenctl: $(timeout 30 "$wine" "$work/bin/quenctl.exe" exports 2>&1 | tr -d "\r" | tr "\n" "|")"
    echo "settings: $(timeout 30 "$wine" "$work/bin/quenctl.exe" settings 2>&1 | tr -d "\r" | grep -E "^(Port|Mount-Port)=" | tr "\n" " ")"
    timeout 30 "$wine" "$work/bin/quenctl.exe" log nosuch.log >/dev/null 2>&1; echo "missing log: $?"
    unserve_quen' "$wine" "$bindir" "$work" "$(cd "$(dirname "$0")" && pwd)")
end_namespace "$ns"
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
