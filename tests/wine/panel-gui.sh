#!/usr/bin/env bash
# The control panel under Wine and Xvfb, driven from outside by
# panel_driver.exe with the panel's own command numbers: its exports view
# against showmount -e, a libnfs mount in its mounts view, Remove and
# Disconnect against showmount, the status line with the server stopped and
# started again, the second start, the tray icon; screenshots of the main
# window in both views, the context menu, the about box and the tray.
# Everything runs in a network namespace with an X server and a wineserver
# of its own, as the other Wine tests do.
# Usage: panel-gui.sh BINDIR [SHOTDIR]   (BINDIR with quen.exe, lumeno.exe,
# panel_driver.exe; screenshots to SHOTDIR, default build/screenshots). Needs root.
set -u
bindir=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
shots=${2:-$root/build/screenshots}
mkdir -p "$shots" && shots=$(cd "$shots" && pwd)
. "$here/wine-env.sh"
wine=${TERVALO_WINE:-$wine}   # the 32-bit loader for the i686 programs
for tool in Xvfb xwd convert xwininfo showmount python3 ps2pdf pdfinfo pdftotext pdftoppm; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 0; }
done
for program in quen.exe lumeno.exe panel_driver.exe quenctl.exe panel_probe.dll; do
  [ -f "$bindir/$program" ] || { echo "FAIL: $bindir/$program is missing"; exit 1; }
done
work=$(mktemp -d /tmp/tvwine-panel-XXXXXX)
# The mount client of the server tests: from the Linux build, else built here.
mount_client=$root/build/default/bin/mount_client
if [ ! -x "$mount_client" ]; then
  mount_client=$work/mount_client
  cc -O2 -I"$root/tests/server" "$root/tests/server/mount_client.c" -lnfs -o "$mount_client" 2>"$work/cc.out" ||
    { echo "SKIP: no libnfs mount client ($(head -1 "$work/cc.out"))"; rm -rf "$work"; exit 0; }
fi
ns="tvwine-$$-panel"
mkdir -p "$work/bin" "$work/one" "$work/two" "$work/three"
cp "$bindir/quen.exe" "$bindir/lumeno.exe" "$bindir/panel_driver.exe" "$bindir/quenctl.exe" "$work/bin/"
cp -r "$bindir/Languages" "$work/bin/"
cp "$bindir/panel_probe.dll" "$work/bin/"
cp -r "$bindir/doc" "$work/bin/"   # the help file
printf '%s -umask:002\r\n%s -name:panel-two -ro 127.0.0.1\r\n' "$(windows "$work/one")" "$(windows "$work/two")" \
  >"$work/bin/exports"
ip netns add "$ns" || exit 1
ip netns exec "$ns" ip link set lo up
started=$(date +%s)
out=$(ip netns exec "$ns" bash "$here/panel-gui-steps.sh" "$wine" "$work" "$shots" "$mount_client" 2>&1)
end_namespace "$ns"
echo "$out" | grep '^screenshot: '
two=$(windows "$work/two" | sed 's/[][\.*^$()+?{}|]/\\&/g')
one=$(windows "$work/one" | sed 's/[][\.*^$()+?{}|]/\\&/g')
expect "^placed: 24 64 500 250\$" "the window opens where it was saved, at its saved size"
expect "^exports-match: yes" "the exports view lists what showmount -e lists"
expect "^exports-view: row	[1-9][0-9]*	$one	 -umask:002	\$" "an export's options text as the exports file writes it"
expect "^exports-view: row	[1-9][0-9]*	$two	 -name:panel-two -readonly	 127\.0\.0\.1\$" "an alias, an option and a client"
expect "^exports-view: row	0			\$" "the empty last row"
expect "^exports-view: header	 2 Entries\$" "the header counts the exports"
expect "^exports-view: status	 Ready on Port 2049\$" "the status line names the port"
expect "^mounts-view: row	[1-9][0-9]*	$one	tcp	127\.0\.0\.1\$" "a TCP mount from Linux in the mounts view"
expect "^mounts-view: row	[1-9][0-9]*	$two	udp	127\.0\.0\.1\$" "a UDP mount from Linux in the mounts view"
expect "^mounts-view: header	 2 Clients\$" "the header counts the mounts"
expect "^context-menu: menu open" "a right click on a row opens the context menu"
expect "^removed: yes" "Remove takes the export out of showmount -e and the list"
expect "^disconnected: yes" "Disconnect takes the mount out of showmount -a and the list"
secs=$(sed -n 's/^stopped-status: NFS Server service not active within \([0-9.]*\) s$/\1/p' <<<"$out")
if [ -n "$secs" ] && awk "BEGIN { exit !($secs <= 2.0) }"; then
  echo "ok: a stopped server is reported within two seconds ($secs s)"
else
  echo "FAIL: a stopped server is reported within two seconds: $(grep '^stopped-status' <<<"$out")"
  failures=$((failures + 1))
fi
expect "^restarted-status:  Ready on Port 2049\$" "and the port again after a restart"
binw=$(windows "$work/bin" | sed 's/[][\.*^$()+?{}|]/\\&/g')
expect "^verb-box: unchecked before" "the Exports page's context-menu box is clear while no verb is registered"
expect "^verb-text: \[Export in NFS\] shield \[\]\$" "Apply registers the folder verb with its text and an empty HasLUAShield"
expect "^verb-command: \[$binw\\\\lumeno\.exe \"%1\"\]\$" "its command starts the panel from its own folder with the folder in quotes"
expect "^verb-background: \[Export in NFS\] \[$binw\\\\lumeno\.exe \"%V\"\]\$" "and the verb of a folder's background"
expect "^verb-box: checked after" "the box shows the registered verb"
expect "^verb-removed: absent absent\$" "unchecked and applied, both verbs are gone"
expect "^help-opened: $binw\\\\doc\\\\quen\.htm \(present\)\$" "Help > Contents opens doc\\quen.htm beside the program with the shell's open verb"
blankw=$(windows "$work/with blank" | sed 's/[][\.*^$()+?{}|]/\\&/g')
expect "^blank-dialog: \[$blankw\\\\\]\$" "a folder with a blank on the command line reaches the entry dialog whole"
expect "^blank-start: ended 0\$" "and that panel ends with the dialog"
expect "^file-start: ended 1, windows 1\$" "a file on the command line ends the panel at once"
expect "^long-start: ended 1, windows 1\$" "so does an argument of 2044 characters"
expect "^service-install: NFS Server installed\. NFS Server started\." "quen.exe installs itself as the service"
expect "^service-stopped: stopped, status \[NFS Server service not active\]\$" "Service > Stop stops it and the status line follows"
expect "^service-started: running, status \[ Ready on Port 2049\]\$" "Service > Start starts it again and the status line follows"
expect "^service-removed: absent" "the service is removed again"
three=$(windows "$work/three" | sed 's/[][\.*^$()+?{}|]/\\&/g')
expect "^entry-options: \[ -readonly\]\$" "the -readonly box writes its word into the options"
expect "^entry-saved: closed" "Save closes the export entry dialog"
expect "^insert-showmount: /z.*/three 127\.0\.0\.1" "showmount -e lists the inserted export"
expect "^insert-file: \[$three -readonly 127\.0\.0\.1\]\$" "the exports file holds its line"
expect "^insert-old: the previous file" "and exports.old the file before it"
expect "^edit-fields: \[$three\] \[ -readonly\] readonly checked" "Edit opens with the row's fields and boxes"
expect "^edit-options: \[ -readonly -name:\]\$" "the -name: box adds its word"
expect "^edit-noarg: Option argument not specified" "a word without its argument is refused with a message"
expect "^edit-showmount: /panel-three 127\.0\.0\.1" "the edited export is seen by its name"
expect "^edit-file: \[$three -readonly -name:panel-three 127\.0\.0\.1\]\$" "the line is rewritten in place"
expect "^nfs-port: 2049\$" "the NFS page shows the server's port"
expect "^applied: stored Port=2050, running Port=2049\$" "Apply sends the record: the server stores the new port for its next start"
expect "^applied-empty: stored Port absent" "an empty port field stores 2049 (the default, so no value)"
expect "^transports: udp checked tcp unchecked" "UDP and TCP cannot both be cleared"
expect "^threads: stored Threads=1\$" "0 threads store 1"
expect "^server-page: fileid shown copy hidden" "the Server page: the copy emulation only when set"
expect "^maproot: MapRoot=0 then MapRoot=1\$" "a Server page box reaches the running server's record (quenctl settings)"
expect "^exports-page: row	/panel-three	-readonly 	127\.0\.0\.1 \$" "the Exports page shows the exports as MOUNT reports them"
expect "^raw-editor: 1 line" "the raw editor holds the file"
expect "^raw-saved: closed" "its Save closes it"
expect "^raw-file: unchanged" "and writes the text back as it was shown"
expect "^mounts-page: row	.*	/panel-three\$" "the Mounts page lists a mount made from Linux"
expect "^portmap-page: row	100003	3	TCP	2049\$" "the PortMapper page lists the server's registrations"
expect "^language-page: English" "the Language page shows the built-in language"
expect "^sheet: closed" "Cancel closes the sheet"
expect '^folder-dialog: \[Z:\\tmp\\\]' "a folder handed in opens the entry dialog with its backslash"
expect "^log-files: item	quen0001\.log\$" "the log viewer lists the server's log files"
expect "^log-files: item	quen[0-9]{4}\.log	\*\$" "and chooses the current month's"
expect "^log-error-row: log	1	[0-9-]{10}	[0-9:]{8}	mount3 folder error 127\.0\.0\.1 /panel-three" "a provoked error line carries the error mark, split into date, time and message"
expect "^log-plain-row: log	0	" "an ordinary line the ordinary mark"
expect "^log-closed: yes" "the log viewer closes"
expect "^language-list: row	Deutsch\.ini	Deutsch	1\.2\.70\$" "the Language page lists the shipped translation"
expect "^language-list: row	English	English	1\.2\.70\$" "and the built-in texts"
expect "^language-author: Tervalo " "a chosen row shows its translator"
expect "^language-title: Tervalo NFS-Server\$" "Apply renames the main window"
expect "^language-menu: Datei \| Dienst \| &Protokoll anzeigen \| &Einstellungen \| Hilfe\$" "and its menus (GetMenuString)"
expect "^language-current: Deutsch\$" "the page shows the new language"
expect "^language-stored: Deutsch\.ini\$" "the choice is stored per user"
expect "^language-status:  Bereit auf Port 2049\$" "the status line in German"
expect "^language-header:  [0-9]+ Eintr" "the header line too"
expect "^language-labels: Aktuelle Sprache: \| Verf" "the sheet opened again has German labels"
expect "^language-back: Tervalo NFS Server \| File \| &View Log\$" "the English row brings the built-in texts back"
expect "^print-dialog: open" "Print opens the system print dialog"
expect "^printout-header: quen0002\.log -- 1\$" "page 1 of the printout starts with the file name and the page number"
expect "^printout-pages: ([2-9]), ([0-9]+) lines on page 1, expected \1\$" "the printout has as many pages as its lines fill"
expect "^printout-first: 2026-02-01 10:00:00 print line 001\$" "the first line below the header, without its line end"
expect "^printout-last: quen0002\.log -- [2-9]; 2026-02-01 10:00:00 print line 150\$" "the last page ends with the file's last line"
expect "^about: open" "the about box"
expect "^tray present" "the tray icon (the shell holds it)"
expect "^screenshot: .*/tray.png" "Wine shows it in its tray window"
expect "^tray-menu: menu open" "a right click on the tray icon opens its menu"
expect "^to-tray: hidden" "minimised, the window goes to the tray"
expect "^tray-click: shown" "a click on the tray icon brings it back"
expect "^second-start: ended 0, first window shown" "a second start brings the first window forward and ends"
expect "^folder-start: ended 0, windows 1\$" "a second start with a folder runs hidden and ends with its dialog"
expect "^exit: ended" "Exit ends the panel"
if [ "$failures" -ne 0 ]; then
  echo "$out"
  tail -20 "$work/server.out"
fi
echo "panel-gui: $(( $(date +%s) - started )) s"
rm -rf "$work"
exit "$failures"
