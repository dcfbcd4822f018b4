// Reparse points the server understands: junctions, Windows symbolic links
// and the NFS kind (links and device files). The data comes from the
// volume and is checked field by field before use.
#include "platform/utf16.h"
#include "quen/fs/attr.h"

#include <cstring>
#include <string>

namespace {

constexpr size_t kHeaderSize = 8;                 // tag, data length, reserved
constexpr uint64_t kNfsLink = 0x00000000014B4E4Cull;  // "LNK", 1
constexpr uint64_t kNfsChr = 0x0000000000524843ull;   // "CHR"
constexpr uint64_t kNfsBlk = 0x00000000004B4E42ull;   // "BNK"

uint32_t le16(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8; }
uint32_t le32(const uint8_t* p) { return le16(p) | le16(p + 2) << 16; }
uint64_t le64(const uint8_t* p) { return uint64_t(le32(p)) | uint64_t(le32(p + 4)) << 32; }

// UTF-16LE bytes to UTF-8 into target, cut at a character boundary to fit.
void put_target(const uint8_t* text, size_t bytes, char* target, size_t target_size) {
    if (!target || target_size == 0) return;
    target[0] = 0;
    std::u16string wide;
    wide.reserve(bytes / 2);
    for (size_t i = 0; i + 1 < bytes; i += 2) wide.push_back(char16_t(le16(text + i)));
    std::string utf8;
    if (!utf16_to_utf8(wide, utf8)) return;
    size_t n = utf8.size();
    if (n > target_size - 1) {
        n = target_size - 1;
        while (n > 0 && (uint8_t(utf8[n]) & 0xC0) == 0x80) --n;
    }
    std::memcpy(target, utf8.data(), n);
    target[n] = 0;
}

bool starts_with_nt_prefix(const uint8_t* text, size_t bytes) {
    static const char prefix[4] = {'\\', '?', '?', '\\'};
    if (bytes < 8) return false;
    for (size_t i = 0; i < 4; ++i)
        if (le16(text + 2 * i) != uint32_t(uint8_t(prefix[i]))) return false;
    return true;
}

// A junction's or link's substitute name. name_base is where the offsets
// count from; the name must lie inside the data.
bool substitute_name(const uint8_t* d, size_t end, size_t name_base, bool relative, bool strip, char* target,
                     size_t target_size) {
    const size_t offset = le16(d + 8), length = le16(d + 10);
    if (name_base > end || offset > end - name_base || length > end - name_base - offset) return false;
    const uint8_t* text = d + name_base + offset;
    size_t bytes = length;
    // Only a name that carries the prefix loses it: four characters cut off
    // any other name would leave a different path.
    if (strip && !relative && bytes > 9 && starts_with_nt_prefix(text, bytes)) {
        text += 8;
        bytes -= 8;
    }
    put_target(text, bytes, target, target_size);
    // Unstripped, the prefix is one that the file calls accept.
    if (!strip && target && target_size > 4 && std::strncmp(target, "\\??\\", 4) == 0) target[1] = '\\';
    return true;
}

}  // namespace

reparse_info classify_reparse_data(const uint8_t* d, size_t size, char* target, size_t target_size, bool strip) {
    reparse_info r{REPARSE_NONE, 0, 0};
    if (target && target_size) target[0] = 0;
    if (!d || size < kHeaderSize) return r;
    const uint32_t tag = le32(d);
    const size_t data_length = le16(d + 4);
    if (data_length > size - kHeaderSize) return r;
    const size_t end = kHeaderSize + data_length;
    switch (tag) {
    case WP_IO_REPARSE_TAG_MOUNT_POINT:
        if (end >= 16 && substitute_name(d, end, 16, false, strip, target, target_size)) r.kind = REPARSE_JUNCTION;
        break;
    case WP_IO_REPARSE_TAG_SYMLINK: {
        if (end < 20) break;
        const bool relative = le32(d + 16) != 0;
        if (substitute_name(d, end, 20, relative, strip, target, target_size))
            r.kind = relative ? REPARSE_RELATIVE_LINK : REPARSE_ABSOLUTE_LINK;
        break;
    }
    case WP_IO_REPARSE_TAG_NFS: {
        if (data_length < 8) break;
        const uint64_t type = le64(d + 8);
        if (type == kNfsLink && data_length > 8) {
            put_target(d + 16, data_length - 8, target, target_size);
            r.kind = REPARSE_NFS_LINK;
        } else if ((type == kNfsChr || type == kNfsBlk) && data_length == 16) {
            r.kind = type == kNfsChr ? REPARSE_NFS_CHR : REPARSE_NFS_BLK;
            r.major = le32(d + 16);
            r.minor = le32(d + 20);
        }
        break;
    }
    default:
        break;
    }
    return r;
}

reparse_info classify_reparse_point(const char* path, char* target, size_t target_size, bool strip) {
    if (target && target_size) target[0] = 0;
    file_handle h(wp_create_file(path, 0, WP_FILE_SHARE_ALL, WP_OPEN_EXISTING,
                                 WP_FILE_FLAG_BACKUP_SEMANTICS | WP_FILE_FLAG_OPEN_REPARSE_POINT));
    if (!h.valid()) return {REPARSE_NONE, 0, 0};
    static thread_local uint8_t buffer[WP_MAXIMUM_REPARSE_DATA_BUFFER_SIZE];
    uint32_t returned = 0;
    if (!wp_device_io_control(h.get(), WP_FSCTL_GET_REPARSE_POINT, nullptr, 0, buffer, sizeof buffer, &returned))
        return {REPARSE_NONE, 0, 0};
    if (returned > sizeof buffer) returned = sizeof buffer;
    return classify_reparse_data(buffer, returned, target, target_size, strip);
}
