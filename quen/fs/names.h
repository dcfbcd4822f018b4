// Translation of single names between the client's form (bytes in the
// client's encoding, case-sensitive) and the Windows form (UTF-8 in the
// internal path, without the characters and device names Windows refuses).
#pragma once
#include "quen/mount/mount_context.h"

#include <cstddef>
#include <cstdint>

inline constexpr size_t kNameSize = 512;        // a name buffer, NUL included
inline constexpr size_t kNamePathSize = 2048;   // a path buffer, NUL included

// Results are NFS status numbers.
enum : uint32_t {
    NAME_OK = 0,
    NAME_NOENT = 2,          // not representable on Windows
    NAME_ISDIR = 21,         // "." or ".."
    NAME_TOOLONG = 63,
};

// The tables built from the settings at start and read-only afterwards.
struct name_tables {
    uint8_t escape;            // the escape character
    uint8_t forward[256];      // escapable byte -> its code, 0 = not escapable
    uint8_t reverse[256];      // code -> its escapable byte, 0 = not a code
    uint8_t substitute[256];   // `sub` exports: class-0 byte -> replacement, 0 = none
    uint32_t code_page;        // of client names under NAME_ENCODING_CODE_PAGE
};

extern name_tables g_name_tables;   // holds the defaults until names_setup runs

// The escape list used when the configured one is not taken: the escape
// character and the codes of '"', '*', ':', '<', '>', '?', '\', '|', DEL.
inline constexpr char kDefaultEscapeList[] = "'^~={}%`!&";

// Builds g_name_tables. escape_list: the configured "EscapeList" (may be
// null); char_map: the "Map_%u" substitutes (may be null).
void names_setup(const char* escape_list, const uint8_t* char_map, uint32_t code_page);

// Translates the client name (name_len bytes as received; NULs are bytes of
// the name, not its end) and appends it to the directory path (a
// NUL-terminated string in a kNamePathSize buffer), after a backslash unless
// the path ends in one. On NAME_OK *name_pos (when given) is the offset of
// the name in the path; on failure the path is unchanged.
uint32_t nfs_name_to_windows(const mount_context& ctx, char* path, const char* name, size_t name_len,
                             size_t* name_pos);

// Translates a Windows name (NUL-terminated) to the client's form into out
// (out_size bytes; out may be the name's own buffer). Result: the length;
// 0 with out empty when the name does not fit.
size_t windows_name_to_nfs(const mount_context& ctx, const char* windows_name, char* out, size_t out_size);

// Whether the name is one Windows takes for a device: a base name (up to the
// first dot, trailing spaces ignored as Windows ignores them) of AUX, CON,
// NUL, PRN, COM1-COM9 or LPT1-LPT9, in any case.
bool names_is_reserved_device(const char* name, size_t len);

struct wp_find_data;

// In a mount with case-sensitive names, decides whether the last component
// of path (a NUL-terminated string in a kNamePathSize buffer) is an entry
// of its directory under exactly that case. Found: true, the component may
// be rewritten to the suffixed Windows name that holds the client's name,
// and *found (when given) holds the entry. Not found: false; when another
// case of the name exists (or the name itself ends like a suffix), the
// component gets the escape character and the lowest free digit, the name
// a create must use. After false the last error is FILE_NOT_FOUND for a
// missing name, or the search's own (access denied, sharing): only the first
// means the file is gone.
bool case_exact_lookup(char* path, wp_find_data* found);
