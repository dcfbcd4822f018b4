#!/usr/bin/env bash
# The 32-bit product (quen.exe and lumeno.exe of the i686 build) through the
# steps of panel-gui.sh, under Debian's wine32 (scripts/wine32-install). The
# driver is built here for i686 too: it lends the panel buffers in the
# panel's own memory, whose records have the panel's pointer size.
# Usage: panel-gui-i686.sh BINDIR   (default build/mingw-i686/bin). Needs root.
set -u
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
bindir=$(cd "${1:-$root/build/mingw-i686/bin}" && pwd)
[ -x /usr/lib/wine/wine ] || { echo "SKIP: wine32 is not installed"; exit 0; }
# Installed is not enough: a kernel without 32-bit support cannot start the loader.
/usr/lib/wine/wine --version >/dev/null 2>&1 || { echo "SKIP: this kernel does not run 32-bit programs"; exit 0; }
work=$(mktemp -d /tmp/tvwine-i686-XXXXXX)
trap 'rm -rf "$work"' EXIT
cp "$bindir/quen.exe" "$bindir/lumeno.exe" "$bindir/quenctl.exe" "$work/"
cp -r "$bindir/doc" "$work/"
i686-w64-mingw32-g++-posix -std=c++20 -O2 -static -I"$root" "$root/tests/lumeno/panel_driver.cpp" \
  -lcomctl32 -lshell32 -ladvapi32 -lwinspool -o "$work/panel_driver.exe" || { echo "FAIL: the i686 driver does not build"; exit 1; }
i686-w64-mingw32-g++-posix -std=c++20 -O2 -static -shared "$root/tests/lumeno/panel_probe.cpp" \
  -o "$work/panel_probe.dll" || { echo "FAIL: the i686 menu probe does not build"; exit 1; }
cp -r "$bindir/Languages" "$work/"
# A prefix of its own, made with wine32 present (one made before has no
# 32-bit system folder), with the crash dialog off as the 64-bit one.
export TERVALO_WINEPREFIX=$root/build/mingw-i686/wineprefix
export WINEPREFIX=$TERVALO_WINEPREFIX
command -v wineserver >/dev/null || export PATH="/usr/lib/wine:$PATH"
"$root/cmake/wine-run.sh" wineboot </dev/null >/dev/null 2>&1 || { echo "FAIL: no Wine prefix for the 32-bit programs"; exit 1; }
wineserver -k 2>/dev/null
wineserver -w 2>/dev/null
export TERVALO_WINE=/usr/lib/wine/wine
"$here/panel-gui.sh" "$work" "$root/build/screenshots/i686"
