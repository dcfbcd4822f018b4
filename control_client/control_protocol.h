// The control pipe's messages. A request is a code word, a length word and
// at most 4088 data bytes; a reply is a status word, a length word and its
// data. Words are little-endian. Shared by the server and its clients.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

inline constexpr uint32_t kControlMessageMax = 4096;
inline constexpr uint32_t kControlHeaderSize = 8;
inline constexpr uint32_t kControlDataMax = kControlMessageMax - kControlHeaderSize;

enum control_code : uint32_t {
    CTL_GET_SETTINGS = 1,
    CTL_SET_SETTINGS = 2,
    CTL_GET_EXPORT = 3,
    CTL_GET_EXPORT_FOLDER = 4,
    CTL_GET_EXPORT_NAME = 5,
    CTL_GET_EXPORT_CLIENTS = 6,
    CTL_RELOAD_EXPORTS = 7,
    CTL_REMOVE_EXPORT = 8,
    CTL_GET_FILE_ATTRIBUTES = 9,
    CTL_GET_MOUNT = 10,
    CTL_REMOVE_MOUNT = 11,
    CTL_FIND_FIRST = 41,
    CTL_FIND_NEXT = 42,
    CTL_FIND_CLOSE = 43,
    CTL_OPEN_FILE = 44,
    CTL_CLOSE_FILE = 45,
    CTL_READ_LINE = 46,
    CTL_WRITE_FILE = 47,
    CTL_SHELL_MENU = 49,
};

enum : uint32_t {
    CTL_OK = 0,
    CTL_UNKNOWN = 1,
    CTL_DENIED = 2,
};

inline constexpr uint32_t kControlSettingsSize = 180;
inline constexpr uint32_t kControlExportImageSize = 104;
inline constexpr uint32_t kControlMountImageSize = 568;   // the path text starts at 564
inline constexpr uint32_t kControlMountPathOffset = 564;
inline constexpr uint32_t kControlFindDataSize = 320;
inline constexpr uint32_t kControlFindReplySize = kControlHeaderSize + 4 + kControlFindDataSize;   // 332
inline constexpr uint32_t kControlLineMax = 4087;   // characters of one CTL_READ_LINE piece

// The Windows find-data record (WIN32_FIND_DATAA) as the search commands carry it.
struct control_find_data {
    uint32_t attributes;
    uint32_t creation_time[2];      // FILETIME: low, high
    uint32_t last_access_time[2];
    uint32_t last_write_time[2];
    uint32_t size_high;
    uint32_t size_low;
    uint32_t reserved0;
    uint32_t reserved1;
    char name[260];
    char alternate_name[14];
    uint8_t padding[2];
};
static_assert(sizeof(control_find_data) == kControlFindDataSize);
static_assert(offsetof(control_find_data, size_high) == 28);
static_assert(offsetof(control_find_data, name) == 44);
static_assert(offsetof(control_find_data, alternate_name) == 304);

inline uint32_t control_get32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline void control_put32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}
inline uint16_t control_get16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
