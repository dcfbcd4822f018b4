#!/bin/bash
# The server of this checkout at scale: bench/nfs_scale.cpp against quen in a
# network namespace of its own. GETATTR and 64 KiB READ throughput on 1 and 64
# TCP connections (4 requests in flight each), then again with 1000 idle
# clients connected from 1000 addresses; the server's memory and threads at
# each step. Figures are printed, never asserted.
#
#   usage: bench/scale.sh [--secs S] [--set NAME=VALUE]... [-- nfs_scale options]
#
#   --secs S     length of each run (default 3)
#   --set N=V    a quen setting (registry value); repeatable. The defaults here:
#                Datasize=65536 (64 KiB READs) and TCPconnections=2048 (the
#                1064 connections of the run are over the default limit of 512)
#   QUEN=path    the server binary (default build/default/bin/quen of this checkout)
#
# Run as root. Everything started here is stopped on exit (trap).
# Exit status: 0 every reply verified, 1 a wrong reply, 2 the server or tool could not be run.
set -euo pipefail

HERE=$(cd "$(dirname "$0")" && pwd)
REPO=$(cd "$HERE/.." && pwd)
QUEN=${QUEN:-$REPO/build/default/bin/quen}
SECS=3
declare -A SET=([Datasize]=65536 [TCPconnections]=2048)
ARGS=()
while [[ $# -gt 0 ]]; do
    case $1 in
    --secs) SECS=$2; shift ;;
    --set) [[ $2 =~ ^[A-Za-z0-9_-]+=[0-9A-Za-z_./:-]*$ ]] || { echo "scale: bad --set $2" >&2; exit 2; }
           SET[${2%%=*}]=${2#*=}; shift ;;
    --) shift; ARGS=("$@"); break ;;
    -h|--help) sed -n '2,16p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "scale: unknown option $1 (--help)" >&2; exit 2 ;;
    esac
    shift
done
[[ $(id -u) == 0 ]] || { echo "scale: needs root (ip netns)" >&2; exit 2; }
[[ -x $QUEN ]] || { echo "scale: no server binary $QUEN (cmake --build --preset default --target quen)" >&2; exit 2; }

BUILD=${NFS_SCALE_BUILD:-/tmp/nfs-scale-build}
mkdir -p "$BUILD"
if [[ ! -x $BUILD/nfs_scale || $HERE/nfs_scale.cpp -nt $BUILD/nfs_scale ]]; then
    g++ -std=c++17 -O2 -g -Wall -Wextra -o "$BUILD/nfs_scale" "$HERE/nfs_scale.cpp" -lnfs
fi

WORK=$(mktemp -d /tmp/nfs-scale.XXXXXX)
NS=nfsscale-$$
PID=
. "$HERE/quen-namespace.sh"
quen_namespace_trap

mkdir -p "$WORK/data" "$WORK/export"
settings_args=()
for k in "${!SET[@]}"; do settings_args+=("$k=${SET[$k]}"); done
quen_namespace_files "${settings_args[@]}"

ip netns add "$NS"
ip netns exec "$NS" ip link set lo up
# Without a preferred source, a connection to 127.0.1.x comes from 127.0.1.x:
# every active connection has an address of its own.
ip netns exec "$NS" ip route add local 127.0.1.0/24 dev lo table local
TERVALO_REGISTRY=$WORK/registry.reg ip netns exec "$NS" "$QUEN" -debug -portmap > "$WORK/console.log" 2>&1 &
PID=$!   # ip netns exec execs the server: this is the server's own process
quen_namespace_wait scale

settings=$(for k in "${!SET[@]}"; do printf '%s=%s ' "$k" "${SET[$k]}"; done)
echo "# scale $(date -u '+%Y-%m-%d %H:%M UTC'); $(nproc) CPUs; loadavg $(cut -d' ' -f1-3 /proc/loadavg);" \
     "$(git -C "$REPO" rev-parse --short HEAD 2>/dev/null || echo '?'); quen settings: $settings"
rc=0
start=$(date +%s)
ip netns exec "$NS" "$BUILD/nfs_scale" -t "$SECS" -p "$PID" "${ARGS[@]}" "/z$WORK/export" || rc=$?
echo "# run took $(($(date +%s) - start)) s; server log: $(grep -c 'too many connections' "$WORK/console.log" || true)" \
     "\"too many connections\" lines; server still running: $(kill -0 "$PID" 2>/dev/null && echo yes || echo NO)"
grep -v 'too many connections' "$WORK/console.log" | grep -i 'error\|fail\|exception' | sort | uniq -c | head -10 || true
exit $rc
