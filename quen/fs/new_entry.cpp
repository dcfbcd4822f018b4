#include "quen/fs/new_entry.h"

#include "quen/config/settings.h"
#include "quen/fs/nfs_status.h"
#include "quen/inode/inode_tree.h"
#include "quen/mount/export_entry.h"

#include <cstring>

namespace {

constexpr uint32_t kSetIds = 06000;

}  // namespace

uint32_t permissions_minus_umask(const mount_context& ctx) {
    const uint32_t umask = ctx.entry ? ctx.entry->fixed.umask : uint32_t(EXPORT_DEFAULT_UMASK);
    return 0777 & ~(umask & 077);
}

uint32_t new_entry_sattr(const dir_change& d, const xdr_sattr& request, new_entry_mode kind, xdr_sattr& out) {
    const fs_credential& cred = d.cred;
    out = request;
    const bool root = cred.uid == 0;
    if (!root && out.set_uid && out.uid != uint32_t(cred.uid)) return NFSERR_PERM;
    if (!root && out.set_gid && !in_group(out.gid, cred)) return NFSERR_PERM;
    if (!out.set_uid) out.uid = uint32_t(cred.uid), out.set_uid = true;
    if (!out.set_gid) out.gid = uint32_t(cred.gid), out.set_gid = true;

    const bool create_access = g_settings.record.create_access != 0;
    const bool replaced = kind == MODE_OF_FILE && create_access;
    if (kind == MODE_OF_LINK && (!out.set_mode || (out.mode & 07777) == 0)) {
        out.mode = 0777;
        out.set_mode = true;
    } else if (replaced || !out.set_mode || (out.mode & 07777) == 0) {
        out.mode = create_access || (d.ctx.flags & MOUNT_FLAG_DC) ? permissions_minus_umask(d.ctx) : 0400;
        out.set_mode = true;
    }
    if (!root) out.mode &= ~kSetIds;
    out.set_size = false;
    return NFS_OK;
}

uint64_t new_entry_identity(const dir_change& d, const char* path, size_t name_pos, bool directory) {
    if (d.ctx.flags & MOUNT_FLAG_FILE_ID) {
        uint64_t index = 0;
        return file_index_of(path, index) ? index : 0;
    }
    if (d.identity > 0xFFFFFFFFu) return 0;
    const char* name = path + name_pos;
    uint32_t inode = inode_enter(uint32_t(d.identity), name, std::strlen(name));
    if (inode && !directory) inode = link_identity(inode, path);
    return inode;
}

uint32_t new_entry_finish(const dir_change& d, const char* path, size_t name_pos, bool directory, create_result& out) {
    const uint64_t identity = new_entry_identity(d, path, name_pos, directory);
    if (identity == 0) return NFSERR_NOENT;
    out.handle = handle_make(uint32_t(identity), uint32_t(identity >> 32), d.mount_id);
    uint32_t status = NFS_OK;
    get_attributes(identity, d.ctx, path, WP_INVALID_HANDLE, d.cred, out.attributes, &status);
    return status;
}

uint32_t new_entry_reply(uint32_t status, const dir_change& d, bool with_dir_attributes, create_result& out) {
    out.dir_attributes = d.dir_attributes;
    if (with_dir_attributes) {
        file_attributes after{};
        uint32_t st = NFS_OK;
        get_attributes(d.identity, d.ctx, d.path, WP_INVALID_HANDLE, d.cred, after, &st);
        if (st == NFS_OK) out.dir_attributes = after;
    }
    return status;
}

