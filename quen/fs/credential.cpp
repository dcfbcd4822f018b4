#include "quen/fs/credential.h"

#include "quen/config/settings.h"
#include "quen/fs/attr.h"
#include "quen/mount/export_entry.h"

fs_credential credential_from_call(const rpc_call& call) {
    fs_credential c{};
    c.uid = int32_t(call.uid);
    c.gid = int32_t(call.gid);
    const uint32_t n = call.gid_count < RPC_GIDS_MAX ? call.gid_count : RPC_GIDS_MAX;
    if (call.gids) {
        for (uint32_t i = 0; i < n; ++i) c.gids[i] = call.gids[i];
        c.gid_count = n;
    }
    return c;
}

namespace {

// A replaced identity must not keep the client's own groups: a root client
// listing group 0 among its extra groups would otherwise keep root's group
// access after being squashed.
void replace_identity(fs_credential& c, int32_t uid, int32_t gid) {
    c.uid = uid;
    c.gid = gid;
    c.gid_count = 0;
}

// Group 0 is root's as much as uid 0: a caller that is not root has it go
// where root's group goes, in the primary and every supplementary place: to
// the export's `maproot:` group, else kept where root is trusted ("MapRoot"),
// else to nobody's.
void squash_group_zero(const mount_context& ctx, fs_credential& c) {
    const export_entry_image* e = ctx.entry ? &ctx.entry->fixed : nullptr;
    const bool maproot = (ctx.flags & MOUNT_FLAG_MAPROOT) && e;
    if (!maproot && g_settings.record.map_root != 0) return;
    const int32_t mapped = maproot ? int32_t(e->maproot_gid) : kNobodyId;
    if (c.gid == 0) c.gid = mapped;
    for (uint32_t i = 0; i < c.gid_count && i < RPC_GIDS_MAX; ++i)
        if (c.gids[i] == 0) c.gids[i] = uint32_t(mapped);
}

}  // namespace

void map_credential(const mount_context& ctx, fs_credential& c) {
    const export_entry_image* e = ctx.entry ? &ctx.entry->fixed : nullptr;
    if ((ctx.flags & MOUNT_FLAG_MAPALL) && e) {
        int32_t gid = c.gid;
        if (ctx.flags & MOUNT_FLAG_MAPALL_GROUP)
            gid = int32_t(e->mapall_gid);
        else if (gid == 0)
            gid = kNobodyId;  // without a group of its own, mapall must not hand out root's group
        replace_identity(c, int32_t(e->mapall_uid), gid);
        return;
    }
    if (c.uid != 0) {
        squash_group_zero(ctx, c);
        return;
    }
    if ((ctx.flags & MOUNT_FLAG_MAPROOT) && e) {
        replace_identity(c, int32_t(e->maproot_uid), int32_t(e->maproot_gid));
    } else if (g_settings.record.map_root != 0) {
        // Root is trusted as root: its groups stay as they came.
        c.gid = 0;
    } else {
        replace_identity(c, kNobodyId, kNobodyId);
    }
}

bool is_owner(uint32_t file_uid, const fs_credential& c) { return c.uid == 0 || uint32_t(c.uid) == file_uid; }

bool in_group(uint32_t gid, const fs_credential& c) {
    if (uint32_t(c.gid) == gid) return true;
    for (uint32_t i = 0; i < c.gid_count && i < RPC_GIDS_MAX; ++i)
        if (c.gids[i] == gid) return true;
    return false;
}

uint32_t permitted_bits(uint32_t wanted, const file_attributes& a, const fs_credential& c) {
    if (c.uid == 0) return wanted & 0777;
    if (uint32_t(c.uid) == a.uid) return wanted & a.mode & 0700;
    if (in_group(a.gid, c)) return wanted & a.mode & 0070;
    return wanted & a.mode & 0007;
}
