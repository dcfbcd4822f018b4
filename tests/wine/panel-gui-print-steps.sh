# Printing a log, for panel-gui-steps.sh (sourced there after the log
# viewer's steps). A printer of Wine's PostScript driver whose port, LPT1:,
# Wine's spooler maps to a file of this run; the printout becomes a PDF and
# a picture of its first page, and its pages and header are read back.
printout=$work/printout.ps
print_log=quen0002.log
print_lines=150
# The driver folder of a 64-bit and of a 32-bit panel.
for ppd_dir in x64 w32x86; do
  ppd_dir=$WINEPREFIX/drive_c/windows/system32/spool/drivers/$ppd_dir/3
  mkdir -p "$ppd_dir"
  cp "$(dirname "$0")/log-printer.ppd" "$ppd_dir/"
done
"$wine" reg add 'HKCU\Software\Wine\Printing\Spooler' /v 'LPT1:' /d "$printout" /f >/dev/null 2>&1
driver add-printer 'Log Printer' 'LPT1:' log-printer.ppd || echo "printer: not added"
rm -f "$printout"
for i in $(seq 1 "$print_lines"); do printf '2026-02-01 10:00:00 print line %03d\r\n' "$i"; done >"$bin/$print_log"
driver post 122
if dialog_open "$log_title"; then
  at=$(driver combo "$log_title" 1061 | grep -n "	$print_log" | cut -d: -f1)
  driver combo-select "$log_title" 1061 "$((at - 1))"
  driver item-post "$log_title" 1070   # Print
  if dialog_open Print; then
    echo "print-dialog: open"
    shot_dialog print-dialog Print
    driver close-dialog Print
    until_true 30 grep -q '%%EOF' "$printout" 2>/dev/null
  else
    echo "print-dialog: none"
  fi
  driver close-dialog "$log_title"
  dialog_gone "$log_title"
fi
if [ -s "$printout" ]; then
  ps2pdf "$printout" "$work/printout.pdf" 2>&1 | head -3
  pages=$(pdfinfo "$work/printout.pdf" 2>/dev/null | sed -n 's/^Pages: *//p')
  pdftotext -layout -f 1 -l 1 "$work/printout.pdf" "$work/page1.txt"
  pdftotext -layout -f "$pages" -l "$pages" "$work/printout.pdf" "$work/last.txt"
  per_page=$(grep -c 'print line' "$work/page1.txt")
  echo "printout-header: $(grep -m1 . "$work/page1.txt" | tr -s ' ' | sed 's/^ //')"
  echo "printout-pages: $pages, $per_page lines on page 1, expected $(( (print_lines + per_page - 1) / per_page ))"
  echo "printout-first: $(grep -m1 'print line' "$work/page1.txt" | sed 's/^ *//')"
  echo "printout-last: $(grep -m1 . "$work/last.txt" | tr -s ' ' | sed 's/^ //'); $(grep 'print line' "$work/last.txt" | tail -1 | sed 's/^ *//')"
  pdftoppm -f 1 -l 1 -r 50 -png "$work/printout.pdf" "$work/printout"
  cp "$work"/printout-*1.png "$shots/printout-page1.png" && echo "screenshot: $shots/printout-page1.png"
else
  echo "printout: nothing printed"
fi
rm -f "$bin/$print_log"
"$wine" reg delete 'HKCU\Software\Wine\Printing\Spooler' /v 'LPT1:' /f >/dev/null 2>&1
