// The pure parts of the attribute mapping: time and id conversions, the
// marker bits, saved attributes and the special-file forms.
#include "quen/config/settings.h"
#include "quen/fs/attr.h"

#include <cstring>

namespace {

constexpr uint64_t kTicksPerSecond = 10000000;
constexpr uint64_t kEpochSeconds = 11644473600ull;  // 1601-01-01 to 1970-01-01

uint32_t get_le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
void put_le32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

const char kSpecialTag[8] = {'s', 'p', 'e', 'c', 'd', 'a', 't', 'a'};

}  // namespace

nfs_time filetime_to_unix(uint64_t filetime) {
    if (filetime < WP_FILETIME_UNIX_EPOCH) return {0, 0};
    const uint64_t seconds = (filetime - WP_FILETIME_UNIX_EPOCH) / kTicksPerSecond;
    return {seconds > 0xFFFFFFFFull ? 0xFFFFFFFFu : uint32_t(seconds), 0};
}

uint64_t unix_to_filetime(uint32_t seconds, uint32_t nseconds) {
    return (uint64_t(seconds) + kEpochSeconds) * kTicksPerSecond + nseconds / 100;
}

uint32_t fileid_hash(uint64_t v) {
    const uint64_t x = v ^ (v >> 23);
    const uint64_t p = x * 0x2127599BF4325C37ull;
    return uint32_t(p) ^ uint32_t(p >> 47);
}

uint32_t exec_marker() {
    return g_settings.record.x2system ? WP_FILE_ATTRIBUTE_SYSTEM : WP_FILE_ATTRIBUTE_HIDDEN;
}
uint32_t special_marker() {
    return g_settings.record.x2system ? WP_FILE_ATTRIBUTE_HIDDEN : WP_FILE_ATTRIBUTE_SYSTEM;
}

bool is_saved_attributes(uint64_t creation_time) { return (creation_time >> 32) <= 0xFFFF; }

uint64_t saved_attributes_time(uint32_t mode, uint32_t uid, uint32_t gid) {
    return uint64_t(mode & 0xFFFF) << 32 | uint64_t(gid & 0xFFFF) << 16 | (uid & 0xFFFF);
}

uint32_t type_of_mode(uint32_t mode) {
    switch (mode & UNIX_TYPE_MASK) {
    case UNIX_CHR: return NF_CHR;
    case UNIX_DIR: return NF_DIR;
    case UNIX_BLK: return NF_BLK;
    case UNIX_REG: return NF_REG;
    case UNIX_LNK: return NF_LNK;
    case UNIX_SOCK: return NF_SOCK;
    case UNIX_FIFO: return NF_FIFO;
    default: return NF_NONE;
    }
}

bool parse_special_record(const uint8_t* d, size_t size, uint32_t& type, uint32_t& major, uint32_t& minor,
                          uint32_t& permissions) {
    if (!d || size != kSpecialRecordSize) return false;
    if (get_le32(d) != 0 || std::memcmp(d + 4, kSpecialTag, sizeof kSpecialTag) != 0) return false;
    const uint32_t t = get_le32(d + 16);
    if (t != NF_BLK && t != NF_CHR) return false;
    type = t;
    major = get_le32(d + 20);
    minor = get_le32(d + 24);
    permissions = get_le32(d + 28) & 0777;
    return true;
}

void make_special_record(uint32_t type, uint32_t major, uint32_t minor, uint32_t permissions,
                         uint8_t out[kSpecialRecordSize]) {
    std::memset(out, 0, kSpecialRecordSize);
    std::memcpy(out + 4, kSpecialTag, sizeof kSpecialTag);
    put_le32(out + 16, type);
    put_le32(out + 20, major);
    put_le32(out + 24, minor);
    put_le32(out + 28, permissions & 0777);
}

bool is_symlink_text(const uint8_t* d, size_t size) {
    if (!d || size == 0) return false;
    if (size > kSpecialReadLimit) size = kSpecialReadLimit;
    // The first component may be one byte longer: no slash precedes it.
    size_t run = 0, limit = 513;
    for (size_t i = 0; i < size; ++i) {
        if (d[i] < 32) return false;
        if (d[i] == '/') {
            run = 0;
            limit = 512;
        } else if (++run > limit) {
            return false;
        }
    }
    return true;
}
