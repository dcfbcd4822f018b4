// The log viewer (111): the server's monthly log files, one chosen in a
// drop-down list and shown line by line, error lines marked.
#pragma once
#include "control_client/control_client.h"

#include <windows.h>

void log_viewer_open(HINSTANCE instance, HWND owner, control_client& pipe);
