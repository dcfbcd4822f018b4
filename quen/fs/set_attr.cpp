#include "quen/fs/set_attr.h"

#include "quen/config/settings.h"
#include "quen/fs/attribute_lift.h"
#include "quen/mount/mount_context.h"
#include "quen/fs/fault_status.h"
#include "quen/fs/nfs_status.h"
#include "quen/fs/open_cache.h"
#include "quen/fs/resolve.h"
#include "rpc/log.h"

namespace {

uint32_t type_bits(uint32_t type) {
    static constexpr uint32_t bits[] = {0, UNIX_REG, UNIX_DIR, UNIX_BLK, UNIX_CHR, UNIX_LNK, UNIX_SOCK, UNIX_FIFO};
    return type < sizeof bits / sizeof bits[0] ? bits[type] : 0;
}

uint32_t failed(const char* format, const char* path) {
    const uint32_t error = file_last_error();
    log_printf(2, format, error, path);
    return win32_to_nfs_status(error);
}

bool sets_owner_or_mode(const xdr_sattr& r) { return r.set_mode || r.set_uid || r.set_gid; }
bool sets_more_than_size(const xdr_sattr& r) { return sets_owner_or_mode(r) || r.set_atime || r.set_mtime; }

// The saved form below keeps 16 bits of each id; a wider one would be cut
// to the id of another user or group.
bool fits_saved_form(const xdr_sattr& r) {
    return (!r.set_uid || r.uid <= 0xFFFFu) && (!r.set_gid || r.gid <= 0xFFFFu);
}

// Mode, uid and gid kept in the creation time: the mode in its high word,
// the uid in bits 0-15 and the gid in bits 16-31 of its low word.
uint64_t saved_attributes_time(uint64_t creation, const xdr_sattr& r, uint32_t mode) {
    uint32_t low = uint32_t(creation), high = uint32_t(creation >> 32);
    if (r.set_uid) low = (low & 0xFFFF0000u) | (r.uid & 0xFFFFu);
    if (r.set_gid) low = (low & 0x0000FFFFu) | (r.gid << 16);
    if (r.set_mode) high = mode & 0xFFFFu;
    return uint64_t(high) << 32 | low;
}

}  // namespace

uint32_t attributes_for_mode(uint32_t mode, uint32_t mount_flags, bool reparse) {
    uint32_t a = 0;
    switch (mode & 0xF000) {
    case UNIX_DIR:
        if (mode & 0x200) a |= WP_FILE_ATTRIBUTE_SYSTEM;
        if (!(mode & 0x40)) a |= WP_FILE_ATTRIBUTE_HIDDEN;
        break;
    case UNIX_BLK:
    case UNIX_CHR:
    case UNIX_LNK:
        if (!reparse) a |= special_marker();
        break;
    default:
        if (mode & 0x800) {
            a = WP_FILE_ATTRIBUTE_HIDDEN | WP_FILE_ATTRIBUTE_SYSTEM;
            if ((mode & 077) == 0) a |= WP_FILE_ATTRIBUTE_READONLY;
            break;
        }
        if ((mode & 0222) == 0) a |= WP_FILE_ATTRIBUTE_READONLY;
        if ((mode & 0x40) && !(mount_flags & MOUNT_FLAG_EXEC) && !g_settings.record.set_exec) a |= exec_marker();
        break;
    }
    return a ? a : WP_FILE_ATTRIBUTE_NORMAL;
}

bool write_special_mode(uint32_t permissions, const char* path) {
    wp_set_file_attributes(path, WP_FILE_ATTRIBUTE_NORMAL);
    file_handle h(wp_create_file(path, WP_GENERIC_WRITE, WP_FILE_SHARE_ALL, WP_OPEN_EXISTING, 0));
    if (!h.valid()) {
        log_printf(2, "quen special open error %u %s\n", file_last_error(), path);
        return false;
    }
    // Only a device record has the field: the bytes of any other file stay as they are.
    uint32_t high = 0;
    if (wp_get_file_size(h.get(), &high) != kSpecialRecordSize || high != 0) return true;
    uint8_t bits[4] = {uint8_t(permissions & 0xFF), uint8_t((permissions >> 8) & 1), 0, 0};
    uint32_t done = 0;
    int32_t offset_high = 0;
    if (wp_set_file_pointer(h.get(), 28, &offset_high, WP_FILE_BEGIN) == WP_INVALID_SET_FILE_POINTER &&
        file_last_error() != 0) {
        log_printf(2, "quen special write error %u %s\n", file_last_error(), path);
        return false;
    }
    if (!wp_write_file(h.get(), bits, sizeof bits, &done) && file_last_error() != 0) {
        log_printf(2, "quen special write error %u %s\n", file_last_error(), path);
        return false;
    }
    return true;
}

uint32_t set_size(const char* path, uint64_t size) {
    // The file itself, never a link's target: it may lie outside the export.
    file_handle h(wp_create_file(path, WP_GENERIC_WRITE, WP_FILE_SHARE_ALL, WP_OPEN_EXISTING,
                                 WP_FILE_FLAG_OPEN_REPARSE_POINT));
    if (!h.valid()) return failed("quen setsize error %u %s\n", path);
    int32_t high = int32_t(size >> 32);
    if (wp_set_file_pointer(h.get(), int32_t(uint32_t(size)), &high, WP_FILE_BEGIN) == WP_INVALID_SET_FILE_POINTER &&
        file_last_error() != 0)
        return failed("quen setptr error %u %s\n", path);
    if (!wp_set_end_of_file(h.get())) return failed("quen seteof error %u %s\n", path);
    return NFS_OK;
}

uint32_t apply_sattr(const xdr_sattr& r, uint32_t mount_flags, const char* path, uint32_t type) {
    const uint32_t mode = (r.mode & 07777) | type_bits(type);
    {
        file_handle h(wp_create_file(path, WP_GENERIC_READ | WP_GENERIC_WRITE, WP_FILE_SHARE_ALL, WP_OPEN_EXISTING,
                                     WP_FILE_FLAG_BACKUP_SEMANTICS | WP_FILE_FLAG_OPEN_REPARSE_POINT));
        if (!h.valid()) return failed("quen setmode error %u %s\n", path);
        uint64_t atime = 0, mtime = 0, creation = 0;
        if (r.set_atime) atime = unix_to_filetime(r.atime_sec, r.atime_nsec);
        if (r.set_mtime) mtime = unix_to_filetime(r.mtime_sec, r.mtime_nsec);
        const bool saved = (mount_flags & MOUNT_FLAG_SAVED_ATTRIBUTES) && sets_owner_or_mode(r);
        if (saved) {
            if (!wp_get_file_time(h.get(), &creation, nullptr, nullptr)) return failed("quen gettime error %u %s\n", path);
            creation = saved_attributes_time(creation, r, mode);
        }
        if ((saved || r.set_atime || r.set_mtime) &&
            !wp_set_file_time(h.get(), saved ? &creation : nullptr, r.set_atime ? &atime : nullptr,
                              r.set_mtime ? &mtime : nullptr))
            return failed("quen settime error %u %s\n", path);
    }
    if (!r.set_mode) return NFS_OK;
    uint32_t attributes;
    if (mount_flags & MOUNT_FLAG_SAVED_ATTRIBUTES) {
        attributes = (mode & 0222) ? WP_FILE_ATTRIBUTE_NORMAL : WP_FILE_ATTRIBUTE_READONLY;
    } else {
        const uint32_t now = wp_get_file_attributes(path);
        const bool reparse = now != WP_INVALID_FILE_ATTRIBUTES && (now & WP_FILE_ATTRIBUTE_REPARSE_POINT);
        if ((type == NF_BLK || type == NF_CHR) && !reparse) write_special_mode(mode & 0777, path);
        attributes = attributes_for_mode(mode, mount_flags, reparse);
    }
    if (!wp_set_file_attributes(path, attributes)) return failed("quen setmode error %u %s\n", path);
    return NFS_OK;
}

static uint32_t setattr_unguarded(const fs_request& fh, const xdr_sattr& request,
                                  file_attributes& before, file_attributes& after) {
    before = after = {};
    resolved_file r;
    if (uint32_t stale = resolve_file(fh, RESOLVE_PATH, r)) return stale;
    const mount_context& ctx = r.ctx;
    const uint64_t identity = r.identity;
    char* path = r.path;
    const fs_credential& caller = r.cred;
    // The checks read the owner and mode that the change then builds on:
    // both happen inside the file's section, so no other change comes between.
    bucket_guard guard(identity);
    uint32_t status = NFS_OK;
    const uint32_t windows = get_attributes(identity, ctx, path, r.opened.get(), caller, before, &status);
    r.opened.reset();
    if (status != NFS_OK) return status;

    if (ctx.flags & MOUNT_FLAG_READONLY) return NFSERR_ROFS;
    if (!is_owner(before.uid, caller)) return NFSERR_PERM;
    // As on UNIX, an owner who is not root gives the file only to a group it is in.
    if (caller.uid != 0 && request.set_gid && request.gid != before.gid && !in_group(request.gid, caller))
        return NFSERR_PERM;
    const bool device = before.type == NF_BLK || before.type == NF_CHR;
    if (caller.uid != 0 && ((request.set_mode && (request.mode & 0x800)) || request.set_uid || device))
        return NFSERR_ACCES;
    if ((ctx.flags & MOUNT_FLAG_SAVED_ATTRIBUTES) && !fits_saved_form(request)) return NFSERR_INVAL;
    if (request.set_size && before.type == NF_LNK) return NFSERR_INVAL;

    cache_drop(r.key);
    attribute_lift lifted;
    constexpr uint32_t blocking = WP_FILE_ATTRIBUTE_READONLY | WP_FILE_ATTRIBUTE_HIDDEN | WP_FILE_ATTRIBUTE_SYSTEM;
    if (windows & blocking) lifted.lift(path, windows);

    if (request.set_size) {
        if (before.type == NF_DIR) return NFSERR_ISDIR;
        if ((status = set_size(path, request.size)) != NFS_OK) return status;
        lifted.written = true;
    }
    if (sets_more_than_size(request)) {
        xdr_sattr r = request;
        // The creation time keeps mode, uid and gid together: what is not
        // changed is written back as the file shows it now. A request that
        // only sets times leaves the creation time alone.
        if (sets_owner_or_mode(r)) {
            if (!r.set_uid) r.uid = before.uid, r.set_uid = true;
            if (!r.set_gid) r.gid = before.gid, r.set_gid = true;
            // As on UNIX, the set-group-id bit stays only with a group its
            // owner is in: a caller other than root who gives the file a
            // group not its own, or sets the bit on such a file, drops it
            // (else any user could make a file that runs as group 0).
            if (caller.uid != 0 && (ctx.flags & MOUNT_FLAG_SAVED_ATTRIBUTES) && !in_group(r.gid, caller)) {
                if (!r.set_mode) {
                    r.mode = before.mode & 07777;
                    r.set_mode = (before.mode & 02000) != 0;
                }
                r.mode &= ~02000u;
            }
        }
        if ((status = apply_sattr(r, ctx.flags, path, before.type)) != NFS_OK) return status;
        if (r.set_mode) lifted.keep();
    }
    lifted.restore();
    get_attributes(identity, ctx, path, WP_INVALID_HANDLE, caller, after, &status);
    return status;
}

uint32_t fs_setattr(const fs_request& fh, const xdr_sattr& request,
                    file_attributes& before, file_attributes& after) {
    return guarded_status("setattr exception\n", uint32_t(NFSERR_STALE),
                          [&] { return setattr_unguarded(fh, request, before, after); });
}
