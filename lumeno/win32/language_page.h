// The Language page (109) of the configuration sheet: the current
// language, the files of the Languages folder, and Apply, which switches
// the panel to the chosen one.
#pragma once
#include "control_client/control_client.h"

#include <windows.h>

void language_page_init(HWND page);
// A notification of the page: a chosen row shows its translator and
// enables Apply.
void language_page_notify(HWND page, const NMHDR* n);
// Stores the chosen row's file as the user's language, loads it, rebuilds
// the main window and, in administrator mode, renames the Explorer verb.
void language_page_apply(HWND page, control_client& pipe, bool admin);
