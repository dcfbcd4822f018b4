// What the file layer needs to know of the mount a request came through.
// The mount service fills it from the mount table entry for each request;
// until then callers (and tests) fill it themselves.
#pragma once
#include <cstdint>

struct export_entry;

// The mount flags word. The low bits are the export options, the high bits
// the volume's properties and the settings as the volume probe found them.
enum : uint32_t {
    MOUNT_FLAG_READONLY = 0x1,                // `readonly` / `ro`
    MOUNT_FLAG_LOWERCASE = 0x2,               // export option `lowercase`
    MOUNT_FLAG_MAPROOT = 0x8,                 // `maproot:`
    MOUNT_FLAG_MAPALL = 0x10,                 // `mapall:`
    MOUNT_FLAG_SUB = 0x20,                    // export option `sub:`
    MOUNT_FLAG_MAPALL_GROUP = 0x40,           // `mapall:` with a group
    MOUNT_FLAG_EXEC = 0x100,                  // `exec`: every file executable
    MOUNT_FLAG_UMASK = 0x400,                 // `umask:`
    MOUNT_FLAG_UID = 0x800,                   // `uid:`
    MOUNT_FLAG_UID_GROUP = 0x1000,            // `uid:` with a group
    MOUNT_FLAG_I32 = 0x2000,                  // `i32`: 32-bit file ids
    MOUNT_FLAG_NOSDC = 0x4000,                // `nosdc`: directories do not count subdirectories
    MOUNT_FLAG_DC = 0x8000,                   // `dc`
    MOUNT_FLAG_CI = 0x10000,                  // `ci`: inode numbers even where file ids work
    MOUNT_FLAG_SA = 0x20000,                  // `sa`: saved attributes wanted
    MOUNT_FLAG_CS = 0x40000,                  // `cs`: case-sensitive names wanted
    MOUNT_FLAG_AT = 0x60000,                  // `at`: both of the above
    MOUNT_FLAG_RP = 0x80000,                  // `rp`
    MOUNT_FLAG_ND = 0x100000,                 // `nd`

    MOUNT_FLAG_FILE_ID = 0x400000,            // handles carry the volume's file ids
    MOUNT_FLAG_LONG_PATH = 0x800000,          // the export path starts with "\\?\"
    MOUNT_FLAG_VOLUME_GUID = 0x1000000,       // ... followed by "Volume{"
    MOUNT_FLAG_CASE_BLIND = 0x2000000,        // the volume neither searches by case nor keeps it
    MOUNT_FLAG_FIXED_DRIVE = 0x4000000,
    MOUNT_FLAG_REPARSE = 0x8000000,           // the volume holds reparse points
    MOUNT_FLAG_HARD_LINKS = 0x10000000,
    MOUNT_FLAG_SAVED_ATTRIBUTES = 0x20000000, // UNIX mode and ids kept in the creation time
    MOUNT_FLAG_CASE_SENSITIVE = 0x40000000,   // names differing only in case coexist
    MOUNT_FLAG_NTFS = 0x80000000,

    // The bits the volume probe owns: recomputed on every probe.
    MOUNT_FLAGS_PROBED = 0xFFC00000,
};

enum : uint32_t {
    NAME_ENCODING_ASCII = 0,      // `-a`: bytes of 128 and above are refused
    NAME_ENCODING_CODE_PAGE = 1,  // `-w`: client names are in the CodePage code page
    NAME_ENCODING_UTF8 = 2,       // `-u`: client names are UTF-8 already
};

struct mount_context {
    uint32_t max_component_length;  // of the volume; 12 or less means 8.3 names
    uint32_t volume_serial;
    uint32_t flags;                 // MOUNT_FLAG_*
    uint32_t name_encoding;         // NAME_ENCODING_*
    uint8_t sub_colon;              // `sub:` substitute for ':', 0 = none
    uint8_t sub_question;           // `sub:` substitute for '?', 0 = none
    uint32_t origin;                // how the mount was made (protocol, WebNFS, automatic)
    const export_entry* entry;      // the export's options and ids; null: the defaults
    const char* mounted_path;       // Windows form; null when not known
};
