// The file "mounttab": one text line per mount table entry, read at start
// and written anew, through a temporary file renamed over it, whenever the
// table's text changed.
//   "%x %x %x %x " client address (a.b.c.d with a in the top byte), origin
//   word, name encoding, mount identifier; then the entry's own mounted path
//   and "|" when it has one; then the export's folder and a line feed.
#pragma once
#include "quen/mount/mount_table.h"

#include <cstddef>
#include <cstdint>
#include <string>

// Room for a full table at the default "Mounts" with paths of every length;
// of a larger file only the lines within it are read.
inline constexpr size_t kMounttabMaxBytes = 32u << 20;

struct mounttab_line {
    uint32_t client = 0;      // network order
    uint32_t origin = 0;
    uint32_t encoding = 0;
    uint32_t mount_id = 0;
    std::string mounted_path; // Windows form; the folder when the line has no "|"
    std::string folder;       // the export's folder
};

// The file beside the other data files (the data directory, else the
// program directory).
std::string mounttab_path();

// One line without its line feed (a carriage return before it is dropped).
// false for a damaged line: not four hexadecimal numbers each followed by
// one space, an empty or over-long path, a NUL byte, or an empty part
// around "|".
bool mounttab_parse_line(const char* text, size_t length, mounttab_line* out);
// The line of an entry, with its line feed.
std::string mounttab_format_line(const mount_entry_copy& entry);
// The whole file text of the table as it stands now.
std::string mounttab_text();

// Turns a parsed line back into a mount; false skips it.
using mounttab_restore_fn = bool (*)(const mounttab_line& line);
// The server's restore: the export that admits the stored client for the
// folder, the volume probe and the folder's identity, then a mount with the
// stored identifier.
bool mounttab_restore(const mounttab_line& line);

struct mounttab_load_report {
    bool opened = false;
    size_t restored = 0;
    size_t damaged = 0;    // lines that did not parse (each logged)
    size_t dropped = 0;    // lines whose mount could not be restored
};
// Reads the file (a missing one is no error). The text read counts as the
// last one written, so an unchanged table is not written again.
mounttab_load_report mounttab_load(const char* path, mounttab_restore_fn restore = mounttab_restore);
// The same over the file's text already in memory.
mounttab_load_report mounttab_load_text(const char* text, size_t length, mounttab_restore_fn restore);

enum mounttab_save_result { MOUNTTAB_UNCHANGED, MOUNTTAB_WRITTEN, MOUNTTAB_FAILED };
// Writes the table's text when it differs from the text last written or
// read, under the mount lock: into path + ".tmp", then renamed over path.
mounttab_save_result mounttab_save(const char* path);
// Forgets the text last written, so that the next save writes.
void mounttab_forget();
