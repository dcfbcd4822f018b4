// The first step of a listing: the directory a READDIR handle names, its
// parent for "..", and whether the caller may search it.
#include "quen/fs/dir_scan.h"

#include "quen/fs/nfs_status.h"
#include "quen/fs/parent_dir.h"

#include <cstring>

uint32_t open_directory(const fs_request& fh, bool want_attributes, open_dir& d) {
    d.attributes = {};
    d.parent = 0;
    if (uint32_t status = resolve_file(fh, RESOLVE_PATH, d)) return status;
    file_handle opened = std::move(d.opened);

    uint32_t status = NFS_OK;
    file_attributes& a = d.attributes;
    if (want_attributes) {
        if (get_attributes(d.identity, d.ctx, d.path, opened.get(), d.cred, a, &status) == WP_INVALID_FILE_ATTRIBUTES)
            return NFSERR_NOENT;
    } else {
        type_and_mode t;
        if (get_type_and_mode(d.ctx, d.path, d.cred, false, t, &status) == WP_INVALID_FILE_ATTRIBUTES)
            return NFSERR_NOENT;
        a.type = t.type;
        a.mode = t.mode;
        a.uid = t.uid;
        a.gid = t.gid;
    }
    if (a.type != NF_DIR) return NFSERR_NOTDIR;
    if (!directory_stays_inside(d.ctx, d.path)) return NFSERR_ACCES;

    const size_t n = std::strlen(d.path);
    const bool volume_root = n > 0 && d.path[n - 1] == '\\';
    if (!volume_root && permitted_bits(0111, a, d.cred) == 0 && !is_owner(a.uid, d.cred)) return NFSERR_ACCES;

    // The export root's ".." is the root itself, in both modes: the folder
    // above is not the client's to see.
    char parent[kResolvePathSize];
    std::memcpy(parent, d.path, n + 1);
    d.parent = parent_directory(d.ctx, d.identity, parent);
    return NFS_OK;
}
