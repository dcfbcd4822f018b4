// The export entry: one per accepted line of the exports file. Its fixed
// part crosses the control pipe byte for byte (little-endian words), so
// that part has a fixed layout; the texts and the address list it refers to
// are held beside it.
#pragma once
#include "quen/mount/mount_context.h"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Entry options (the word at offset 24).
enum : uint32_t {
    EXPORT_ALLDIRS = 0x1,
    EXPORT_PUBLIC = 0x2,
    EXPORT_HIDE = 0x4,
    EXPORT_RANGE = 0x8,
};

enum : uint32_t {
    EXPORT_DEFAULT_UMASK = 022,
    EXPORT_ENCODING_AUTOMATIC = 3,   // beside NAME_ENCODING_*: decided at mount time
    EXPORT_MAX_ADDRESSES = 128,
};

inline constexpr size_t kExportImageSize = 104;

// The fixed part. Words that the server holds as pointers (next entry,
// folder, alias, addresses) are opaque references here: the pipe hands
// them out and takes them back, and nothing dereferences them.
struct export_entry_image {
    uint32_t self_ref;
    uint32_t next_ref;               // 0 after the last entry
    uint32_t folder_ref;
    uint32_t alias_ref;              // 0: no alias
    uint32_t volume_serial;
    uint32_t max_name_length;
    uint32_t entry_options;          // EXPORT_ALLDIRS ...
    uint32_t mount_flags;            // MOUNT_FLAG_*: options low, volume probe high
    uint32_t umask;                  // group and other bits only
    uint32_t name_encoding;          // NAME_ENCODING_* or EXPORT_ENCODING_AUTOMATIC
    uint32_t uid_uid;                // `uid:`
    uint32_t uid_gid;
    uint32_t maproot_uid;            // `maproot:`
    uint32_t maproot_gid;            // 0 when not given
    uint32_t mapall_uid;             // `mapall:`
    uint32_t mapall_gid;
    uint32_t address_count;          // 0..EXPORT_MAX_ADDRESSES
    uint32_t addresses_ref;
    uint32_t export_id;              // CRC over the entry's definition
    uint32_t reserved76;
    uint64_t root_identity;          // inode number or file id of the folder
    uint32_t volume_prefix_length;   // 3 for "C:\..."
    uint32_t mount_count;            // mount table entries that refer to the entry
    uint8_t sub_first;               // `sub:` substitute for ':'
    uint8_t sub_second;              // `sub:` substitute for '?', 0 = not given
    uint8_t reserved98[6];
};

static_assert(std::endian::native == std::endian::little, "the image is the record as held");
static_assert(sizeof(export_entry_image) == kExportImageSize);
static_assert(offsetof(export_entry_image, folder_ref) == 8);
static_assert(offsetof(export_entry_image, alias_ref) == 12);
static_assert(offsetof(export_entry_image, volume_serial) == 16);
static_assert(offsetof(export_entry_image, max_name_length) == 20);
static_assert(offsetof(export_entry_image, entry_options) == 24);
static_assert(offsetof(export_entry_image, mount_flags) == 28);
static_assert(offsetof(export_entry_image, umask) == 32);
static_assert(offsetof(export_entry_image, name_encoding) == 36);
static_assert(offsetof(export_entry_image, uid_uid) == 40);
static_assert(offsetof(export_entry_image, uid_gid) == 44);
static_assert(offsetof(export_entry_image, maproot_uid) == 48);
static_assert(offsetof(export_entry_image, maproot_gid) == 52);
static_assert(offsetof(export_entry_image, mapall_uid) == 56);
static_assert(offsetof(export_entry_image, mapall_gid) == 60);
static_assert(offsetof(export_entry_image, address_count) == 64);
static_assert(offsetof(export_entry_image, addresses_ref) == 68);
static_assert(offsetof(export_entry_image, export_id) == 72);
static_assert(offsetof(export_entry_image, reserved76) == 76);
static_assert(offsetof(export_entry_image, root_identity) == 80);
static_assert(offsetof(export_entry_image, volume_prefix_length) == 88);
static_assert(offsetof(export_entry_image, mount_count) == 92);
static_assert(offsetof(export_entry_image, sub_first) == 96);
static_assert(offsetof(export_entry_image, sub_second) == 97);
static_assert(offsetof(export_entry_image, reserved98) == 98);

struct export_entry {
    export_entry_image fixed{};
    export_entry* next = nullptr;     // in the active or the retired list
    std::string folder;               // UTF-8, Windows form
    std::string alias;                // "/" and the `name:` value, or empty
    std::vector<uint32_t> addresses;  // IPv4, network byte order
};

// An entry before any option is applied: umask 022, automatic encoding.
inline export_entry_image export_image_defaults() {
    export_entry_image i{};
    i.umask = EXPORT_DEFAULT_UMASK;
    i.name_encoding = EXPORT_ENCODING_AUTOMATIC;
    return i;
}
