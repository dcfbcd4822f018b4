# The steps of panel-gui.sh, inside its network namespace: an X server, a
# wineserver, quen.exe and lumeno.exe of their own. Prints "what: result"
# lines for the checks and "screenshot: FILE" for each picture.
# Usage: bash panel-gui-steps.sh WINE WORK SHOTDIR MOUNT_CLIENT
wine=$1 work=$2 shots=$3 mount_client=$4
bin=$work/bin
driver() { timeout 30 "$wine" "$bin/panel_driver.exe" "$@" 2>/dev/null | tr -d '\r'; }
# The status line once a pipe request has failed or succeeded.
status_line() { driver rows | sed -n 's/^status\t//p'; }
until_true() {   # seconds command...: retries the command every 0.2 s
  local end=$(( $(date +%s%N) + $1 * 1000000000 )); shift
  while ! "$@"; do
    [ "$(date +%s%N)" -lt "$end" ] || return 1
    sleep 0.2
  done
}
shot() {   # name [X-window-id | x y width height]
  local file=$shots/$1.png
  if [ $# -eq 2 ]; then
    xwd -silent -id "$2" | convert xwd:- "png:$file"
  elif [ $# -eq 5 ]; then
    xwd -silent -root | convert xwd:- -crop "$4x$5+$2+$3" +repage "png:$file"
  else
    xwd -silent -root | convert xwd:- "png:$file"
  fi
  echo "screenshot: $file"
}
start_quen() {
  timeout 600 "$wine" "$bin/quen.exe" -debug -portmap </dev/null >>"$work/server.out" 2>&1 &
  quen_pid=$!
  until_true 60 bash -c 'rpcinfo -p 127.0.0.1 2>/dev/null | grep -q "100003    3   tcp"'
}

# An X server on a free display, and the prefix's state of earlier runs gone.
exec 5>"$work/display"
Xvfb -displayfd 5 -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.out" 2>&1 &
xvfb_pid=$!
until_true 20 test -s "$work/display" || { echo "xvfb: did not start"; exit 1; }
export DISPLAY=:$(head -1 "$work/display")
wineserver -p </dev/null >/dev/null 2>&1
"$wine" wineboot </dev/null >/dev/null 2>&1
"$wine" reg delete 'HKCU\Software\Tervalo\quen' /f >/dev/null 2>&1
# The server's settings as a first start finds them (the sheet's steps store some).
"$wine" reg delete 'HKLM\Software\Tervalo\quen' /f >/dev/null 2>&1
# A saved position, clear of Wine's tray window at the top left.
"$wine" reg add 'HKCU\Software\Tervalo\quen' /v left /d 24 /f >/dev/null 2>&1
"$wine" reg add 'HKCU\Software\Tervalo\quen' /v top /d 64 /f >/dev/null 2>&1
start_quen
timeout 600 "$wine" "$bin/lumeno.exe" </dev/null >"$work/panel.out" 2>&1 &
panel_pid=$!
driver wait 60 || { echo "panel: no window"; exit 1; }

# The exports view against showmount -e.
until_true 20 bash -c "timeout 30 '$wine' '$bin/panel_driver.exe' rows 2>/dev/null | grep -q 'header	 2 Entries'"
driver rows | sed 's/^/exports-view: /'
showmount -e 127.0.0.1 >"$work/showmount-e" 2>&1
driver rows >"$work/rows"
python3 - "$work/rows" "$work/showmount-e" <<'PY'
import sys
# A row as showmount -e prints its export: the client form of the folder (or
# the alias), then the clients and option words as the group list.
def client_form(folder):
    s = folder.replace("\\", "/")
    if len(s) >= 2 and s[1] == ":":
        s = "/" + s[0].lower() + s[2:]
    return s.rstrip("/") or "/"
panel = []
for line in open(sys.argv[1]):
    f = line.rstrip("\n").split("\t")
    if f[0] != "row" or f[1] == "0":
        continue
    words = f[3].split()
    names = [w[len("-name:"):] for w in words if w.startswith("-name:")]
    groups = f[4].split() + [w for w in words if not w.startswith("-name:")]
    panel.append("%s %s" % ("/" + names[0] if names else client_form(f[2]), ",".join(groups) or "(everyone)"))
shown = [" ".join(l.split()) for l in open(sys.argv[2]).read().splitlines()[1:] if l.strip()]
print("exports-match: %s" % ("yes" if sorted(panel) == sorted(shown) else "no: %r != %r" % (panel, shown)))
PY
read -r x y w h < <(driver rect)
echo "placed: $x $y $w $h"
shot main-exports "$x" "$y" "$w" "$h"

# Mounts from Linux, one over TCP and one over UDP, in the mounts view with addresses.
client_path() { echo "/z${1}"; }
"$mount_client" -t 10 127.0.0.1 3 mnt "$(client_path "$work/one")" | grep -q "^status	0" || echo "mount one: failed"
"$mount_client" -u -t 10 127.0.0.1 3 mnt /panel-two | grep -q "^status	0" || echo "mount two: failed"
driver send 126
driver send 127   # Resolve Addresses off: dotted addresses
until_true 10 bash -c "timeout 30 '$wine' '$bin/panel_driver.exe' rows 2>/dev/null | grep -q 'header	 2 Clients'"
driver rows | sed 's/^/mounts-view: /'
shot main-mounts "$x" "$y" "$w" "$h"

# The context menu of the exports view.
driver send 125
until_true 10 bash -c "timeout 30 '$wine' '$bin/panel_driver.exe' rows 2>/dev/null | grep -q 'header	 2 Entries'"
driver select 0
driver rclick 0
if until_true 10 bash -c "timeout 30 '$wine' '$bin/panel_driver.exe' menu >/dev/null 2>&1"; then
  echo "context-menu: menu open"
  sleep 0.5
  shot context-menu "$x" "$y" "$((w + 200))" "$((h + 100))"
  driver cancel-menu
else
  echo "context-menu: none"
fi

# Remove the aliased export.
row=$(driver rows | grep -n "^row	[1-9][0-9]*	.*	 -name:panel-two" | head -1 | cut -d: -f1)
driver select "$((row - 1))"
driver send 134
sleep 0.3
if ! showmount -e 127.0.0.1 2>&1 | grep -q panel-two && ! driver rows | grep -q panel-two &&
   driver rows | grep -q "header	 1 Entries"; then
  echo "removed: yes"
else
  echo "removed: no: $(showmount -e 127.0.0.1 2>&1 | tr '\n' '|') / $(driver rows | tr '\n' '|')"
fi

# Disconnect the TCP mount.
driver send 126
until_true 10 bash -c "timeout 30 '$wine' '$bin/panel_driver.exe' rows 2>/dev/null | grep -q '	tcp	'"
row=$(driver rows | grep -n "^row	.*	tcp	" | head -1 | cut -d: -f1)
driver select "$((row - 1))"
driver send 135
sleep 0.3
one_client=$(client_path "$work/one")
if ! showmount -a 127.0.0.1 2>&1 | grep -q "$one_client\$" && ! driver rows | grep -q "	tcp	" &&
   driver rows | grep -q "header	 1 Clients"; then
  echo "disconnected: yes"
else
  echo "disconnected: no: $(showmount -a 127.0.0.1 2>&1 | tr '\n' '|') / $(driver rows | tr '\n' '|')"
fi
driver send 125
until_true 10 bash -c "timeout 30 '$wine' '$bin/panel_driver.exe' rows 2>/dev/null | grep -q 'header	 1 Entries'"

# The export entry dialog and the configuration sheet.
. "$(dirname "$0")/panel-gui-editor-steps.sh"
. "$(dirname "$0")/panel-gui-log-steps.sh"
. "$(dirname "$0")/panel-gui-language-steps.sh"
. "$(dirname "$0")/panel-gui-print-steps.sh"

# The about box.
driver post 131
if until_true 10 bash -c "timeout 30 '$wine' '$bin/panel_driver.exe' rect 'Tervalo NFS Server' >/dev/null 2>&1 && \
     [ \"\$(timeout 30 '$wine' '$bin/panel_driver.exe' rect 'Tervalo NFS Server' | tr -d '\r')\" != \"$x $y $w $h\" ]"; then
  echo "about: open"
  sleep 0.5
  # The box's own X window: the top-most of the panel's windows of that name.
  about_window=$(xwininfo -root -tree | grep '"Tervalo NFS Server": ("lumeno.exe"' | head -1 | awk '{print $1}')
  shot about "$about_window"
  driver close-dialog "Tervalo NFS Server"
else
  echo "about: none"
fi

# The tray icon, as the shell holds it and as Wine shows it.
driver tray
xwininfo -root -tree >"$work/x-tree" 2>&1
grep -i 'tray' "$work/x-tree" | sed 's/^/x-window: /'
tray_window=$(grep -i '"Wine System Tray"' "$work/x-tree" | head -1 | awk '{print $1}')
if [ -n "$tray_window" ]; then shot tray "$tray_window"; else echo "tray-window: none"; fi

# The tray menu.
driver tray-rclick
if until_true 10 bash -c "timeout 30 '$wine' '$bin/panel_driver.exe' menu >/dev/null 2>&1"; then
  echo "tray-menu: menu open"
  sleep 0.5
  shot tray-menu "$x" "$y" "$((w + 200))" "$((h + 40))"
  driver cancel-menu
else
  echo "tray-menu: none"
fi

# Minimised to the tray, and back by a click on the icon.
driver minimize
until_true 5 bash -c "[ \"\$(timeout 30 '$wine' '$bin/panel_driver.exe' shown | tr -d '\r')\" = hidden ]"
echo "to-tray: $(driver shown)"
driver tray-click
until_true 5 bash -c "[ \"\$(timeout 30 '$wine' '$bin/panel_driver.exe' shown | tr -d '\r')\" = shown ]"
echo "tray-click: $(driver shown)"

# A second start brings the first window forward (here: back from the tray) and ends.
driver minimize
until_true 5 bash -c "[ \"\$(timeout 30 '$wine' '$bin/panel_driver.exe' shown | tr -d '\r')\" = hidden ]"
echo "minimised: $(driver shown)"
timeout 30 "$wine" "$bin/lumeno.exe" </dev/null >/dev/null 2>&1
second=$?
sleep 0.5
echo "second-start: ended $second, first window $(driver shown)"
# With a folder it runs hidden, only for the export entry dialog of that folder, and ends with it.
timeout 30 "$wine" "$bin/lumeno.exe" 'Z:\tmp' </dev/null >/dev/null 2>&1 &
folder_pid=$!
if until_true 15 bash -c "timeout 30 '$wine' '$bin/panel_driver.exe' rect 'Edit Exports' >/dev/null 2>&1"; then
  echo "folder-dialog: [$(driver item-text 'Edit Exports' 1072)]"
  driver item-post 'Edit Exports' 2
fi
wait "$folder_pid"
echo "folder-start: ended $?, $(driver count)"

# The server stopped: the status line within two seconds; then started again.
until_true 10 bash -c "[ \"\$(timeout 30 '$wine' '$bin/panel_driver.exe' rows | tr -d '\r' | sed -n 's/^status\t//p')\" = ' Ready on Port 2049' ]"
kill "$quen_pid"
wait "$quen_pid" 2>/dev/null
stopped_at=$(date +%s%N)
until_true 10 bash -c "[ \"\$(timeout 30 '$wine' '$bin/panel_driver.exe' rows | tr -d '\r' | sed -n 's/^status\t//p')\" = 'NFS Server service not active' ]"
elapsed=$(( ($(date +%s%N) - stopped_at) / 1000000 ))
echo "stopped-status: $(status_line) within $((elapsed / 1000)).$(printf '%03d' $((elapsed % 1000))) s"
shot stopped "$x" "$y" "$w" "$h"
start_quen
until_true 10 bash -c "[ \"\$(timeout 30 '$wine' '$bin/panel_driver.exe' rows | tr -d '\r' | sed -n 's/^status\t//p')\" = ' Ready on Port 2049' ]"
echo "restarted-status: $(status_line)"
. "$(dirname "$0")/panel-gui-shell-steps.sh"

# Exit.
driver post 123
if until_true 10 bash -c "! kill -0 $panel_pid 2>/dev/null"; then echo "exit: ended"; else echo "exit: still running"; fi
kill "$quen_pid" 2>/dev/null
wait "$quen_pid" 2>/dev/null
wineserver -k
kill "$xvfb_pid" 2>/dev/null
wait "$xvfb_pid" 2>/dev/null
