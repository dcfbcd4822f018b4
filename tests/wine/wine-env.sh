# Sourced by the Wine namespace tests: the emulator, a wineserver on PATH
# (Debian keeps it beside wine64), the prefix, and root for namespaces.
# Sets wine; exits the test when something it needs is missing.
wine=/usr/lib/wine/wine64
command -v wineserver >/dev/null || export PATH="/usr/lib/wine:$PATH"
command -v wineserver >/dev/null || { echo "$(basename "$0"): wineserver not found" >&2; exit 1; }
: "${WINEPREFIX:?WINEPREFIX must name the prefix}"
export WINEDEBUG=-all
if [ "$(id -u)" -ne 0 ]; then
  echo "SKIP: network namespaces need root"
  exit 0
fi

# The namespace tests' shared ends: stop what runs in a namespace and delete
# it; check the collected output ($out) for a pattern, counting failures.
failures=0
end_namespace() {   # name
  ip netns pids "$1" | xargs -r kill -9 2>/dev/null
  ip netns del "$1"
}
expect() {   # pattern description
  if grep -Eq "$1" <<<"$out"; then echo "ok: $2"; else echo "FAIL: $2"; failures=$((failures + 1)); fi
}
