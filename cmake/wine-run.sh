#!/bin/bash
# Runs a Windows program of the mingw-x64 build under wine64: the emulator
# that ctest uses both to list a test program's tests and to run them.
# The prefix is the project's own (TERVALO_WINEPREFIX, by default
# build/mingw-x64/wineprefix) and is created on first use.
set -u

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(dirname "$here")
wine=/usr/lib/wine/wine64

export WINEPREFIX="${TERVALO_WINEPREFIX:-$root/build/mingw-x64/wineprefix}"
[ "${WINEPREFIX#/}" = "$WINEPREFIX" ] && WINEPREFIX="$PWD/$WINEPREFIX"   # Wine wants it absolute
export WINEDEBUG=-all
# Names the prefix settings below; a prefix made with older ones is set again.
ready="$WINEPREFIX/.tervalo-prefix-3"

reg_set() {   # key value type data
    timeout 120 "$wine" reg add "$1" /v "$2" /t "$3" /d "$4" /f >/dev/null 2>&1
}

make_prefix() {
    mkdir -p "$WINEPREFIX" || return 1
    [ -e "$ready" ] && return 0
    # No offers to install Mono and Gecko.
    WINEDLLOVERRIDES="mscoree,mshtml=" timeout 300 "$wine" wineboot --init >/dev/null 2>&1 || return 1
    # An unhandled crash must end the program, not wait on a dialog.
    reg_set 'HKCU\Software\Wine\WineDbg' ShowCrashDialog REG_DWORD 0 || return 1
    # Nor may it be caught by the automatic debugger: winedbg ends the
    # crashed program with status 0 when it wins the race to end it, and the
    # crash would pass as a test success. Without a debugger the program ends
    # with its exception code (0xC0000005 shows as status 5).
    reg_set 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' Debugger REG_SZ '' || return 1
    # A service test program may take longer than the default to reach its
    # dispatcher on a loaded machine (every Wine program start is slow then).
    reg_set 'HKLM\System\CurrentControlSet\Control' ServicesPipeTimeout REG_DWORD 120000 || return 1
    touch "$ready"
}

if [ ! -e "$ready" ]; then
    # Test programs are listed and run in parallel; one of them makes the prefix.
    mkdir -p "$(dirname "$WINEPREFIX")"
    exec 9>"$WINEPREFIX.lock"
    flock 9
    if ! make_prefix; then
        echo "wine-run.sh: cannot create the Wine prefix $WINEPREFIX" >&2
        exit 125
    fi
    flock -u 9
    exec 9>&-
fi

listing=0
for arg in "$@"; do
    [ "$arg" = "--gtest_list_tests" ] && listing=1
done

if [ "$listing" = 1 ]; then
    # The C runtime writes CR LF; the test discovery of CMake reads lines
    # ending in LF only and would keep the CR in each name.
    set -o pipefail
    timeout 300 "$wine" "$@" | tr -d '\r'
    exit $?
fi
# Now and then, on a loaded machine, Wine fails to start a program at all:
# it ends at once with a failure and nothing printed. A test program always
# prints before it can fail, so a silent failure is Wine's, and the program
# is started again (twice at most); its output is passed on as it comes.
out=$(mktemp) && err=$(mktemp) || exit 125
trap 'rm -f "$out" "$err"' EXIT
status=0
for attempt in 1 2 3; do
    : >"$out"
    : >"$err"
    set -o pipefail
    timeout 300 "$wine" "$@" 2> >(tee "$err" >&2) | tee "$out"
    status=$?
    set +o pipefail
    wait   # for the stderr copy to be complete
    if [ "$status" = 0 ] || [ -s "$out" ] || [ -s "$err" ]; then
        exit "$status"
    fi
    echo "wine-run.sh: Wine ended $1 with status $status before it printed anything (try $attempt)" >&2
done
exit "$status"
