# Sourced by the benchmarks that run quen in a network namespace of their own:
# the cleanup of what they started (the namespace's processes, the namespace,
# the work folder) and the wait for the server to register NFS 3. They set
# NS, WORK and PID (the server's process, once started) before these run.

quen_namespace_cleanup() {
    local i pids
    for i in 1 2 3; do
        pids=$(ip netns pids "$NS" 2>/dev/null || true)
        [[ -n $pids ]] || break
        # shellcheck disable=SC2086
        kill $([[ $i == 3 ]] && echo -9) $pids 2>/dev/null || true
        sleep 1
    done
    ip netns del "$NS" 2>/dev/null || true
    [[ -z $PID ]] || wait "$PID" 2>/dev/null || true
    rm -rf "$WORK"
}

# Everything started goes at exit, also at an interrupt.
quen_namespace_trap() {
    trap quen_namespace_cleanup EXIT
    trap 'exit 130' INT TERM HUP
}

# Waits up to 15 s for NFS 3 over TCP in the namespace; exit 2 (naming the
# benchmark, with the server's last lines) when it does not come.
quen_namespace_wait() {   # name
    local i
    for i in $(seq 150); do
        ip netns exec "$NS" rpcinfo -T tcp 127.0.0.1 nfs 3 > /dev/null 2>&1 && return 0
        sleep 0.1
    done
    echo "$1: quen did not register NFS 3:" >&2
    tail -20 "$WORK/console.log" >&2
    exit 2
}

# The server's registry ($WORK/registry.reg: its folders in $WORK/data, then
# each NAME=VALUE argument) and its exports file (the folder $WORK/export).
quen_namespace_files() {   # NAME=VALUE...
    local s
    {
        printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Tervalo\\quen]\r\n'
        printf '"Directory"="%s/data/"\r\n"InodePath"="%s/data/inodes.nfs"\r\n"LogDir"="%s/data/"\r\n' "$WORK" "$WORK" "$WORK"
        for s in "$@"; do printf '"%s"="%s"\r\n' "${s%%=*}" "${s#*=}"; done
    } > "$WORK/registry.reg"
    printf 'Z:%s -maproot:0\r\n' "${WORK//\//\\}\\export" > "$WORK/data/exports"
}
