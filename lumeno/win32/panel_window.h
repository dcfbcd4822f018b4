// The main window of the control panel: class "quen", its header bar, list
// and status bar, menus, tray icon and timer. Every decision is the core's;
// this file only moves its results into windows.
#pragma once
#include <windows.h>

struct panel_startup {
    HINSTANCE instance;
    bool secondary;           // started only to insert a folder: hidden, no tray icon
    const char* folder;       // from the command line, or null
};

// Registers the class and creates the window with its children. Result:
// the window, or null (the caller reports the failure).
HWND panel_window_create(const panel_startup& s);
// The accelerators of the main window.
HACCEL panel_accelerators();
// After creation: determines administrator mode, reads the settings,
// builds menus and columns, shows the window (hidden for a secondary
// instance), starts the timer and the first refresh.
void panel_window_start(int show);
// Hands a folder to the export entry dialog, as a dropped folder is.
void panel_window_insert(const char* folder);
// Menus, texts, columns and title again, after a language change.
void panel_window_rebuild();
