# The export entry dialog and the configuration sheet, for panel-gui-steps.sh
windows() { printf 'Z:%s' "${1//\//\\}"; }   # a Linux path as Wine names it
# (sourced there, with its helpers, the panel showing the exports view).
# Prints "what: result" lines and "screenshot: FILE" for each picture.
title='Tervalo NFS Server'
entry='Edit Exports'
three=$(windows "$work/three")
dialog_open() { until_true 10 bash -c "timeout 30 '$wine' '$bin/panel_driver.exe' rect '$1' >/dev/null 2>&1"; }
dialog_gone() { until_true 10 bash -c "! timeout 30 '$wine' '$bin/panel_driver.exe' rect '$1' >/dev/null 2>&1"; }
shot_dialog() {   # name title: the top-most X window of the panel with that title
  local id
  sleep 0.5
  id=$(xwininfo -root -tree | grep "\"$2\": (\"lumeno.exe\"" | head -1 | awk '{print $1}')
  if [ -n "$id" ]; then shot "$1" "$id"; else echo "$1: no window"; fi
}
stored() { "$wine" reg query 'HKLM\Software\Tervalo\quen' /v "$1" 2>/dev/null | tr -d '\r' | awk -v n="$1" '$1 == n { print n "=" $3 }' | grep . || echo "$1 absent"; }
live() { timeout 30 "$wine" "$bin/quenctl.exe" settings 2>/dev/null | tr -d '\r' | grep "^$1="; }
exports_line() { tr -d '\r' <"$bin/exports" | grep -F "$three" ; }

# Insert on the empty last row: folder, clients, -readonly, Save.
cp "$bin/exports" "$work/exports-before"
last=$(( $(driver rows | grep -c '^row') - 1 ))
driver select "$last"
driver post 132
if dialog_open "$entry"; then
  driver item-set "$entry" 1072 "$three"
  driver item-set "$entry" 1076 127.0.0.1
  driver item-click "$entry" 1080
  echo "entry-options: [$(driver item-text "$entry" 1075)]"
  shot_dialog export-entry "$entry"
  driver item-post "$entry" 1
  dialog_gone "$entry" && echo "entry-saved: closed" || echo "entry-saved: still open"
else
  echo "entry-dialog: none"
fi
until_true 10 bash -c "showmount -e 127.0.0.1 2>/dev/null | grep -q '^/z.*/three '"
echo "insert-showmount: $(showmount -e 127.0.0.1 2>&1 | grep '/three ' | tr -s ' ')"
echo "insert-file: [$(exports_line)]"
if cmp -s <(tr -d '\r' <"$work/exports-before") <(tr -d '\r' <"$bin/exports.old"); then
  echo "insert-old: the previous file"
else
  echo "insert-old: differs: $(tr '\r\n' '||' <"$bin/exports.old")"
fi

# Edit it: -name: without its argument is refused with a message, then given one.
until_true 10 bash -c "timeout 30 '$wine' '$bin/panel_driver.exe' rows 2>/dev/null | grep -q '	 -readonly	 127.0.0.1\$'"
row=$(driver rows | grep -n "^row	[1-9][0-9]*	.*three	" | head -1 | cut -d: -f1)
driver select "$((row - 1))"
driver post 133
if dialog_open "$entry"; then
  echo "edit-fields: [$(driver item-text "$entry" 1072)] [$(driver item-text "$entry" 1075)] readonly $(driver item-checked "$entry" 1080)"
  driver item-click "$entry" 1086
  echo "edit-options: [$(driver item-text "$entry" 1075)]"
  driver item-post "$entry" 1
  if dialog_open "$title"; then
    echo "edit-noarg: $(driver item-text "$title" 65535)"
    shot_dialog no-argument "$title"
    driver close-dialog "$title"
    dialog_gone "$title"
  else
    echo "edit-noarg: no message"
  fi
  driver item-set "$entry" 1075 "$(driver item-text "$entry" 1075)panel-three"
  driver item-post "$entry" 1
  dialog_gone "$entry" && echo "edit-saved: closed" || echo "edit-saved: still open"
else
  echo "edit-dialog: none"
fi
until_true 10 bash -c "showmount -e 127.0.0.1 2>/dev/null | grep -q '^/panel-three '"
echo "edit-showmount: $(showmount -e 127.0.0.1 2>&1 | grep '^/panel-three' | tr -s ' ')"
echo "edit-file: [$(exports_line)]"

# The configuration sheet.
"$mount_client" -t 10 127.0.0.1 3 mnt /panel-three | grep -q "^status	0" || echo "mount three: failed"
driver post 124
if dialog_open "$title"; then
  echo "sheet: open"
  shot_dialog sheet-nfs "$title"
  echo "nfs-port: $(driver item-text "$title" 1004)"
  driver item-set "$title" 1004 2050
  driver item-post "$title" 12321   # Apply
  sleep 1
  echo "applied: stored $(stored Port), running $(live Port)"
  driver item-set "$title" 1004 ''
  driver item-post "$title" 12321
  sleep 1
  echo "applied-empty: stored $(stored Port)"
  threads=$(driver item-text "$title" 1005)
  driver item-set "$title" 1005 0
  driver item-click "$title" 1020   # UDP off: TCP stays
  driver item-click "$title" 1021   # TCP off too: UDP comes back
  echo "transports: udp $(driver item-checked "$title" 1020) tcp $(driver item-checked "$title" 1021)"
  driver item-click "$title" 1021   # both again, as the server runs
  driver item-post "$title" 12321
  sleep 1
  echo "threads: stored $(stored Threads)"
  driver item-set "$title" 1005 "$threads"
  driver item-post "$title" 12321
  sleep 1
  driver page "$title" 1
  echo "server-page: fileid $(driver item-shown "$title" 1067) copy $(driver item-shown "$title" 1025)"
  shot_dialog sheet-server "$title"
  maproot=$(live MapRoot)
  driver item-click "$title" 1063
  driver item-post "$title" 12321
  sleep 1
  echo "maproot: $maproot then $(live MapRoot)"
  driver item-click "$title" 1063
  driver item-post "$title" 12321
  sleep 1
  driver page "$title" 2
  until_true 10 bash -c "timeout 30 '$wine' '$bin/panel_driver.exe' list '$title' 2>/dev/null | grep -q panel-three"
  driver list "$title" | sed 's/^/exports-page: /'
  echo "exports-page-status: [$(driver item-text "$title" 1032)]"
  shot_dialog sheet-exports "$title"
  driver item-post "$title" 1017
  if dialog_open Edit; then
    echo "raw-editor: $(driver item-text Edit 1058 | tr -d '\r' | grep -cF "$three") line(s) of the new export"
    shot_dialog exports-editor Edit
    cp "$bin/exports" "$work/exports-raw"
    driver item-post Edit 1   # Save: the text goes back as it was
    dialog_gone Edit && echo "raw-saved: closed" || echo "raw-saved: still open"
    cmp -s <(tr -d '\r' <"$work/exports-raw") <(tr -d '\r' <"$bin/exports") && echo "raw-file: unchanged" ||
      echo "raw-file: changed: $(tr '\r\n' '||' <"$bin/exports")"
  else
    echo "raw-editor: none"
  fi
  driver page "$title" 3
  until_true 10 bash -c "timeout 30 '$wine' '$bin/panel_driver.exe' list '$title' 2>/dev/null | grep -q three"
  driver list "$title" | sed 's/^/mounts-page: /'
  shot_dialog sheet-mounts "$title"
  driver page "$title" 4
  until_true 10 bash -c "timeout 30 '$wine' '$bin/panel_driver.exe' list '$title' 2>/dev/null | grep -q 100003"
  driver list "$title" | sed 's/^/portmap-page: /'
  shot_dialog sheet-portmap "$title"
  driver page "$title" 5
  echo "language-page: $(driver item-text "$title" 1006)"
  shot_dialog sheet-language "$title"
  driver item-post "$title" 2   # Cancel
  dialog_gone "$title" && echo "sheet: closed" || echo "sheet: still open"
else
  echo "sheet: none"
fi
