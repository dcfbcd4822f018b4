#!/bin/bash
# The server of this checkout against nfs-ganesha on the same machine, in one run:
# nfsbench (NFSv3 over TCP, loopback) against quen with "Datasize" 8192, 262144 and
# 1048576 and against ganesha, alternating, several rounds; then the medians per
# workload, the ratio quen/ganesha, the server's CPU per operation, and the physical
# limits (loopback TCP with iperf3, disk writes with dd conv=fdatasync) measured in
# the same run. Figures are printed, never asserted.
#
#   usage: bench/nfs-vs-ganesha.sh [--quick] [--rounds N] [--datasizes LIST] [--out DIR]
#                                  [--no-ganesha] [-- nfsbench options]
#
#   --quick      a few seconds per workload, one round, quen at the default "Datasize",
#                and ganesha too when it is installed (nothing is installed)
#   --rounds N   rounds of all servers (default 3; the order rotates every round)
#   --datasizes  comma list of quen "Datasize" values (default 8192,262144,1048576)
#   --out DIR    keep every nfsbench output there (default: a temporary folder, removed)
#   --set N=V    one more quen setting (registry value), e.g. --set DirCount=2; repeatable
#   QUEN=path    the server binary (default build/default/bin/quen of this checkout)
#   NFSBENCH_SHARED=dir   the folder with nfsbench.cpp and run-ganesha.sh
#
# Run as root. Each server runs in a network namespace of its own with its data and
# export in a temporary folder; everything started here is stopped on exit (trap).
# Exit status: 0 when every run verified all replies, 1 when nfsbench reported a
# wrong answer, 2 when a server or tool could not be run.
set -euo pipefail

HERE=$(cd "$(dirname "$0")" && pwd)
REPO=$(cd "$HERE/.." && pwd)
QUEN=${QUEN:-$REPO/build/default/bin/quen}
QUICK=0 ROUNDS=3 DATASIZES=8192,262144,1048576 OUT= GANESHA=1
BENCH_ARGS=()
SETTINGS=()
while [[ $# -gt 0 ]]; do
    case $1 in
    --quick) QUICK=1 ;;
    --rounds) ROUNDS=$2; shift ;;
    --datasizes) DATASIZES=$2; shift ;;
    --out) OUT=$2; shift ;;
    --set) [[ $2 =~ ^[A-Za-z0-9_-]+=[0-9A-Za-z_./:-]*$ ]] || { echo "nfs-vs-ganesha: bad --set $2" >&2; exit 2; }
           SETTINGS+=("$2"); shift ;;
    --no-ganesha) GANESHA=0 ;;
    --) shift; BENCH_ARGS=("$@"); break ;;
    -h|--help) sed -n '2,25p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "nfs-vs-ganesha: unknown option $1 (--help)" >&2; exit 2 ;;
    esac
    shift
done
[[ $(id -u) == 0 ]] || { echo "nfs-vs-ganesha: needs root (ip netns)" >&2; exit 2; }
[[ -x $QUEN ]] || { echo "nfs-vs-ganesha: no server binary $QUEN (cmake --build build/default --target quen)" >&2; exit 2; }

SHARED=${NFSBENCH_SHARED:-}
if [[ -z $SHARED ]]; then
    for d in "$REPO/../shared/bench" "$REPO/../../shared/bench" /work/shared/bench; do
        [[ -f $d/nfsbench.cpp ]] && { SHARED=$(cd "$d" && pwd); break; }
    done
fi
[[ -n $SHARED && -f $SHARED/nfsbench.cpp ]] || { echo "nfs-vs-ganesha: nfsbench.cpp not found (NFSBENCH_SHARED)" >&2; exit 2; }

have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
install_pkgs() {
    local missing=() p
    for p in "$@"; do have_pkg "$p" || missing+=("$p"); done
    [[ ${#missing[@]} -eq 0 ]] && return 0
    echo "# installing ${missing[*]}" >&2
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq >&2 && apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
}

if [[ $QUICK == 1 ]]; then
    ROUNDS=1
    DATASIZES=8192
    have_pkg nfs-ganesha-vfs || GANESHA=0
    # A few seconds per workload; the 8 KiB size is the one the default "Datasize" allows.
    DEFAULT_ARGS=(-t 1 -n 300 -s 64M -i 1M,64K,8K --rdp-loops 2)
    IPERF_SECS=1 DD_MIB=128
else
    install_pkgs g++ libnfs-dev iperf3 iproute2 util-linux
    [[ $GANESHA == 0 ]] || install_pkgs nfs-ganesha nfs-ganesha-vfs rpcbind
    # 1000 files: the directory workloads of this build grow with the directory's size
    # (see README, Performance), and 10000 would take most of an hour.
    DEFAULT_ARGS=(-t 3 -n 1000 -s 512M -i 1M,256K,64K,8K)
    IPERF_SECS=5 DD_MIB=1024
fi
[[ ${#BENCH_ARGS[@]} -gt 0 ]] || BENCH_ARGS=("${DEFAULT_ARGS[@]}")

export NFSBENCH_BUILD=${NFSBENCH_BUILD:-/tmp/nfsbench-build}
NFSBENCH=$NFSBENCH_BUILD/nfsbench
mkdir -p "$NFSBENCH_BUILD"
if [[ ! -x $NFSBENCH || $SHARED/nfsbench.cpp -nt $NFSBENCH ]]; then
    g++ -std=c++17 -O2 -g -Wall -Wextra -o "$NFSBENCH" "$SHARED/nfsbench.cpp" -lnfs
fi

# ---- everything this script starts, and its clean-up ----------------------
WORK=$(mktemp -d /tmp/nfs-vs-ganesha.XXXXXX)
NS=nfsvs-$$
NAMESPACES=()
KEEP_OUT=1
[[ -n $OUT ]] || { OUT=$WORK/out; KEEP_OUT=0; }
mkdir -p "$OUT"

stop_namespace() {   # stop_namespace NAME: end what runs in it, then delete it
    local ns=$1 pids i
    for i in 1 2 3; do
        pids=$(ip netns pids "$ns" 2>/dev/null || true)
        [[ -n $pids ]] || break
        # shellcheck disable=SC2086
        kill $([[ $i == 3 ]] && echo -9) $pids 2>/dev/null || true
        sleep 1
    done
    ip netns del "$ns" 2>/dev/null || true
}
cleanup() {
    local ns
    [[ -z ${CHILD:-} ]] || kill "$CHILD" 2>/dev/null || true
    # run-ganesha.sh cleans up after itself, unless it was stopped with us.
    for ns in "${NAMESPACES[@]}" "$NS-ganesha"; do [[ -z $ns ]] || stop_namespace "$ns"; done
    [[ -z ${CHILD:-} ]] || wait "$CHILD" 2>/dev/null || true
    if [[ $KEEP_OUT == 1 ]]; then
        find "$WORK" -mindepth 1 -maxdepth 1 ! -name out -exec rm -rf {} + 2>/dev/null || true
        rmdir "$WORK" 2>/dev/null || true
    else
        rm -rf "$WORK"
    fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

new_namespace() {   # new_namespace NAME
    ip netns add "$1"
    NAMESPACES+=("$1")
    ip netns exec "$1" ip link set lo up
}

# A child in the background and waited for, so that a signal reaches the trap at once.
CHILD=
child() {
    local rc=0
    "$@" &
    CHILD=$!
    wait "$CHILD" || rc=$?
    CHILD=
    return $rc
}

wait_for() {   # wait_for SECONDS CMD...
    local tries=$(($1 * 10)) i; shift
    for ((i = 0; i < tries; i++)); do
        "$@" >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    return 1
}

# ---- physical limits --------------------------------------------------------
limits() {
    local ns=$NS-limits
    if command -v iperf3 >/dev/null; then
        new_namespace "$ns"
        ip netns exec "$ns" iperf3 -s -p 5201 >/dev/null 2>&1 &
        wait_for 5 bash -c "ip netns exec $ns ss -Hltn 'sport = 5201' | grep -q ." || true
        child ip netns exec "$ns" iperf3 -c 127.0.0.1 -p 5201 -t "$IPERF_SECS" -J > "$WORK/iperf.json" 2>/dev/null || true
        python3 - "$WORK/iperf.json" <<'EOF' || echo "limit | loopback TCP (iperf3) | failed"
import json, sys
d = json.load(open(sys.argv[1]))
bps = d["end"]["sum_received"]["bits_per_second"]
print("limit | loopback TCP (iperf3, 1 stream) | %.0f MiB/s" % (bps / 8 / 2**20))
EOF
        stop_namespace "$ns"
    else
        echo "limit | loopback TCP (iperf3) | iperf3 not installed"
    fi
    # Disk: the file system the exports live on (/tmp), with the data on the disk at the end.
    local rate
    rate=$(LC_ALL=C dd if=/dev/zero of="$WORK/dd.bin" bs=1M count="$DD_MIB" conv=fdatasync 2>&1 | tail -1)
    rm -f "$WORK/dd.bin"
    echo "limit | disk write, dd bs=1M count=$DD_MIB conv=fdatasync | ${rate##*, }"
}

# ---- one nfsbench run per server ----------------------------------------------
run_quen() {   # run_quen DATASIZE OUTFILE
    local ds=$1 out=$2 ns=$NS-quen dir=$WORK/quen rc=0 pid
    rm -rf "$dir"
    mkdir -p "$dir/data" "$dir/export"
    printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Tervalo\\quen]\r\n"Directory"="%s/data/"\r\n"InodePath"="%s/data/inodes.nfs"\r\n"LogDir"="%s/data/"\r\n"Datasize"="%s"\r\n' \
        "$dir" "$dir" "$dir" "$ds" > "$dir/registry.reg"
    local kv
    for kv in "${SETTINGS[@]}"; do printf '"%s"="%s"\r\n' "${kv%%=*}" "${kv#*=}" >> "$dir/registry.reg"; done
    printf 'Z:%s -maproot:0\r\n' "${dir//\//\\}\\export" > "$dir/data/exports"
    new_namespace "$ns"
    TERVALO_REGISTRY=$dir/registry.reg ip netns exec "$ns" "$QUEN" -debug -portmap > "$dir/console.log" 2>&1 &
    pid=$!   # ip netns exec execs the server, so this is the server's own process
    if ! wait_for 15 ip netns exec "$ns" rpcinfo -T tcp 127.0.0.1 mountd 3 ||
       ! wait_for 5 ip netns exec "$ns" rpcinfo -T tcp 127.0.0.1 nfs 3; then
        echo "nfs-vs-ganesha: quen did not register NFS 3 / MOUNT 3:" >&2
        tail -20 "$dir/console.log" >&2
        rc=2
    else
        child ip netns exec "$ns" "$NFSBENCH" --server-pid "$pid" --label "quen ds=$ds${SETTINGS[*]:+ ${SETTINGS[*]}}" "${BENCH_ARGS[@]}" \
            "nfs://127.0.0.1/z$dir/export?nfsport=2049&mountport=1058" > "$out" || rc=$?
    fi
    stop_namespace "$ns"
    NAMESPACES=("${NAMESPACES[@]/$ns}")
    wait "$pid" 2>/dev/null || true
    rm -rf "$dir"
    return $rc
}

run_ganesha() {   # run_ganesha OUTFILE
    local rc=0
    child env NFSBENCH_NS="$NS-ganesha" "$SHARED/run-ganesha.sh" "${BENCH_ARGS[@]}" > "$1" || rc=$?
    return $rc
}

SERVERS=()
IFS=, read -ra sizes <<< "$DATASIZES"
for ds in "${sizes[@]}"; do SERVERS+=("quen:$ds"); done
[[ $GANESHA == 0 ]] || SERVERS+=(ganesha)

echo "# nfs-vs-ganesha $(date -u '+%Y-%m-%d %H:%M UTC'); $(nproc) CPUs, $(awk '/MemTotal/ {printf "%.0f GiB", $2/1048576}' /proc/meminfo);" \
     "loadavg $(cut -d' ' -f1-3 /proc/loadavg); $(git -C "$REPO" rev-parse --short HEAD 2>/dev/null || echo '?')"
echo "# nfsbench ${BENCH_ARGS[*]}; servers: ${SERVERS[*]}; rounds: $ROUNDS${SETTINGS[*]:+; quen settings: ${SETTINGS[*]}}"
limits | tee "$OUT/limits.txt"

status=0
n=${#SERVERS[@]}
for ((round = 1; round <= ROUNDS; round++)); do
    for ((k = 0; k < n; k++)); do
        s=${SERVERS[$(((k + round - 1) % n))]}
        out=$OUT/run-$round-${s/:/-}.txt
        rc=0
        echo "# round $round: $s" >&2
        if [[ $s == ganesha ]]; then run_ganesha "$out" || rc=$?; else run_quen "${s#quen:}" "$out" || rc=$?; fi
        if [[ $rc != 0 ]]; then
            echo "nfs-vs-ganesha: $s round $round exited $rc:" >&2
            grep -h 'FAILED\|error' "$out" >&2 || true
            [[ $status != 0 ]] || status=$rc
            [[ $rc == 1 ]] || status=2
        fi
    done
done
limits | tee -a "$OUT/limits.txt" > /dev/null

echo
echo "Medians over $ROUNDS round(s); ratio = quen / ganesha of the main figure (MiB/s for data, else ops/s);"
echo "cpu us/op = the server's CPU time per request (READDIRPLUS: per RPC)."
echo
python3 "$HERE/nfs_compare.py" "$OUT"/run-*.txt
echo
echo "Physical limits, before and after the rounds:"
sed 's/^limit | /- /; s/ | /: /' "$OUT/limits.txt"
[[ $KEEP_OUT == 0 ]] || echo "# outputs kept in $OUT"
exit $status
