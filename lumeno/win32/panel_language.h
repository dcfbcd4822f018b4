// The panel's language files as Windows reads them: the private-profile
// functions, the "Languages" folder beside the program, the per-user
// choice, and the [Control] and [Menu] texts put into dialogs and menus.
// What is used when is decided by lumeno/core/language_file.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

// The program's directory, ending in a backslash (UTF-8).
std::string panel_program_dir();
// Loads the chosen language (or the built-in texts) for every later text.
void panel_language_load();
// The "*.ini" files of the Languages folder (UTF-8 names).
std::vector<std::string> panel_language_files();
// [Common] values and the like of a language file, as read.
std::string panel_language_read(const std::string& path, const char* section, const char* key);
// A text in the given code page (0: the ANSI code page) as UTF-16.
std::wstring panel_wide(const std::string& text, UINT code_page);
// The [Control] texts of a dialog: only keys present with a text.
void panel_apply_control_texts(HWND dialog, int dialog_id);
// The [Menu] texts of the menu bar, before any item is removed.
void panel_apply_menu_texts(HMENU menu);
