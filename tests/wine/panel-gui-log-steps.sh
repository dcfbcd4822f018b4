# The log viewer, for panel-gui-steps.sh (sourced there after the editor
# steps, /panel-three exported). A mount of the export whose folder has gone
# away makes the server report an error line; the viewer lists the log
# files and shows that line with the error mark. The console server
# (-debug) logs to its console, not to a file: its lines go into this
# month's file in the log directory, as the service would have written them.
log_title='Log'
mv "$work/three" "$work/three-away"
"$mount_client" -t 10 127.0.0.1 3 mnt /panel-three >/dev/null 2>&1
mv "$work/three-away" "$work/three"
month=$(date +quen%y%m.log)
until_true 10 grep -q ' mount3 folder error ' "$work/server.out"
grep -a '^[0-9]\{4\}-[0-9][0-9]-[0-9][0-9] [0-9:]\{8\} ' "$work/server.out" | tr -d '\r' | sed 's/$/\r/' >>"$bin/$month"
echo "log-month: $month $(grep -c . "$bin/$month") lines"
printf '2026-01-02 03:04:05 an older month\r\n' >"$bin/quen0001.log"
driver post 122
if dialog_open "$log_title"; then
  until_true 10 bash -c "timeout 30 '$wine' '$bin/panel_driver.exe' log-rows '$log_title' 2>/dev/null | grep -q 'folder error'"
  driver combo "$log_title" 1061 | sed 's/^/log-files: /'
  driver log-rows "$log_title" | grep 'folder error' | tail -1 | sed 's/^/log-error-row: /'
  driver log-rows "$log_title" | grep -v 'error' | head -1 | sed 's/^/log-plain-row: /'
  shot_dialog log-viewer "$log_title"
  driver close-dialog "$log_title"
  dialog_gone "$log_title" && echo "log-closed: yes" || echo "log-closed: no"
else
  echo "log-viewer: none"
fi
rm -f "$bin/quen0001.log"
