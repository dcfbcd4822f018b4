// The exports file as the panel writes it: read and written whole through
// the server (which keeps the previous file as "exports.old"), an entry
// changed or added in place, and the outcome of the server's last reading.
//
// Only the entry being saved changes: every other line of the file, its
// comments and the lines the server ignored (a folder missing today, an
// unknown option) included, stays where it was.
#pragma once
#include "control_client/control_client.h"
#include "lumeno/core/panel_lists.h"

#include <cstdint>
#include <string>
#include <vector>

inline constexpr size_t kExportsEditorMax = 65000;   // characters of the raw editor
inline constexpr uint32_t kExportsWritePiece = 2048;

// One entry as a line of the file, with its line feed: the folder (in
// double quotes when it holds a blank or tab), the options and the clients,
// one blank between the parts.
std::string exports_entry_line(const std::string& folder, const std::string& options, const std::string& clients);

// A save from the export entry dialog. `row` is the row of the exports view
// it refers to: the entry edited, or the one the new entry goes before (the
// empty last row: at the end).
struct exports_change {
    bool edit = false;
    size_t row = 0;
    std::string folder, options, clients;
};
// The new file from the old one and the exports view's rows (the server's
// active entries, in file order, ending with the empty row). An edited
// entry's line (with the lines its options or clients continue on) is
// replaced; an inserted entry goes before its row's line, or at the end.
// Rows the old file does not hold are appended, so that no active export
// is dropped.
std::string exports_rebuild(const std::string& old_text, const std::vector<panel_row>& rows,
                            const exports_change& change);

// Reads "exports" whole (lines as the server gives them) into text, at most
// limit characters. Result: -1 pipe failure, 0 not opened (text empty), 1.
int exports_read(control_client& c, std::string* text, size_t limit);
// The raw editor's text: each line cut at its first CR or LF, then CR LF;
// whole lines only, within limit characters.
std::string exports_editor_text(const std::string& file_text, size_t limit);
// Whether the whole file fits the editor: a file that does not is shown in
// part, and saving that part would drop the rest, so it is not saved.
bool exports_editor_fits(const std::string& file_text, size_t limit);
inline constexpr size_t kExportsFileMax = 4u << 20;   // a file the panel rewrites, at most
// Writes text as the new "exports" (mode "w" for text, "wb" for the raw
// editor's CR LF text) in pieces, then closes it. Result: -1, 0 not opened
// or a piece refused, 1.
int exports_write(control_client& c, const std::string& text, const char* mode);
// CTL_RELOAD_EXPORTS. Result: -1, 0, 1.
int exports_reload(control_client& c);
// Read, rebuild, write, reload. Result: -1 pipe failure (anywhere), 0 the
// server refused or the file is larger than the panel rewrites (nothing
// written or reloaded), 1.
int exports_save_change(control_client& c, const std::vector<panel_row>& rows, const exports_change& change);

// The Exports page's status text from the server's ExportsError and
// ExportsLine values: "" for none, EXP_ERROR_1 alone, else "Line 7 ignored, ...".
std::string exports_status_text(int32_t error, int32_t line);
// The same from the registry values the server writes.
std::string exports_status_text_stored();
