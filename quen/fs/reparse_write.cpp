#include "quen/fs/reparse_write.h"

#include "platform/file.h"
#include "platform/utf16.h"
#include "quen/fs/attr.h"

#include <cstring>
#include <string>

namespace {

constexpr uint64_t kNfsLink = 0x00000000014B4E4Cull;
constexpr uint64_t kNfsChr = 0x0000000000524843ull;
constexpr uint64_t kNfsBlk = 0x00000000004B4E42ull;   // "BNK", as the other makers write it

struct writer {
    uint8_t* out;
    size_t at = 0;
    void u16(uint32_t v) {
        out[at++] = uint8_t(v);
        out[at++] = uint8_t(v >> 8);
    }
    void u32(uint32_t v) {
        u16(v & 0xFFFF);
        u16(v >> 16);
    }
    void u64(uint64_t v) {
        u32(uint32_t(v));
        u32(uint32_t(v >> 32));
    }
    void text(const std::u16string& s) {
        for (char16_t c : s) u16(c);
    }
};

uint32_t le32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }

// Junctions and Windows links: substitute name, then print name, each
// followed by a NUL the lengths leave out.
size_t link_buffer(int kind, const std::u16string& target, uint8_t* out) {
    const bool junction = kind == REPARSE_JUNCTION, relative = kind == REPARSE_RELATIVE_LINK;
    const std::u16string substitute = relative ? target : u"\\??\\" + target;
    if (substitute.size() > kReparseTargetMax) return 0;
    const size_t sub_bytes = 2 * substitute.size(), print_bytes = 2 * target.size();
    writer w{out};
    w.u32(junction ? WP_IO_REPARSE_TAG_MOUNT_POINT : WP_IO_REPARSE_TAG_SYMLINK);
    w.u16(uint32_t(8 + (junction ? 0 : 4) + sub_bytes + 2 + print_bytes + 2));
    w.u16(0);
    w.u16(0);
    w.u16(uint32_t(sub_bytes));
    w.u16(uint32_t(sub_bytes + 2));
    w.u16(uint32_t(print_bytes));
    if (!junction) w.u32(relative ? uint32_t(WP_SYMLINK_FLAG_RELATIVE) : 0u);
    w.text(substitute);
    w.u16(0);
    w.text(target);
    w.u16(0);
    return w.at;
}

}  // namespace

size_t build_reparse_buffer(int kind, const void* data, size_t length, uint8_t* out) {
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    writer w{out};
    if (kind == REPARSE_NFS_CHR || kind == REPARSE_NFS_BLK) {
        if (length != 8) return 0;
        w.u32(WP_IO_REPARSE_TAG_NFS);
        w.u16(16);
        w.u16(0);
        w.u64(kind == REPARSE_NFS_CHR ? kNfsChr : kNfsBlk);
        w.u32(le32(bytes));
        w.u32(le32(bytes + 4));
        return w.at;
    }
    std::u16string target;
    if (!utf8_to_utf16(std::string(reinterpret_cast<const char*>(bytes), length), target) || target.empty())
        return 0;
    if (target.find(u'\0') != std::u16string::npos) return 0;
    switch (kind) {
    case REPARSE_JUNCTION:
    case REPARSE_ABSOLUTE_LINK:
    case REPARSE_RELATIVE_LINK: return link_buffer(kind, target, out);
    case REPARSE_NFS_LINK:
        if (target.size() > kReparseTargetMax) return 0;
        w.u32(WP_IO_REPARSE_TAG_NFS);
        w.u16(uint32_t(8 + 2 * target.size()));
        w.u16(0);
        w.u64(kNfsLink);
        w.text(target);
        return w.at;
    default: return 0;
    }
}

bool set_reparse_point(int kind, const char* path, const void* data, size_t length) {
    static thread_local uint8_t buffer[WP_MAXIMUM_REPARSE_DATA_BUFFER_SIZE];
    const size_t size = build_reparse_buffer(kind, data, length, buffer);
    wp_enable_restore_privilege();
    file_handle h(wp_create_file(path, WP_GENERIC_READ | WP_GENERIC_WRITE, WP_FILE_SHARE_ALL, WP_OPEN_EXISTING,
                                 WP_FILE_FLAG_BACKUP_SEMANTICS | WP_FILE_FLAG_OPEN_REPARSE_POINT));
    if (!h.valid()) return false;
    // Data the kind cannot hold goes as an empty buffer, which the volume
    // refuses with its own error.
    uint32_t returned = 0;
    return wp_device_io_control(h.get(), WP_FSCTL_SET_REPARSE_POINT, buffer, uint32_t(size), nullptr, 0, &returned) &&
           size != 0;
}

bool delete_reparse_point(const char* path) {
    file_handle h(wp_create_file(path, WP_GENERIC_READ | WP_GENERIC_WRITE, WP_FILE_SHARE_ALL, WP_OPEN_EXISTING,
                                 WP_FILE_FLAG_BACKUP_SEMANTICS | WP_FILE_FLAG_OPEN_REPARSE_POINT));
    if (!h.valid()) return false;
    static thread_local uint8_t data[WP_MAXIMUM_REPARSE_DATA_BUFFER_SIZE];
    uint32_t returned = 0;
    if (!wp_device_io_control(h.get(), WP_FSCTL_GET_REPARSE_POINT, nullptr, 0, data, sizeof data, &returned) ||
        returned < 8)
        return false;
    // The header alone: the tag, a data length of 0 and the reserved word.
    const uint8_t header[8] = {data[0], data[1], data[2], data[3], 0, 0, 0, 0};
    return wp_device_io_control(h.get(), WP_FSCTL_DELETE_REPARSE_POINT, header, sizeof header, nullptr, 0, &returned);
}
