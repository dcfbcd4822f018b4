// The panel's own machine as the Save checks and the folder helpers see it.
#pragma once
#include "lumeno/core/export_folder.h"

#include <windows.h>

#include <string>

// GetFileAttributes, the drive type of the path's volume, and the network
// provider's universal name.
const panel_local_files& panel_local();
// A message box of the panel: the text, the panel's title, task-modal, in
// the user's default UI language.
int panel_message(HWND owner, const std::string& text, UINT type);
// A modal dialog of the panel's resources; when it cannot be shown the user
// is told (FAILED) and the result is -1.
INT_PTR panel_modal(HINSTANCE instance, HWND owner, int id, DLGPROC proc, LPARAM param);
// The main window's status line gets the pipe error text.
void panel_set_main_window(HWND main);
void panel_show_pipe_error();
// A dialog item's text, at most limit characters.
std::string panel_item_text(HWND dialog, int id, size_t limit);
