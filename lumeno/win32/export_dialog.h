// The export entry dialog (112): insert or edit one export, check it and
// write the exports file through the server.
#pragma once
#include "control_client/control_client.h"
#include "lumeno/core/panel_lists.h"

#include <windows.h>

#include <vector>

struct export_dialog_args {
    bool edit = false;                  // Edit (133), else Insert (132)
    const char* folder = nullptr;       // handed in (dropped, command line), or null
    size_t row = 0;                     // the row of the exports view it refers to
    std::vector<panel_row> rows;        // the exports view as shown
};
// Result: 1 saved, 0 cancelled, -1 the dialog could not be created (the
// FAILED message has been shown).
int export_dialog_open(HINSTANCE instance, HWND owner, control_client& pipe, export_dialog_args& args);
