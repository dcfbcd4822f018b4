// The about box (dialog 104).
#pragma once
#include <windows.h>

void panel_about(HINSTANCE instance, HWND owner);
