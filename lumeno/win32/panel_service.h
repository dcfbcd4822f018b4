// The panel's ways out of its window: the server's service, the help file,
// and drops let through to an elevated window.
#pragma once
#include <windows.h>

// Start and stop "NFSserver"; failures are silent (the status line tells).
void panel_service_start();
void panel_service_stop();
// Opens "doc\quen.htm" ("doc\quen-d.htm" for a German user interface, where it is installed)
// beside the program.
void panel_open_help(HWND owner);
// Lets drop and data-copy messages through the privilege filter of Windows 6 and later.
void panel_allow_drops(HWND window);
