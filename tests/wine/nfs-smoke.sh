#!/usr/bin/env bash
# The Windows server under Wine serves NFS version 3 to Linux's libnfs
# tools: nfs-ls lists an export, nfs-cat reads a file, nfs-cp copies a file
# up and down byte for byte. In a network namespace with a wineserver of its
# own, as rpcinfo-smoke.sh; the server's data folder is set in the prefix's
# registry for the run and removed again afterwards.
# Usage: nfs-smoke.sh BINDIR (with quen.exe). Needs root.
set -u
bindir=$1
. "$(dirname "$0")/wine-env.sh"
for tool in nfs-ls nfs-cat nfs-cp; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 0; }
done
work=$(mktemp -d /tmp/tvwine-nfs-XXXXXX)
ns="tvwine-$$-nfs"
mkdir -p "$work/data" "$work/share/sub"
printf 'hello from wine\n' >"$work/share/sub/hello.txt"
head -c 3000000 /dev/urandom >"$work/up.bin"
windows() { printf 'Z:%s' "${1//\//\\}"; }
printf '%s -alldirs -maproot:0\r\n' "$(windows "$work/share")" >"$work/data/exports"
url="nfs://127.0.0.1/z$work/share"
ip netns add "$ns" || exit 1
ip netns exec "$ns" ip link set lo up
out=$(ip netns exec "$ns" bash -c '
    wine=$0 bin=$1 work=$2 url=$3 dir=$4
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
    echo "listing: $(nfs-ls "$url/sub/" 2>&1 | tr -s " " | tr "\n" " ")"
    echo "cat: $(nfs-cat "$url/sub/hello.txt" 2>&1)"
    nfs-cp "$work/up.bin" "$url/up.bin" >/dev/null 2>&1 && cmp -s "$work/up.bin" "$work/share/up.bin" && echo "copied up"
    nfs-cp "$url/up.bin" "$work/down.bin" >/dev/null 2>&1 && cmp -s "$work/up.bin" "$work/down.bin" && echo "copied down"
    "$wine" reg delete "$key" /v Directory /f >/dev/null 2>&1
    "$wine" reg delete "$key" /v InodePath /f >/dev/null 2>&1
    wineserver -k' "$wine" "$bindir" "$work" "$url" "$(windows "$work/data")")
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
