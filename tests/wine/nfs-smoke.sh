#!/usr/bin/env bash
# The Windows server under Wine serves NFS version 3 to Linux's libnfs
# tools: nfs-ls lists an export, nfs-cat reads a file, nfs-cp copies a file
# up and down byte for byte. In a network namespace with a wineserver of its
# own, as rpcinfo-smoke.sh; the server runs from a folder of the test's own.
# Usage: nfs-smoke.sh BINDIR (with quen.exe). Needs root.
set -u
bindir=$1
. "$(dirname "$0")/wine-env.sh"
for tool in nfs-ls nfs-cat nfs-cp; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 0; }
done
work=$(mktemp -d /tmp/tvwine-nfs-XXXXXX)
ns="tvwine-$$-nfs"
mkdir -p "$work/bin" "$work/share/sub"
printf 'hello from wine\n' >"$work/share/sub/hello.txt"
head -c 3000000 /dev/urandom >"$work/up.bin"
printf '%s -alldirs -maproot:0\r\n' "$(windows "$work/share")" >"$work/bin/exports"
url="nfs://127.0.0.1/z$work/share"
ip netns add "$ns" || exit 1
ip netns exec "$ns" ip link set lo up
out=$(ip netns exec "$ns" bash -c '
    wine=$0 bin=$1 work=$2 url=$3
    . "$4/serve-quen.sh"
    serve_quen "$wine" "$bin" "$work"
    echo "listing: $(nfs-ls "$url/sub/" 2>&1 | tr -s " " | tr "\n" " ")"
    echo "cat: $(nfs-cat "$url/sub/hello.txt" 2>&1)"
    nfs-cp "$work/up.bin" "$url/up.bin" >/dev/null 2>&1 && cmp -s "$work/up.bin" "$work/share/up.bin" && echo "copied up"
    nfs-cp "$url/up.bin" "$work/down.bin" >/dev/null 2>&1 && cmp -s "$work/up.bin" "$work/down.bin" && echo "copied down"
    unserve_quen' "$wine" "$bindir" "$work" "$url" "$(cd "$(dirname "$0")" && pwd)")
end_namespace "$ns"
expect "listing: .*hello.txt" "nfs-ls lists the export served by quen.exe"
expect "cat: hello from wine" "nfs-cat reads a file"
expect "copied up" "nfs-cp writes a 3 MB file byte for byte"
expect "copied down" "nfs-cp reads it back byte for byte"
if [ "$failures" -ne 0 ]; then
  echo "$out"
  tail -20 "$work/server.out"
fi
rm -rf "$work"
exit "$failures"
