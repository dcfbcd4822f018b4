// The exports file: parsing it into export entries, the active and retired
// lists, and matching mount requests against the entries.
#pragma once
#include "quen/mount/export_entry.h"

#include <cstddef>
#include <cstdint>
#include <string>

// Problems found in the file; the last one is stored as "ExportsError"
// with its line as "ExportsLine".
enum : uint32_t {
    EXPORTS_OK = 0,
    EXPORTS_OPEN_FAILED = 1,
    EXPORTS_EXPECTED_PATH = 3,
    EXPORTS_REPARSE_POINT = 4,
    EXPORTS_BAD_OPTION = 5,
    EXPORTS_BAD_CLIENT = 6,
    EXPORTS_TOO_MANY_CLIENTS = 7,
    EXPORTS_DUPLICATE = 8,
};

inline constexpr size_t kExportPathMax = 2047;   // a path token must be shorter
inline constexpr size_t kExportAliasMax = 2043;  // bytes of a `name:` value

struct exports_report {
    uint32_t error = EXPORTS_OK;  // last problem, EXPORTS_OK when none
    uint32_t line = 0;            // its line, counted from 1
};

// Host names of client lists are resolved through this (net_resolve_ipv4
// unless replaced, e.g. by tests that must not reach a name service).
using exports_resolver = int (*)(const char* name, uint32_t* out, int max);
void exports_set_resolver(exports_resolver resolver);  // null restores the default

// Retires the active list and reads "exports" from the data directory
// (g_settings.data_dir, the "Directory" setting) into a new one. Writes ExportsError/ExportsLine.
exports_report exports_load();
// The same over text already in memory, without the open step and without
// touching the configuration values.
exports_report exports_load_text(const char* text, size_t length);

// The lock of the export lists: a reload and a removal hold it while they
// change the lists, and whoever walks the active list holds it for the walk,
// so no reader sees a list half rebuilt or follows a link into the retired
// one. Entries are never freed, so a found entry stays valid after the lock
// is let go. Taken after the control lock; readers take no lock of the
// mount table under it, and a holder may take it again.
struct exports_hold {
    exports_hold();
    ~exports_hold();
    exports_hold(const exports_hold&) = delete;
    exports_hold& operator=(const exports_hold&) = delete;
};

// Walk these under an exports_hold.
export_entry* exports_active();   // file order
export_entry* exports_retired();

// Whether the client (IPv4, network order) may use the entry.
bool export_client_allowed(const export_entry& entry, uint32_t client);

// Finds the export for a requested client path (null: the public export).
// *encoding: in, the encoding detected for the request (NAME_ENCODING_*);
// out, the effective one. windows_path receives the matched path in Windows
// form. Result: 0, or 13 (access denied) when nothing matches.
uint32_t export_find(const char* path, uint32_t client, uint32_t* encoding, export_entry** entry,
                     std::string* windows_path);

// Moves the entry from the active to the retired list and rewrites the file.
// Result: the entry was active.
bool export_remove(export_entry* entry);
// The active entry with the identifier, or null.
export_entry* export_by_id(uint32_t export_id);

// The identifier of an entry as its fields stand now.
uint32_t export_identifier(const export_entry& entry);

// Frees both lists. Only for tests and fuzzing: the server keeps every
// entry for as long as it runs, since mounts refer to them.
void exports_free_all();
