#include "quen/fs/new_entry.h"

#include "quen/config/settings.h"
#include "quen/fs/nfs_status.h"
#include "quen/mount/export_entry.h"

namespace {

constexpr uint32_t kSetIds = 06000;

bool in_groups(uint32_t gid, const fs_credential& c) {
    if (uint32_t(c.gid) == gid) return true;
    for (uint32_t i = 0; i < c.gid_count && i < RPC_GIDS_MAX; ++i)
        if (c.gids[i] == gid) return true;
    return false;
}

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
    if (!root && out.set_gid && !in_groups(out.gid, cred)) return NFSERR_PERM;
    if (!out.set_uid) out.uid = uint32_t(cred.uid), out.set_uid = true;
    if (!out.set_gid) out.gid = uint32_t(cred.gid), out.set_gid = true;

    const bool create_access = g_settings.record.create_access != 0;
    const bool replaced = kind == MODE_OF_FILE && create_access;
    if (replaced || !out.set_mode || (out.mode & 07777) == 0) {
        out.mode = create_access || (d.ctx.flags & MOUNT_FLAG_DC) ? permissions_minus_umask(d.ctx) : 0400;
        out.set_mode = true;
    }
    if (!root) out.mode &= ~kSetIds;
    out.set_size = false;
    return NFS_OK;
}
