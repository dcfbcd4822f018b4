# The panel outside its window, for panel-gui-steps.sh (sourced there with
# the console server running and the panel showing the exports view): the
# Explorer verb written through the Exports page and read back from the
# registry, folders and files on the command line, and Service > Start and
# Stop with quen.exe installed as the service "NFSserver".
sheet='Tervalo NFS Server'
verb='Directory\shell\nfsserver'
background='Directory\Background\shell\nfsserver'
reg_value() {   # key [value]: the data of a value under the classes root (the default value without one)
  local what=(/ve)
  [ $# -gt 1 ] && what=(/v "$2")
  "$wine" reg query "HKEY_CLASSES_ROOT\\$1" "${what[@]}" 2>/dev/null | tr -d '\r' |
    sed -n 's/^ *\([^ ].*[^ ]\|(Default)\) *REG_SZ *\(.*\)$/[\2]/p' | head -1
}
reg_key() { "$wine" reg query "HKEY_CLASSES_ROOT\\$1" >/dev/null 2>&1 && echo present || echo absent; }
"$wine" reg delete "HKEY_CLASSES_ROOT\\$verb" /f >/dev/null 2>&1
"$wine" reg delete "HKEY_CLASSES_ROOT\\$background" /f >/dev/null 2>&1
exports_page() {   # opens the sheet on its Exports page
  driver post 124
  dialog_open "$sheet" && driver page "$sheet" 2
}

# The verb: checked on the Exports page and applied, the server writes it.
if exports_page; then
  echo "verb-box: $(driver item-checked "$sheet" 1097) before"
  driver item-click "$sheet" 1097
  driver item-post "$sheet" 12321   # Apply
  until_true 10 bash -c "'$wine' reg query 'HKEY_CLASSES_ROOT\\$background\\command' >/dev/null 2>&1"
  echo "verb-text: $(reg_value "$verb") shield $(reg_value "$verb" HasLUAShield)"
  echo "verb-command: $(reg_value "$verb\\command")"
  echo "verb-background: $(reg_value "$background") $(reg_value "$background\\command")"
  driver item-post "$sheet" 2
  dialog_gone "$sheet"
fi
# Opened again, the box shows the key; unchecked and applied, the keys go.
if exports_page; then
  echo "verb-box: $(driver item-checked "$sheet" 1097) after"
  shot_dialog sheet-exports-verb "$sheet"
  driver item-click "$sheet" 1097
  driver item-post "$sheet" 12321
  until_true 10 bash -c "! '$wine' reg query 'HKEY_CLASSES_ROOT\\$background' >/dev/null 2>&1"
  echo "verb-removed: $(reg_key "$verb") $(reg_key "$background")"
  driver item-post "$sheet" 2
  dialog_gone "$sheet"
fi

# Help > Contents opens the help file beside the program with the shell's
# "open" verb; the prefix's ".htm" files open, for the while, in the driver,
# which notes the path it was given.
htm_class=$("$wine" reg query 'HKEY_CLASSES_ROOT\.htm' /ve 2>/dev/null | tr -d '\r' | sed -n 's/^ *(Default) *REG_SZ *//p')
"$wine" reg add 'HKEY_CLASSES_ROOT\.htm' /ve /d TervaloHelpCheck /f >/dev/null 2>&1
"$wine" reg add 'HKEY_CLASSES_ROOT\TervaloHelpCheck\shell\open\command' /ve \
  /d "\"$(windows "$bin/panel_driver.exe")\" record \"$(windows "$work/help-opened")\" \"%1\"" /f >/dev/null 2>&1
driver post 128
until_true 15 test -s "$work/help-opened"
echo "help-opened: $(tr -d '\r' <"$work/help-opened" 2>/dev/null) ($( [ -f "$bin/doc/quen.htm" ] && echo present || echo absent))"
if [ -n "$htm_class" ]; then
  "$wine" reg add 'HKEY_CLASSES_ROOT\.htm' /ve /d "$htm_class" /f >/dev/null 2>&1
else
  "$wine" reg delete 'HKEY_CLASSES_ROOT\.htm' /ve /f >/dev/null 2>&1
fi
"$wine" reg delete 'HKEY_CLASSES_ROOT\TervaloHelpCheck' /f >/dev/null 2>&1

# Folders and files as Explorer hands them over. A folder with a blank
# reaches the entry dialog whole; a file, or an argument too long for a
# folder, ends the panel at once.
mkdir -p "$work/with blank"
timeout 30 "$wine" "$bin/lumeno.exe" "$(windows "$work/with blank")" </dev/null >/dev/null 2>&1 &
blank_pid=$!
if dialog_open 'Edit Exports'; then
  echo "blank-dialog: [$(driver item-text 'Edit Exports' 1072)]"
  driver item-post 'Edit Exports' 2
fi
wait "$blank_pid"
echo "blank-start: ended $?"
timeout 30 "$wine" "$bin/lumeno.exe" "$(windows "$bin/exports")" </dev/null >/dev/null 2>&1
echo "file-start: ended $?, $(driver count)"
timeout 30 "$wine" "$bin/lumeno.exe" "Z:\\$(printf 'a%.0s' $(seq 1 2041))" </dev/null >/dev/null 2>&1
echo "long-start: ended $?, $(driver count)"

# The service: quen.exe installed (which starts it), stopped and started
# from the panel's Service menu; the status line follows.
service_is() { until_true 30 bash -c "[ \"\$(timeout 30 '$wine' '$bin/panel_driver.exe' service-state NFSserver | tr -d '\r')\" = $1 ]"; }
status_is() { until_true 30 bash -c "[ \"\$(timeout 30 '$wine' '$bin/panel_driver.exe' rows | tr -d '\r' | sed -n 's/^status\t//p')\" = '$1' ]"; }
kill "$quen_pid"
wait "$quen_pid" 2>/dev/null
# A service left in the prefix by an interrupted run goes first.
timeout 60 "$wine" "$bin/quen.exe" -remove </dev/null >/dev/null 2>&1
echo "service-install: $(timeout 60 "$wine" "$bin/quen.exe" -install -portmap </dev/null 2>&1 | tr -d "\r" | tr "\n" " ")"
service_is running
status_is ' Ready on Port 2049'
echo "service-installed: $(driver service-state NFSserver), status [$(status_line)]"
driver send 121   # Service > Stop
service_is stopped
status_is 'NFS Server service not active'
echo "service-stopped: $(driver service-state NFSserver), status [$(status_line)]"
shot service-stopped "$x" "$y" "$w" "$h"
driver send 120   # Service > Start
service_is running
status_is ' Ready on Port 2049'
echo "service-started: $(driver service-state NFSserver), status [$(status_line)]"
timeout 60 "$wine" "$bin/quen.exe" -remove </dev/null >/dev/null 2>&1
service_is absent
echo "service-removed: $(driver service-state NFSserver)"
start_quen
