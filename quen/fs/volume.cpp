#include "quen/fs/volume.h"

#include "platform/file.h"
#include "quen/config/settings.h"
#include "quen/fs/nfs_status.h"
#include "rpc/log.h"

statfs_values statfs_from_bytes(uint64_t total_bytes, uint64_t total_free_bytes) {
    // The space left to this caller's quota is not reported: clients see
    // the volume's free space as available too.
    return {total_bytes / kStatfsBlockSize, total_free_bytes / kStatfsBlockSize, kStatfsBlockSize};
}

uint32_t volume_statfs(const char* root_path, statfs_values& out) {
    out = {0, 0, kStatfsBlockSize};
    uint64_t to_caller = 0, total = 0, total_free = 0;
    if (!wp_get_disk_free_space_ex(root_path, &to_caller, &total, &total_free)) {
        log_printf(2, "quen statfs error %u %s\n", file_last_error(), root_path);
        return NFSERR_IO;
    }
    out = statfs_from_bytes(total, total_free);
    return NFS_OK;
}

uint32_t fsinfo_properties(const mount_context& ctx, uint32_t properties) {
    const bool links = g_settings.record.hard_links && (ctx.flags & MOUNT_FLAG_HARD_LINKS);
    return links ? properties | FSINFO_LINK : properties & ~uint32_t(FSINFO_LINK);
}

pathconf_values pathconf_of(const mount_context& ctx) {
    pathconf_values v;
    const bool links = g_settings.record.hard_links && (ctx.flags & MOUNT_FLAG_HARD_LINKS);
    v.link_max = links ? 31 : 1;
    v.name_max = ctx.max_component_length;
    v.case_insensitive = !(ctx.flags & MOUNT_FLAG_CASE_SENSITIVE);
    v.case_preserving = !(ctx.flags & (MOUNT_FLAG_LOWERCASE | MOUNT_FLAG_CASE_BLIND));
    return v;
}
