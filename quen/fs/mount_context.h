// What name translation needs to know of the mount a request came through.
// The mount service fills it from the mount table entry for each request;
// until then callers (and tests) fill it themselves.
#pragma once
#include <cstdint>

enum : uint32_t {
    MOUNT_FLAG_LOWERCASE = 0x2,               // export option `lowercase`
    MOUNT_FLAG_SUB = 0x20,                    // export option `sub:`
    MOUNT_FLAG_CASE_SENSITIVE = 0x40000000,   // names differing only in case coexist
};

enum : uint32_t {
    NAME_ENCODING_ASCII = 0,      // `-a`: bytes of 128 and above are refused
    NAME_ENCODING_CODE_PAGE = 1,  // `-w`: client names are in the CodePage code page
    NAME_ENCODING_UTF8 = 2,       // `-u`: client names are UTF-8 already
};

struct mount_context {
    uint32_t max_component_length;  // of the volume; 12 or less means 8.3 names
    uint32_t volume_serial;
    uint32_t flags;                 // MOUNT_FLAG_* and the other export and volume bits
    uint32_t name_encoding;         // NAME_ENCODING_*
    uint8_t sub_colon;              // `sub:` substitute for ':', 0 = none
    uint8_t sub_question;           // `sub:` substitute for '?', 0 = none
};
