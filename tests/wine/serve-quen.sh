# Sourced inside a test's network namespace: serve_quen WINE BINDIR WORK runs
# a copy of quen.exe (and quenctl.exe) from WORK/bin, so that its data folder
# is that folder (exports, inode table, mount table) and the prefix's
# registry stays as it was; it starts a wineserver of the namespace's own and
# waits until NFS version 3 is registered. The server's output goes to
# WORK/server.out. unserve_quen stops the wineserver.
serve_quen() {   # wine bindir work
  mkdir -p "$3/bin"
  cp "$2/quen.exe" "$3/bin/"
  [ -f "$2/quenctl.exe" ] && cp "$2/quenctl.exe" "$3/bin/"
  wineserver -p </dev/null >/dev/null 2>&1
  "$1" wineboot </dev/null >/dev/null 2>&1
  timeout 120 "$1" "$3/bin/quen.exe" -debug -portmap </dev/null >"$3/server.out" 2>&1 &
  for _ in $(seq 1 300); do
    rpcinfo -p 127.0.0.1 2>/dev/null | grep -q "100003    3   tcp" && break
    sleep 0.2
  done
}
unserve_quen() { wineserver -k; }
