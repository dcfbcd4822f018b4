// The log viewer (111): the server's monthly log files, one chosen in a
// drop-down list and shown line by line, error lines marked, and printed.
#pragma once
#include "control_client/control_client.h"

#include <windows.h>

#include <string>

void log_viewer_open(HINSTANCE instance, HWND owner, control_client& pipe);
// Prints a log file through the system print dialog. Result: whether
// pages were printed (false also when the dialog was cancelled).
bool log_print_file(HWND owner, control_client& pipe, const std::string& name);
