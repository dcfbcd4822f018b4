#include "quen/fs/lookup.h"

#include <cstdio>
#include <cstring>

#include "quen/mount/mount_context.h"
#include "quen/fs/fault_status.h"
#include "quen/fs/names.h"
#include "quen/fs/nfs_status.h"
#include "quen/fs/parent_dir.h"
#include "quen/inode/paths.h"
#include "quen/fs/resolve.h"
#include "quen/inode/inode_tree.h"
#include "quen/mount/export_entry.h"
#include "quen/mount/mount_implicit.h"

namespace {

bool not_found(uint32_t e) { return e == WIN_ERROR_FILE_NOT_FOUND || e == WIN_ERROR_PATH_NOT_FOUND; }

// The identity that names the file at path in a file id mount: its file index.
uint64_t file_id_of(const char* path) {
    uint64_t index = 0;
    return file_index_of(path, index) ? index : 0;
}

bool is_junction_to_another_volume(const mount_context& ctx, const char* path, uint32_t attributes) {
    constexpr uint32_t junction_bits = WP_FILE_ATTRIBUTE_DIRECTORY | WP_FILE_ATTRIBUTE_REPARSE_POINT;
    if ((attributes & junction_bits) != junction_bits) return false;
    char target[kNamePathSize];
    if (classify_reparse_point(path, target, sizeof target, false).kind != REPARSE_JUNCTION) return false;
    char root[kNamePathSize];
    uint32_t serial = 0;
    return wp_get_volume_path_name(target, root, sizeof root) &&
           wp_get_volume_information(root, nullptr, 0, &serial, nullptr, nullptr, nullptr, 0) &&
           serial != ctx.volume_serial;
}

}  // namespace

static uint32_t lookup_unguarded(const fs_request& dir, const char* name, size_t name_length, uint32_t client, bool with_dir_attributes, lookup_result& out) {
    out = {};
    resolved_file r;
    if (uint32_t status = resolve_file(dir, RESOLVE_PATH, r)) return status;
    static_assert(sizeof r.path == kNamePathSize, "names are appended to the resolved path");
    const mount_context& ctx = r.ctx;
    const uint64_t dir_identity = r.identity;
    char* path = r.path;
    const fs_credential& caller = r.cred;
    if (with_dir_attributes) {
        uint32_t status = NFS_OK;
        get_attributes(dir_identity, ctx, path, r.opened.get(), caller, out.dir_attributes, &status);
        if (status != NFS_OK) return NFSERR_NOENT;
        if (out.dir_attributes.type != NF_DIR) return NFSERR_NOTDIR;
    }
    r.opened.reset();

    uint64_t identity = 0;
    uint32_t mount_id = dir.mount_id;
    mount_context file_ctx = ctx;
    file_facts facts;  // of the file, when its link count was read
    char file_mounted[kHandlePathSize];
    if (name_length == 2 && name[0] == '.' && name[1] == '.') {
        identity = parent_directory(ctx, dir_identity, path);
        if (identity == 0) return NFSERR_STALE;
    } else if (name_length == 1 && name[0] == '.') {
        identity = dir_identity;
    } else {
        if (uint32_t status = passage_below(ctx, path)) return status;
        size_t name_pos = 0;
        if (uint32_t status = nfs_name_to_windows(ctx, path, name, name_length, &name_pos)) return status;
        uint32_t attributes = WP_INVALID_FILE_ATTRIBUTES;
        uint32_t error = 2;
        if (ctx.flags & MOUNT_FLAG_CASE_SENSITIVE) {
            wp_find_data found;
            if (case_exact_lookup(path, &found)) attributes = found.attributes;
            else error = file_last_error();
        } else {
            attributes = wp_get_file_attributes(path);
            if (attributes == WP_INVALID_FILE_ATTRIBUTES) error = file_last_error();
        }
        const bool by_file_id = ctx.flags & MOUNT_FLAG_FILE_ID;
        if (attributes == WP_INVALID_FILE_ATTRIBUTES) {
            if (!not_found(error)) return win32_to_nfs_status(error);
            // A file deleted behind the server's back loses its record.
            if (!by_file_id && dir_identity <= 0xFFFFFFFFu) {
                const char* windows_name = path + name_pos;
                if (uint32_t gone = inode_lookup(uint32_t(dir_identity), windows_name, std::strlen(windows_name)))
                    inode_delete(gone);
            }
            return NFSERR_NOENT;
        }
        if (by_file_id && is_junction_to_another_volume(ctx, path, attributes)) {
            if (!mount_auto(client, path, ctx, &identity, &mount_id)) return NFSERR_STALE;
            // The entry belongs to the new mount: its attributes follow that mount's options.
            const internal_handle fh = handle_make(uint32_t(identity), uint32_t(identity >> 32), mount_id);
            if (handle_resolve(fh, &file_ctx, file_mounted) == 0) return NFSERR_STALE;
        } else if (by_file_id) {
            identity = file_id_of(path);
        } else if (dir_identity <= 0xFFFFFFFFu) {
            const char* windows_name = path + name_pos;
            uint32_t inode = inode_enter(uint32_t(dir_identity), windows_name, std::strlen(windows_name));
            if (inode && !(attributes & WP_FILE_ATTRIBUTE_DIRECTORY)) {
                inode = link_identity(inode, path, &facts);
            }
            identity = inode;
        }
    }
    if (identity == 0) return NFSERR_NODEV;
    out.handle = handle_make(uint32_t(identity), uint32_t(identity >> 32), mount_id);
    uint32_t status = NFS_OK;
    get_attributes(identity, file_ctx, path, WP_INVALID_HANDLE, caller, out.attributes, &status,
                   facts.ok ? &facts.info : nullptr);
    return status == NFSERR_STALE ? uint32_t(NFSERR_NOENT) : status;   // the name went meanwhile
}

uint32_t fs_lookup(const fs_request& dir, const char* name, size_t name_length, uint32_t client, bool with_dir_attributes, lookup_result& out) {
    return guarded_status("lookup exception\n", uint32_t(NFSERR_STALE), [&] {
        return lookup_unguarded(dir, name, name_length, client, with_dir_attributes, out);
    });
}
