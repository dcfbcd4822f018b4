#include "quen/fs/handle_calls.h"

#include "quen/fs/nfs_status.h"
#include "quen/fs/resolve.h"

namespace {

uint32_t attributes_of(resolved_file& r, file_attributes& out, const wp_file_information* known = nullptr) {
    uint32_t status = NFS_OK;
    get_attributes(r.identity, r.ctx, r.path, r.opened.get(), r.cred, out, &status, known);
    return status;
}

}  // namespace

uint32_t fs_getattr(const fs_request& fh, file_attributes& out,
                    const wp_file_information* known) {
    out = {};
    resolved_file r;
    if (uint32_t status = resolve_file(fh, RESOLVE_PATH, r)) return status;
    return attributes_of(r, out, known);
}

uint32_t fs_statfs(const fs_request& fh, statfs_values& out) {
    out = {0, 0, kStatfsBlockSize};
    resolved_file r;
    if (uint32_t status = resolve_file(fh, RESOLVE_MOUNT, r)) return status;
    return volume_statfs(r.ctx.mounted_path, out);
}

uint32_t fs_fsinfo_properties(const fs_request& fh, uint32_t* properties,
                              file_attributes& attributes) {
    attributes = {};
    resolved_file r;
    if (uint32_t status = resolve_file(fh, RESOLVE_PATH, r)) return status;
    *properties = fsinfo_properties(r.ctx, *properties);
    return attributes_of(r, attributes);
}

uint32_t fs_pathconf_values(const fs_request& fh, pathconf_values& values,
                            file_attributes& attributes) {
    attributes = {};
    values = {};
    resolved_file r;
    if (uint32_t status = resolve_file(fh, RESOLVE_PATH, r)) return status;
    values = pathconf_of(r.ctx);
    return attributes_of(r, attributes);
}
