// The panel's command line: the folder Explorer hands over ("Export in
// NFS"), what becomes of it, and the parameters of the elevated restart.
#pragma once
#include "lumeno/core/export_folder.h"

#include <cstddef>
#include <string>

// A longer argument is not a folder Explorer would pass: the panel ends.
inline constexpr size_t kCommandLineFolderMax = 2043;

enum panel_start_kind {
    PANEL_START_NORMAL,    // no folder: the usual start
    PANEL_START_END,       // end at once (too long, or a file)
    PANEL_START_ELEVATE,   // start again with "runas" and `parameters`, then end
    PANEL_START_INSERT,    // start, then the export entry dialog for `folder`
};

struct panel_start_plan {
    panel_start_kind kind = PANEL_START_NORMAL;
    std::string folder;       // PANEL_START_INSERT: the folder as handed in (cut at a quote)
    std::string parameters;   // PANEL_START_ELEVATE: the folder (UNC form) quoted for argv
};

// argument: the first command-line argument, or null. admin: the panel's
// administrator test on the process token. A folder on a network drive is
// handed to the elevated process by its UNC name, since that process does
// not see the user's drive mappings.
panel_start_plan panel_command_line(const char* argument, bool admin, const panel_local_files& local);

// One argument in double quotes, so that the C runtime's argv parsing
// gives it back whole: backslashes before a quote, the closing one too,
// are doubled, and a quote inside is escaped.
std::string panel_quote_argument(const std::string& argument);
