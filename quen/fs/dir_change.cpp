#include "quen/fs/dir_change.h"

#include "quen/fs/nfs_status.h"
#include "quen/fs/resolve.h"

uint32_t entry_type_and_mode(const mount_context& ctx, char* path, const fs_credential& cred, file_attributes& out,
                             uint32_t* status) {
    out = {};
    if ((ctx.flags & MOUNT_FLAG_CASE_SENSITIVE) && !case_exact_lookup(path, nullptr)) {
        *status = win32_to_nfs_status(file_last_error());
        return WP_INVALID_FILE_ATTRIBUTES;
    }
    type_and_mode t{};
    const uint32_t windows = get_type_and_mode(ctx, path, cred, false, t, status);
    out.type = t.type;
    out.mode = t.mode;
    out.uid = t.uid;
    out.gid = t.gid;
    out.rdev_major = t.rdev_major;
    out.rdev_minor = t.rdev_minor;
    return windows;
}

uint32_t dir_change_begin(const fs_request& dir, bool with_attributes,
                          dir_change& out) {
    out.dir_attributes = {};
    if (uint32_t stale = resolve_file(dir, RESOLVE_PATH, out)) return stale;
    uint32_t status = NFS_OK;
    if (with_attributes)
        get_attributes(out.identity, out.ctx, out.path, out.opened.get(), out.cred, out.dir_attributes, &status);
    else
        entry_type_and_mode(out.ctx, out.path, out.cred, out.dir_attributes, &status);
    out.opened.reset();
    if (status != NFS_OK || out.dir_attributes.type != NF_DIR) return NFSERR_NOENT;
    // A junction's handle names its own entry, but a change below it happens
    // where the junction leads: as for LOOKUP and READDIR, not out of the mount.
    if (!directory_stays_inside(out.ctx, out.path)) return NFSERR_ACCES;
    if (out.ctx.flags & MOUNT_FLAG_READONLY) return NFSERR_ROFS;
    // Owning the directory is not enough: its write bits decide.
    if (permitted_bits(0222, out.dir_attributes, out.cred) == 0) return NFSERR_ACCES;
    return NFS_OK;
}
