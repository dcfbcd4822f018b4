// The configuration sheet (Edit > Preferences): a modal property sheet of
// six pages. The NFS and Server pages edit the settings record, the
// Exports page shows the exports as clients see them, the Mounts and
// PortMapper pages what this machine's MOUNT service and portmapper report.
#pragma once
#include "control_client/control_client.h"
#include "lumeno/core/panel_state.h"

#include <windows.h>

struct config_sheet_context {
    HINSTANCE instance;
    HWND owner;
    control_client* pipe;
    panel_settings* settings;   // the main window's copy, re-read by its refreshes
    bool admin;
    bool read_ok = false;       // the NFS page's read of the record succeeded
};
// Returns when the sheet closes.
void config_sheet_open(config_sheet_context& context);
