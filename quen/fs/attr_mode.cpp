// Owner, type and mode of a Windows file, in the order in which the rules
// decide: links, saved attributes, devices, directories, plain files, and
// the files that carry the special-file marker.
#include "quen/config/settings.h"
#include "quen/fs/attr.h"
#include "quen/mount/export_entry.h"
#include "rpc/log.h"

#include <cstring>

namespace {

bool ends_in_backslash(const char* path) {
    const size_t n = path ? std::strlen(path) : 0;
    return n > 0 && path[n - 1] == '\\';
}

// Owner rwx repeated for group and others, then the export's umask (never
// applied to a link, whose mode clients ignore).
uint32_t widen_and_mask(const mount_context& ctx, uint32_t mode) {
    mode |= ((mode >> 6) & 7) * 9;
    if ((mode & UNIX_TYPE_MASK) != UNIX_LNK) {
        const uint32_t umask = ctx.entry ? ctx.entry->fixed.umask : uint32_t(EXPORT_DEFAULT_UMASK);
        mode &= ~(umask & 077);
    }
    return mode;
}

// Up to kSpecialReadLimit bytes of the file. false when it cannot be read.
bool read_special_file(const char* path, uint8_t* buffer, size_t& size) {
    size = 0;
    file_handle h(wp_create_file(path, WP_GENERIC_READ, WP_FILE_SHARE_ALL, WP_OPEN_EXISTING, 0));
    if (!h.valid()) {
        log_printf(2, "quen get_special error %u %s\n", file_last_error(), path);
        return false;
    }
    while (size < kSpecialReadLimit) {
        uint32_t done = 0;
        if (!wp_read_file(h.get(), buffer + size, uint32_t(kSpecialReadLimit - size), &done)) {
            log_printf(2, "quen get_special read error %u %s\n", file_last_error(), path);
            return false;
        }
        if (done == 0) break;
        size += done;
    }
    return true;
}

void owner_of(const mount_context& ctx, const fs_credential& cred, const windows_facts& f, file_attributes& a) {
    if ((ctx.flags & MOUNT_FLAG_SAVED_ATTRIBUTES) && is_saved_attributes(f.creation_time)) {
        const uint32_t low = uint32_t(f.creation_time);
        a.uid = low & 0xFFFF;
        a.gid = low >> 16;
        // A client that runs as a small negative id (nobody as -2) gets its
        // own id back from the 16 bits that were kept.
        if (cred.uid < 0 && cred.uid >= -32768 && (low & 0x8000)) a.uid -= 65536;
        if (cred.gid < 0 && cred.gid >= -32768 && (low & 0x80000000u)) a.gid -= 65536;
        return;
    }
    // Windows files have no UNIX owner: they belong to whoever asks, and a
    // squashed caller sees what it made as root's.
    a.uid = cred.uid == kNobodyId ? 0u : uint32_t(cred.uid);
    a.gid = cred.gid == kNobodyId ? 0u : uint32_t(cred.gid);
    if ((ctx.flags & MOUNT_FLAG_UID) && ctx.entry) {
        a.uid = ctx.entry->fixed.uid_uid;
        if (ctx.flags & MOUNT_FLAG_UID_GROUP) a.gid = ctx.entry->fixed.uid_gid;
    }
}

void special_file_mode(const mount_context& ctx, const char* path, bool read_only, file_attributes& a) {
    static thread_local uint8_t buffer[kSpecialReadLimit];
    size_t size = 0;
    a.uid = a.gid = 0;
    if (read_special_file(path, buffer, size)) {
        uint32_t type = 0, major = 0, minor = 0, permissions = 0;
        if (parse_special_record(buffer, size, type, major, minor, permissions)) {
            a.type = type;
            a.rdev_major = major;
            a.rdev_minor = minor;
            a.mode = permissions | (type == NF_CHR ? UNIX_CHR : UNIX_BLK);
            return;
        }
        if (is_symlink_text(buffer, size)) {
            a.type = NF_LNK;
            a.mode = 0xA1FF;
            return;
        }
    }
    a.type = NF_REG;
    a.mode = widen_and_mask(ctx, read_only ? 0x8140 : 0x81C0);
}

}  // namespace

void synthesize_mode(const mount_context& ctx, const char* path, const fs_credential& cred, const windows_facts& f,
                     file_attributes& a) {
    owner_of(ctx, cred, f, a);
    const uint32_t attrs = f.attributes;
    const bool read_only = attrs & WP_FILE_ATTRIBUTE_READONLY;

    if (f.reparse_kind == REPARSE_ABSOLUTE_LINK || f.reparse_kind == REPARSE_RELATIVE_LINK ||
        f.reparse_kind == REPARSE_NFS_LINK) {
        a.type = NF_LNK;
        a.mode = 0xA1FF;
        return;
    }
    if ((ctx.flags & MOUNT_FLAG_SAVED_ATTRIBUTES) && is_saved_attributes(f.creation_time)) {
        a.mode = uint32_t(f.creation_time >> 32);
        if (read_only) a.mode &= ~uint32_t(0x92);
        a.type = type_of_mode(a.mode);
        return;
    }
    if (f.reparse_kind == REPARSE_NFS_CHR || f.reparse_kind == REPARSE_NFS_BLK) {
        const bool chr = f.reparse_kind == REPARSE_NFS_CHR;
        a.type = chr ? NF_CHR : NF_BLK;
        a.mode = chr ? 0x21B6 : 0x61B6;
        a.rdev_major = f.reparse_major;
        a.rdev_minor = f.reparse_minor;
        a.uid = a.gid = 0;
        return;
    }
    if (attrs & WP_FILE_ATTRIBUTE_DIRECTORY) {
        uint32_t mode = ends_in_backslash(path) ? 0x4140 : 0x4100;
        if (attrs & WP_FILE_ATTRIBUTE_SYSTEM) mode |= 0x200;
        if (!(attrs & WP_FILE_ATTRIBUTE_HIDDEN)) mode |= 0x49;
        if (!read_only) mode |= 0x80;
        a.type = NF_DIR;
        a.mode = widen_and_mask(ctx, mode);
        return;
    }
    const bool exec = attrs & exec_marker();
    const bool special = attrs & special_marker();
    if (!special) {
        uint32_t mode = read_only ? 0x8100 : 0x8180;
        if (exec || (ctx.flags & MOUNT_FLAG_EXEC) || g_settings.record.set_exec) mode |= 0x40;
        a.type = NF_REG;
        a.mode = widen_and_mask(ctx, mode);
        return;
    }
    if (exec) {
        a.type = NF_REG;
        a.rdev_major = a.rdev_minor = 0;
        a.uid = a.gid = 0;
        a.mode = read_only ? 0x8140 : widen_and_mask(ctx, 0x8940);
        return;
    }
    special_file_mode(ctx, path, read_only, a);
}
