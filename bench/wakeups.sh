#!/bin/bash
# What one request costs the server in wake-ups and system calls, counted
# rather than timed (wall-clock figures on a shared machine are noise):
# nfsbench GETATTR with one request in flight against quen in a network
# namespace of its own under `perf stat`: context switches, CPU migrations and
# the futex, poll, recv and send calls (system call trace points, which unlike
# strace do not slow the calls down), each divided by the requests nfsbench
# made. Figures are printed, never asserted.
#
#   usage: bench/wakeups.sh [--secs S] [--only WORKLOAD] [--set NAME=VALUE]...
#
#   --secs S       length of each run (default 3)
#   --only W       nfsbench workload (default getattr; e.g. randread, lookup)
#   --set N=V      a quen setting (registry value); repeatable
#   QUEN=path      the server binary (default build/default/bin/quen of this checkout)
#   NFSBENCH=path  nfsbench (default: built from /work/shared/bench into /tmp/nfsbench-build)
#
# Run as root. Everything started here is stopped on exit (trap).
set -euo pipefail

HERE=$(cd "$(dirname "$0")" && pwd)
REPO=$(cd "$HERE/.." && pwd)
QUEN=${QUEN:-$REPO/build/default/bin/quen}
SECS=3
ONLY=getattr
SETTINGS=()
while [[ $# -gt 0 ]]; do
    case $1 in
    --secs) SECS=$2; shift ;;
    --only) [[ $2 =~ ^[a-z]+$ ]] || { echo "wakeups: bad --only $2" >&2; exit 2; }; ONLY=$2; shift ;;
    --set) [[ $2 =~ ^[A-Za-z0-9_-]+=[0-9A-Za-z_./:-]*$ ]] || { echo "wakeups: bad --set $2" >&2; exit 2; }
           SETTINGS+=("$2"); shift ;;
    -h|--help) sed -n '2,16p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "wakeups: unknown option $1 (--help)" >&2; exit 2 ;;
    esac
    shift
done
[[ $(id -u) == 0 ]] || { echo "wakeups: needs root (ip netns)" >&2; exit 2; }
[[ -x $QUEN ]] || { echo "wakeups: no server binary $QUEN" >&2; exit 2; }
for tool in perf; do command -v $tool > /dev/null || { echo "wakeups: needs $tool" >&2; exit 2; }; done

if [[ -z ${NFSBENCH:-} ]]; then
    NFSBENCH=${NFSBENCH_BUILD:-/tmp/nfsbench-build}/nfsbench
    SRC=/work/shared/bench/nfsbench.cpp
    mkdir -p "$(dirname "$NFSBENCH")"
    [[ -x $NFSBENCH && ! $SRC -nt $NFSBENCH ]] || g++ -std=c++17 -O2 -Wall -Wextra -o "$NFSBENCH" "$SRC" -lnfs
fi

WORK=$(mktemp -d /tmp/nfs-wakeups.XXXXXX)
NS=nfswake-$$
PID=
. "$HERE/quen-namespace.sh"
quen_namespace_trap

mkdir -p "$WORK/data" "$WORK/export"
quen_namespace_files "${SETTINGS[@]}"

ip netns add "$NS"
ip netns exec "$NS" ip link set lo up
TERVALO_REGISTRY=$WORK/registry.reg ip netns exec "$NS" "$QUEN" -debug -portmap > "$WORK/console.log" 2>&1 &
PID=$!
quen_namespace_wait wakeups

# Both variants at one request in flight (-q 1); the requests made are the
# ops column (4th) of nfsbench's rows at qd 1 summed (the WRITE that makes
# the file of a READ workload runs deeper, before the counted part).
bench() {
    ip netns exec "$NS" "$NFSBENCH" -t "$SECS" -q 1 -n 1000 -s 8M --only "$ONLY" \
        "nfs://127.0.0.1/z$WORK/export?nfsport=2049&mountport=1058" > "$WORK/bench.out"
    awk -F'|' '$4 + 0 == 1 && $5 ~ /^ *[0-9]+ *$/ { ops += $5 } END { print ops + 0 }' "$WORK/bench.out"
}

echo "# wakeups $(date -u '+%Y-%m-%d %H:%M UTC'); $(nproc) CPUs; loadavg $(cut -d' ' -f1-3 /proc/loadavg);" \
     "$(git -C "$REPO" rev-parse --short HEAD 2>/dev/null || echo '?'); $ONLY at qd 1; settings: ${SETTINGS[*]:-defaults}"
EVENTS=context-switches,cpu-migrations
for call in futex poll recvfrom sendto; do EVENTS+=,syscalls:sys_enter_$call; done
perf stat -x, -e "$EVENTS" -p "$PID" -o "$WORK/perf.out" &
PERF=$!
sleep 0.5
ops=$(bench)
kill -INT $PERF; wait $PERF 2>/dev/null || true
awk -F'|' '$4 + 0 == 1' "$WORK/bench.out"
awk -F, -v ops="$ops" '$1 ~ /^[0-9]+$/ && ops > 0 {
    sub("syscalls:sys_enter_", "", $3); printf "%-17s %9d = %5.2f per request (%d requests)\n", $3, $1, $1 / ops, ops }' \
    "$WORK/perf.out"
