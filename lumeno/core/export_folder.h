// The folder of an export entry: its syntax, its normal spelling, and the
// checks a Save makes before the exports file is written.
#pragma once
#include "control_client/control_client.h"

#include <cstdint>
#include <string>

// After an optional "\\?\": a drive letter and ":", "Volume{...}" or "\\"
// and a server name, then the end or a backslash.
bool export_folder_syntax_ok(const std::string& folder);
// The drive letter upper-cased; a bare root gets its backslash (C: is C:\,
// \\server\share is \\server\share\), a longer folder loses one trailing
// backslash; a UNC path without a share stays as it is. A folder whose
// syntax is wrong comes back unchanged.
std::string export_folder_normalise(const std::string& folder);

// What the panel's machine says about a path (the window layer supplies
// the system's answers; tests their own).
struct panel_local_files {
    uint32_t (*attributes)(const char* path);                   // 0xFFFFFFFF: not there
    bool (*on_remote_drive)(const char* path);                  // its volume is a network drive
    bool (*universal_name)(const char* path, std::string* unc); // the network provider's UNC name
};
inline constexpr uint32_t kPanelNoFile = 0xFFFFFFFFu;
inline constexpr uint32_t kPanelDirectoryAttribute = 0x10;

// A handed-in or browsed folder: a backslash appended when missing (for
// texts shorter than 2047 characters); a folder on a network drive becomes
// its UNC name.
std::string export_folder_with_unc(const std::string& folder, const panel_local_files& local);

enum export_save_verdict {
    EXPORT_SAVE_GO,            // write the exports file
    EXPORT_SAVE_STAY,          // keep the dialog open, no message
    EXPORT_SAVE_NO_ARGUMENT,   // NOOPTARG
    EXPORT_SAVE_PIPE,          // ERROR_PIPE
    EXPORT_SAVE_NOT_UNC,       // NOTUNC
    EXPORT_SAVE_ASK,           // NOTEXISTS: save only when the user agrees
};
// The Save checks in their order: the options text, the folder's presence,
// syntax and normal spelling, then the server's view of it. options and
// folder come back as they are to be written.
export_save_verdict export_save_check(control_client& c, const panel_local_files& local, std::string* options,
                                      std::string* folder);
// The server's attributes of a path (CTL_GET_FILE_ATTRIBUTES). Result: -1
// pipe failure, 0 refused, 1 with *attributes set.
int export_server_attributes(control_client& c, const std::string& path, uint32_t* attributes);
