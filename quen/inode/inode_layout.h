// Byte layout of the inode table file: 32-byte blocks, little-endian, block
// 0 the header. Records are used in place in the mapped view.
#pragma once
#include <bit>
#include <cstddef>
#include <cstdint>

static_assert(std::endian::native == std::endian::little, "the table file is read in place as little-endian");

inline constexpr uint32_t kBlockSize = 32;
inline constexpr uint32_t kNameMax = 511;         // bytes of one stored name
inline constexpr uint32_t kNameInline = 16;       // a name up to this long needs no continuation
inline constexpr uint32_t kNameFirstPart = 12;    // inline bytes of a longer name
inline constexpr uint32_t kNameBlockBytes = 28;   // name bytes per continuation block
inline constexpr uint32_t kDirectoryLevels = 64;  // levels below a top-level record
inline constexpr uint8_t kRecordMarker = 0xFF;

enum : uint8_t {
    INODE_SEEN = 0x01,
    INODE_BUSY = 0x02,
    INODE_LINK_BASE = 0x20,
    INODE_RING_MEMBER = 0x40,
    INODE_KNOWN_FLAGS = INODE_SEEN | INODE_BUSY | INODE_LINK_BASE | INODE_RING_MEMBER,
};

struct table_header {
    uint32_t free_head;        // first free run, 0 = none
    uint32_t root_head;        // first top-level record
    uint32_t total;            // table size in bytes
    uint32_t volume_stamp;     // serial of the volume holding the file
    uint32_t alloc_cursor;     // where the next allocation search starts (0 = the start)
    uint32_t link_base_head;   // first link base record
    uint32_t reserved[2];
};

struct free_run {
    uint32_t size;             // bytes, a multiple of 32
    uint32_t next;             // next run at a higher offset, 0 = end
    uint8_t undefined[24];
};

struct inode_record {
    uint32_t next;             // next sibling (link base: next base)
    uint32_t parent;           // 0 = top-level
    uint8_t marker;            // kRecordMarker when live
    uint8_t flags;
    uint16_t name_length;      // 0..511
    uint32_t child;            // first child; ring link for ring members and bases
    uint8_t name[16];          // whole name up to 16 bytes; else u32 first continuation + 12 bytes
};

struct link_base_fields {      // bytes 16..27 of a link base record
    uint32_t index_low;
    uint32_t index_high;
    uint32_t volume_serial;
    uint32_t zero;
};

struct name_block {
    uint32_t next;             // next continuation block, 0 = last
    uint8_t bytes[28];
};

static_assert(sizeof(table_header) == 32 && offsetof(table_header, free_head) == 0 &&
              offsetof(table_header, root_head) == 4 && offsetof(table_header, total) == 8 &&
              offsetof(table_header, volume_stamp) == 12 && offsetof(table_header, alloc_cursor) == 16 &&
              offsetof(table_header, link_base_head) == 20 && offsetof(table_header, reserved) == 24);
static_assert(sizeof(free_run) == 32 && offsetof(free_run, size) == 0 && offsetof(free_run, next) == 4);
static_assert(sizeof(inode_record) == 32 && offsetof(inode_record, next) == 0 && offsetof(inode_record, parent) == 4 &&
              offsetof(inode_record, marker) == 8 && offsetof(inode_record, flags) == 9 &&
              offsetof(inode_record, name_length) == 10 && offsetof(inode_record, child) == 12 &&
              offsetof(inode_record, name) == 16);
static_assert(sizeof(link_base_fields) == 16);
static_assert(sizeof(name_block) == 32 && offsetof(name_block, next) == 0 && offsetof(name_block, bytes) == 4);

// Continuation blocks of a name of `length` bytes.
constexpr uint32_t name_blocks_for(uint32_t length) {
    return length <= kNameInline ? 0 : (length - kNameFirstPart + kNameBlockBytes - 1) / kNameBlockBytes;
}
static_assert(name_blocks_for(16) == 0 && name_blocks_for(17) == 1 && name_blocks_for(40) == 1 &&
              name_blocks_for(41) == 2 && name_blocks_for(511) == 18);
