#include "quen/nlm/nlm_open.h"

#include "quen/fs/attr.h"
#include "quen/fs/attribute_lift.h"
#include "quen/fs/credential.h"
#include "quen/fs/nfs_status.h"
#include "quen/nlm/lock_table.h"
#include "rpc/log.h"

namespace {

// A shared lock guards reading, an exclusive one writing: the caller needs
// the matching permission, as owner, group or other, or is the owner.
bool may_lock(const file_attributes& attrs, const fs_credential& cred, bool exclusive) {
    return permitted_bits(exclusive ? 0222u : 0444u, attrs, cred) != 0 || is_owner(attrs.uid, cred);
}

}  // namespace

cache_slot* nlm_open_file(resolved_file& r, bool exclusive, uint32_t* status) {
    wp_handle handle = WP_INVALID_HANDLE;
    file_attributes attrs{};
    cache_slot* slot = cache_find(r.key, CACHE_READ_WRITE, &handle, &attrs);
    if (slot && cache_validated_for(slot, r.mount_id, r.ctx.entry)) {
        if (!may_lock(attrs, r.cred, exclusive)) {
            *status = NLM_FAILED;
            return nullptr;
        }
        return slot;
    }
    if (exclusive && (r.ctx.flags & MOUNT_FLAG_READONLY)) {
        *status = NLM_ROFS;
        return nullptr;
    }
    if (resolve_file_path(r) != 0) {
        *status = NLM_STALE_FH;
        return nullptr;
    }
    uint32_t attr_status = 0;
    const uint32_t windows = get_attributes(r.identity, r.ctx, r.path, r.opened.get(), r.cred, attrs, &attr_status);
    r.opened.reset();
    if (attr_status != 0 || attrs.type != NF_REG) {
        *status = attr_status == NFSERR_STALE ? NLM_STALE_FH : NLM_FAILED;
        return nullptr;
    }
    if (!may_lock(attrs, r.cred, exclusive)) {
        *status = NLM_FAILED;
        return nullptr;
    }
    if (slot) {   // open already, now vouched for through this mount too
        cache_validate(slot, r.mount_id, r.ctx.entry);
        return slot;
    }
    attribute_lift lifted;
    constexpr uint32_t blocking = WP_FILE_ATTRIBUTE_READONLY | WP_FILE_ATTRIBUTE_HIDDEN | WP_FILE_ATTRIBUTE_SYSTEM;
    if ((attrs.mode & 0222) == 0 && (windows & blocking)) lifted.lift(r.path, windows);
    // Shared for everything: the locks, not the sharing mode, keep others
    // out of the ranges, and the file may still be renamed or changed.
    handle = wp_create_file(r.path, WP_GENERIC_READ | WP_GENERIC_WRITE, WP_FILE_SHARE_ALL, WP_OPEN_EXISTING,
                            WP_FILE_FLAG_OPEN_REPARSE_POINT);
    lifted.restore();
    if (handle == WP_INVALID_HANDLE) {
        log_event(2, "nlm_lock open error %u %llu path %s\n", file_last_error(),
                  static_cast<unsigned long long>(r.identity), r.path);
        *status = NLM_FAILED;
        return nullptr;
    }
    slot = cache_insert(r.key, handle, CACHE_READ_WRITE);
    if (!slot) {
        wp_close_handle(handle);
        *status = NLM_DENIED_NOLOCKS;
        return nullptr;
    }
    cache_store_attributes(slot, attrs);
    cache_validate(slot, r.mount_id, r.ctx.entry);
    return slot;
}
