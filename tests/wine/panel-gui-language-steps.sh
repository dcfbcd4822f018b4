# The language files, for panel-gui-steps.sh (sourced there after the log
# viewer steps, with the editor steps' helpers): the Language page lists the
# shipped German translation; Apply switches the menus and the window title
# at once; the sheet opened again is German throughout; the English row
# switches back, so the steps after these find the built-in texts.
german_title='Tervalo NFS-Server'
language_row() { driver list "$1" | grep -n "^row	$2	" | head -1 | cut -d: -f1; }
echo "menu-english: $(driver menu-top 0) | $(driver menu-text 122)"
driver post 124
if dialog_open "$title"; then
  driver page "$title" 5
  driver list "$title" | sed 's/^/language-list: /'
  row=$(language_row "$title" Deutsch.ini)
  if [ -n "$row" ]; then
    driver item-select "$title" 1007 "$((row - 1))"
    echo "language-author: $(driver item-text "$title" 1053)"
    driver item-post "$title" 12321   # Apply
    until_true 10 bash -c "[ \"\$(timeout 30 '$wine' '$bin/panel_driver.exe' title | tr -d '\r')\" = '$german_title' ]"
    echo "language-title: $(driver title)"
    echo "language-menu: $(driver menu-top 0) | $(driver menu-top 0 0) | $(driver menu-text 122) | $(driver menu-text 124) | $(driver menu-top 3)"
    echo "language-current: $(driver item-text "$title" 1006)"
    echo "language-stored: $("$wine" reg query 'HKCU\Software\Tervalo\quen' /v Language 2>/dev/null | tr -d '\r' | awk '$1 == "Language" { print $3 }')"
  fi
  driver item-post "$title" 2   # Cancel: what was applied stays
  dialog_gone "$title"
fi
until_true 5 bash -c "timeout 30 '$wine' '$bin/panel_driver.exe' rows 2>/dev/null | grep -q '^status	 Bereit auf Port'"
echo "language-status: $(status_line)"
echo "language-header: $(driver rows | sed -n 's/^header\t//p')"
shot main-german "$x" "$y" "$w" "$h"
driver post 124
if dialog_open "$german_title"; then
  driver page "$german_title" 5
  echo "language-labels: $(driver item-text "$german_title" 1046) | $(driver item-text "$german_title" 1047) | $(driver item-text "$german_title" 1050)"
  row=$(language_row "$german_title" Deutsch.ini)
  [ -n "$row" ] && driver item-select "$german_title" 1007 "$((row - 1))"
  shot_dialog language-page-german "$german_title"
  row=$(language_row "$german_title" English)
  driver item-select "$german_title" 1007 "$((row - 1))"
  driver item-post "$german_title" 12321
  until_true 10 bash -c "[ \"\$(timeout 30 '$wine' '$bin/panel_driver.exe' title | tr -d '\r')\" = '$title' ]"
  echo "language-back: $(driver title) | $(driver menu-top 0) | $(driver menu-text 122)"
  driver item-post "$german_title" 2
  dialog_gone "$german_title"
else
  echo "language-sheet: none"
fi
