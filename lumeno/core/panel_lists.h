// The main window's list: the rows of the exports view and the mounts view
// as the server reports them over the control pipe, the header line, and
// the two commands that change the server (remove an export, disconnect a
// mount). Nothing is kept between refreshes: each one asks the server anew.
#pragma once
#include "control_client/control_client.h"

#include <cstdint>
#include <string>
#include <vector>

enum panel_view : uint32_t { PANEL_VIEW_EXPORTS = 0, PANEL_VIEW_MOUNTS = 1 };

struct panel_row {
    uint32_t ref = 0;          // the entry's reference; 0 for the exports view's empty last row
    std::string text[3];
};

struct panel_list {
    std::vector<panel_row> rows;
    uint32_t entries = 0;      // exports or mounts listed (the empty row not counted)
    std::string header;        // the header line
};

// The options column of an export: " -name:..", the name encoding and the
// option words in the exports file's own order, each after one blank. image
// is the 104-byte export image; name the alias text with its leading "/"
// (empty when none).
std::string panel_export_options(const uint8_t* image, const std::string& name);
// " 10.0.0.1 10.0.0.2" from addresses in network byte order.
std::string panel_client_addresses(const uint8_t* addresses, uint32_t count);
// "%u.%u.%u.%u" of four bytes in network order.
std::string panel_dotted(const uint8_t* address);
// The mounts view's type column from a mount's origin word: "tcp", "udp" or
// "", then " public" and " auto".
std::string panel_mount_type(uint32_t origin);
// UTF-8 from the server in the ANSI code page, cut to fit `limit` bytes;
// the text as it came when it does not convert.
std::string panel_ansi(const char* utf8, size_t limit);

// " %u Entries" / " %u Clients", with two tabs and the MODE text in view-only mode.
std::string panel_header(panel_view view, uint32_t entries, bool view_only);

// Builds the rows of the view. Result: -1 when the pipe failed (the rows
// are then what a dead server shows: the exports view's empty row alone, no
// mounts), else the number of rows.
int panel_list_refresh(control_client& c, panel_view view, bool resolve_names, bool view_only, panel_list* out);

// Removes the export (CTL_REMOVE_EXPORT) or the mount (CTL_REMOVE_MOUNT)
// of a row's reference. Result: -1 pipe failure, 0 refused, 1 removed. An
// export reference of 0 (the empty row) sends nothing and gives 0.
int panel_remove_row(control_client& c, panel_view view, uint32_t ref);
