#include "quen/fs/handle_calls.h"

#include "quen/fs/nfs_status.h"
#include "quen/fs/resolve.h"

namespace {

// What every call needs first: the mount, the file's path and the mapped
// caller. false: the handle is stale.
struct resolved_file {
    char mounted[kHandlePathSize];
    char path[kResolvePathSize];
    mount_context ctx;
    uint64_t identity;
    file_handle opened;
    fs_credential cred;
};

bool resolve(const internal_handle& fh, const fs_credential& cred, resolved_file& r) {
    r.identity = handle_resolve(fh, &r.ctx, r.mounted);
    if (r.identity == 0) return false;
    if (!resolve_handle_path(r.ctx, r.identity, r.path, &r.opened)) return false;
    r.cred = cred;
    map_credential(r.ctx, r.cred);
    return true;
}

uint32_t attributes_of(resolved_file& r, file_attributes& out) {
    uint32_t status = NFS_OK;
    get_attributes(r.identity, r.ctx, r.path, r.opened.get(), r.cred, out, &status);
    return status;
}

}  // namespace

uint32_t fs_getattr(const internal_handle& fh, const fs_credential& cred, file_attributes& out) {
    out = {};
    resolved_file r;
    if (!resolve(fh, cred, r)) return NFSERR_STALE;
    return attributes_of(r, out);
}

uint32_t fs_statfs(const internal_handle& fh, statfs_values& out) {
    out = {0, 0, kStatfsBlockSize};
    char mounted[kHandlePathSize];
    mount_context ctx;
    if (handle_resolve(fh, &ctx, mounted) == 0) return NFSERR_STALE;
    return volume_statfs(ctx.mounted_path, out);
}

uint32_t fs_fsinfo_properties(const internal_handle& fh, uint32_t* properties, const fs_credential& cred,
                              file_attributes& attributes) {
    attributes = {};
    resolved_file r;
    if (!resolve(fh, cred, r)) return NFSERR_STALE;
    *properties = fsinfo_properties(r.ctx, *properties);
    return attributes_of(r, attributes);
}

uint32_t fs_pathconf_values(const internal_handle& fh, const fs_credential& cred, pathconf_values& values,
                            file_attributes& attributes) {
    attributes = {};
    values = {};
    resolved_file r;
    if (!resolve(fh, cred, r)) return NFSERR_STALE;
    values = pathconf_of(r.ctx);
    return attributes_of(r, attributes);
}
