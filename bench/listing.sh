#!/bin/bash
# READDIRPLUS by directory size: bench/nfs_listing.cpp lists folders of 1 000,
# 20 000 and 100 000 files (made through the server, or with --on-disk on the
# export's disk before the server starts) through quen in a network namespace
# of its own, one request at a time, and prints the best names per second of
# several listings. With --strace, one more listing of each folder runs under
# `strace -f -c` attached to the server, and the system calls per listed name
# are printed. Figures are printed, never asserted.
#
#   usage: bench/listing.sh [--sizes LIST] [--loops N] [--strace] [--on-disk] [--set NAME=VALUE]...
#                           [-- nfs_listing options]
#
#   --sizes LIST  comma list of folder sizes (default 1000,20000,100000)
#   --loops N     listings per folder, the best one counts (default 3)
#   --strace      count the server's system calls over one listing per folder
#   --on-disk     make the files on the disk (quicker; the stand-in then reads one
#                 more call per file, as they lack the creation time it keeps)
#   --set N=V     a quen setting (registry value); repeatable
#   QUEN=path     the server binary (default build/default/bin/quen of this checkout)
#
# Run as root. Everything started here is stopped on exit (trap).
# Exit status: 0 every listing verified, 1 a wrong listing, 2 the server or tool could not be run.
set -euo pipefail

HERE=$(cd "$(dirname "$0")" && pwd)
REPO=$(cd "$HERE/.." && pwd)
QUEN=${QUEN:-$REPO/build/default/bin/quen}
SIZES=1000,20000,100000
LOOPS=3
STRACE=0
ON_DISK=0
declare -A SET=()
ARGS=()
while [[ $# -gt 0 ]]; do
    case $1 in
    --sizes) [[ $2 =~ ^[0-9]+(,[0-9]+)*$ ]] || { echo "listing: bad --sizes $2" >&2; exit 2; }; SIZES=$2; shift ;;
    --loops) [[ $2 =~ ^[1-9][0-9]*$ ]] || { echo "listing: bad --loops $2" >&2; exit 2; }; LOOPS=$2; shift ;;
    --strace) STRACE=1 ;;
    --on-disk) ON_DISK=1 ;;
    --set) [[ $2 =~ ^[A-Za-z0-9_-]+=[0-9A-Za-z_./:-]*$ ]] || { echo "listing: bad --set $2" >&2; exit 2; }
           SET[${2%%=*}]=${2#*=}; shift ;;
    --) shift; ARGS=("$@"); break ;;
    -h|--help) sed -n '2,22p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "listing: unknown option $1 (--help)" >&2; exit 2 ;;
    esac
    shift
done
[[ $(id -u) == 0 ]] || { echo "listing: needs root (ip netns)" >&2; exit 2; }
[[ -x $QUEN ]] || { echo "listing: no server binary $QUEN (cmake --build --preset default --target quen)" >&2; exit 2; }
[[ $STRACE == 0 ]] || command -v strace > /dev/null || { echo "listing: --strace needs strace" >&2; exit 2; }

BUILD=${NFS_LISTING_BUILD:-/tmp/nfs-listing-build}
mkdir -p "$BUILD"
if [[ ! -x $BUILD/nfs_listing || $HERE/nfs_listing.cpp -nt $BUILD/nfs_listing ]]; then
    g++ -std=c++17 -O2 -Wall -Wextra -o "$BUILD/nfs_listing" "$HERE/nfs_listing.cpp" -lnfs
fi

WORK=$(mktemp -d /tmp/nfs-listing.XXXXXX)
NS=nfslisting-$$
PID=
. "$HERE/quen-namespace.sh"
quen_namespace_trap

mkdir -p "$WORK/data" "$WORK/export"
IFS=, read -ra sizes <<< "$SIZES"
if [[ $ON_DISK == 1 ]]; then
    for n in "${sizes[@]}"; do
        mkdir "$WORK/export/d$n"
        (cd "$WORK/export/d$n" && seq -f 'f%07g' 1 "$n" | xargs touch)
    done
fi
settings_args=()
for k in "${!SET[@]}"; do settings_args+=("$k=${SET[$k]}"); done
quen_namespace_files "${settings_args[@]}"

ip netns add "$NS"
ip netns exec "$NS" ip link set lo up
TERVALO_REGISTRY=$WORK/registry.reg ip netns exec "$NS" "$QUEN" -debug -portmap > "$WORK/console.log" 2>&1 &
PID=$!   # ip netns exec execs the server: this is the server's own process
quen_namespace_wait listing

URL="nfs://127.0.0.1/z$WORK/export"
folders=()
for n in "${sizes[@]}"; do folders+=("/d$n=$n"); done
settings=$(for k in "${!SET[@]}"; do printf '%s=%s ' "$k" "${SET[$k]}"; done)
echo "# listing $(date -u '+%Y-%m-%d %H:%M UTC'); $(nproc) CPUs; loadavg $(cut -d' ' -f1-3 /proc/loadavg);" \
     "$(git -C "$REPO" rev-parse --short HEAD 2>/dev/null || echo '?'); quen settings: ${settings:-defaults}"
rc=0
make=()
[[ $ON_DISK == 1 ]] || make=(-c)
ip netns exec "$NS" "$BUILD/nfs_listing" "${make[@]}" -p "$PID" -l "$LOOPS" "${ARGS[@]}" "$URL" "${folders[@]}" || rc=$?
if [[ $STRACE == 1 && $rc == 0 ]]; then
    echo
    echo "| folder | system calls per name (strace -f -c, one listing) | top calls |"
    echo "|---|---:|---|"
    for f in "${folders[@]}"; do
        strace -f -c -p "$PID" -o "$WORK/strace.txt" 2> /dev/null &
        spid=$!
        sleep 1   # strace attaches to every thread before the listing starts
        ip netns exec "$NS" "$BUILD/nfs_listing" -l 1 "${ARGS[@]}" "$URL" "$f" > /dev/null || rc=$?
        kill -INT "$spid"
        wait "$spid" 2> /dev/null || true
        # strace -c rows: % time, seconds, usecs/call, calls, [errors,] name.
        total=$(awk '$NF == "total" {print $4}' "$WORK/strace.txt")
        top=$(awk '$1 ~ /^[0-9.]+$/ && $NF != "total" {print $NF ":" $4}' "$WORK/strace.txt" |
              sort -t: -k2 -nr | head -6 | tr '\n' ' ')
        printf '| %s | %.2f | %s |\n' "${f%%=*}" "$(echo "${total:-0} / ${f#*=}" | bc -l)" "$top"
    done
fi
grep -i 'error\|fail\|exception' "$WORK/console.log" | sort | uniq -c | head -10 || true
exit $rc
