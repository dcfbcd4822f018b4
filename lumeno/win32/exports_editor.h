// The raw exports editor (103): the whole exports file as text, written
// back through the server and reloaded on Save.
#pragma once
#include "control_client/control_client.h"

#include <windows.h>

void exports_editor_open(HINSTANCE instance, HWND owner, control_client& pipe);
