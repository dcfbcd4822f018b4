// Export entries as text: the canonical option words (for the load log,
// the EXPORT reply and the exports file) and the rewrite of the file.
#pragma once
#include "quen/mount/export_entry.h"

#include <cstddef>
#include <cstdint>
#include <string>

// Writes the text of the next option still set in *flags / *entry_options
// into text (size bytes) and clears the bits it stands for. Result: its
// length, 0 when no option with a text is left.
size_t export_option_next(uint32_t* flags, uint32_t* entry_options, const export_entry& entry, char* text,
                          size_t size);
// "-a", "-w" or "-u"; empty (0) for the automatic encoding.
size_t export_encoding_text(const export_entry& entry, char* text, size_t size);
// One exports-file line with its line feed, optionally led by the identifier.
// The folder and alias in the ANSI code page, or as kept (UTF-8) with utf8.
std::string export_line_text(const export_entry& entry, bool with_identifier, bool utf8 = false);
// Whether the exports must be written as UTF-8 (with its byte-order mark):
// a name beyond ASCII in ANSI form could read back as other UTF-8 text.
bool exports_need_utf8();

// Steps of the rewrite, for exports_rewrite_set_step_hook.
enum : int {
    REWRITE_STEP_DELETE_OLD = 1,
    REWRITE_STEP_RENAME = 2,
    REWRITE_STEP_OPEN = 3,
    REWRITE_STEP_COPY_HEADER = 4,
    REWRITE_STEP_WRITE_ENTRY = 5,  // before each entry
    REWRITE_STEP_CLOSE = 6,
};
// Called before each step; returning false stops the rewrite there as a
// crash would (the files are left as they stand). Null: no hook.
using exports_rewrite_step_hook = bool (*)(int step);
void exports_rewrite_set_step_hook(exports_rewrite_step_hook hook);

// Rewrites "exports" in the program directory from the active list, keeping
// the old file as "exports.old" and its leading comment lines. Result: the
// new file was written completely.
bool exports_rewrite();
