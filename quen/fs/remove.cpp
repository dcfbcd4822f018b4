#include "quen/fs/remove.h"

#include "platform/win_error.h"
#include "quen/fs/attribute_lift.h"
#include "quen/fs/dir_count.h"
#include "quen/fs/dir_scan_table.h"
#include "quen/fs/fault_status.h"
#include "quen/fs/nfs_status.h"
#include "quen/fs/open_cache.h"
#include "quen/fs/reparse_write.h"
#include "quen/fs/resolve.h"
#include "quen/inode/inode_tree.h"
#include "rpc/log.h"

#include <cstring>

namespace {

// The prologue and the entry: a missing name loses the record the table
// may still have for it.
uint32_t begin_removal(const fs_request& dir, const char* name, size_t name_length,
                       bool with_dir_attributes, dir_change& d, named_entry& e, dir_attributes_pair& out) {
    out = {};
    uint32_t status = dir_change_begin(dir, with_dir_attributes, d);
    if (with_dir_attributes) out.before = out.after = d.dir_attributes;
    if (status != NFS_OK) return status;
    if ((status = find_named_entry(d, name, name_length, e)) != NFS_OK) return status;
    if (!e.exists()) {
        if (uint32_t left = inode_of_name(d, e.windows_name())) inode_delete(left);
        return NFSERR_NOENT;
    }
    return NFS_OK;
}

// Attributes belong to the file, not the name: when they were lifted for
// the removal, the remaining links lost them too and get them back.
void restore_on_remaining_link(const dir_change& d, uint64_t identity, uint32_t saved) {
    char other[kResolvePathSize];
    if (resolve_handle_path(d.ctx, identity, other, nullptr)) wp_set_file_attributes(other, saved);
}

}  // namespace

static uint32_t remove_unguarded(const fs_request& dir, const char* name, size_t name_length, bool with_dir_attributes,
                                 dir_attributes_pair& dir_attributes) {
    dir_change d;
    named_entry e;
    uint32_t status = begin_removal(dir, name, name_length, with_dir_attributes, d, e, dir_attributes);
    if (status != NFS_OK) return status;
    if (e.attrs.type == NF_DIR && !e.reparse()) return NFSERR_ISDIR;
    if ((status = may_take_away(d, e.attrs)) != NFS_OK) return status;

    const bool by_file_id = d.ctx.flags & MOUNT_FLAG_FILE_ID;
    const entry_facts facts = facts_of(e.path);
    busy_mark record;
    record.mark(inode_of_name(d, e.windows_name()));
    const uint64_t base = by_file_id ? facts.file_index : record.inode ? inode_base_of(record.inode) : 0;
    bucket_guard guard(base ? base : d.identity);
    if (base) cache_drop(file_key_of(d.ctx, base));

    attribute_lift lifted;
    if (e.windows & kBlockingAttributes) lifted.lift(e.path, e.windows);
    if (e.reparse() && !delete_reparse_point(e.path))
        return change_failed("quen unlink rp error %u %s\n", file_last_error(), e.path, false);
    if (e.windows & WP_FILE_ATTRIBUTE_DIRECTORY) dir_count_forget(e.path);
    const bool removed = (e.windows & WP_FILE_ATTRIBUTE_DIRECTORY) ? wp_remove_directory(e.path)
                                                                   : wp_delete_file(e.path);
    if (!removed) {
        const uint32_t error = file_last_error();
        return change_failed("quen unlink error %u %s\n", error, e.path,
                             error == WIN_ERROR_ACCESS_DENIED || error == WIN_ERROR_FILE_NOT_FOUND);
    }

    if (base && facts.links <= 1) cache_close(file_key_of(d.ctx, base));
    const uint32_t path_inode = record.inode;
    record.deleted();
    if (!by_file_id && base && base != path_inode && facts.links <= 2) inode_unlink_base(uint32_t(base));
    if (lifted.saved != WP_INVALID_FILE_ATTRIBUTES && facts.links > 1 && base)
        restore_on_remaining_link(d, base, lifted.saved);
    lifted.keep();
    read_dir_after(d, with_dir_attributes, dir_attributes);
    return NFS_OK;
}

uint32_t fs_remove(const fs_request& dir, const char* name, size_t name_length,
                   bool with_dir_attributes, dir_attributes_pair& dir_attributes) {
    return guarded_status("unlink exception\n", uint32_t(NFSERR_STALE), [&] {
        return remove_unguarded(dir, name, name_length, with_dir_attributes, dir_attributes);
    });
}

static uint32_t rmdir_unguarded(const fs_request& dir, const char* name, size_t name_length, bool with_dir_attributes,
                                dir_attributes_pair& dir_attributes) {
    dir_change d;
    named_entry e;
    uint32_t status = begin_removal(dir, name, name_length, with_dir_attributes, d, e, dir_attributes);
    if (status == NFSERR_ISDIR) return NFSERR_EXIST;   // "." and ".."
    if (status == NFSERR_NOENT) return NFSERR_ACCES;
    if (status != NFS_OK) return status;
    if (e.attrs.type != NF_DIR) return NFSERR_NOTDIR;
    if ((status = may_take_away(d, e.attrs)) != NFS_OK) return status;

    bucket_guard guard(d.identity);
    busy_mark record;
    record.mark(inode_of_name(d, e.windows_name()));
    attribute_lift lifted;
    if (e.windows & kBlockingAttributes) lifted.lift(e.path, e.windows);
    dir_count_forget(e.path);
    scan_slots_end_dir((d.ctx.flags & MOUNT_FLAG_FILE_ID) ? facts_of(e.path).file_index : record.inode);
    if (!wp_remove_directory(e.path)) {
        const uint32_t error = file_last_error();
        const bool quiet = error == WIN_ERROR_FILE_NOT_FOUND || error == WIN_ERROR_PATH_NOT_FOUND ||
                           error == WIN_ERROR_ACCESS_DENIED || error == WIN_ERROR_DIR_NOT_EMPTY;
        return change_failed("quen rmdir error %u %s\n", error, e.path, quiet);
    }
    record.deleted();
    lifted.keep();
    read_dir_after(d, with_dir_attributes, dir_attributes);
    return NFS_OK;
}

uint32_t fs_rmdir(const fs_request& dir, const char* name, size_t name_length,
                  bool with_dir_attributes, dir_attributes_pair& dir_attributes) {
    return guarded_status("rmdir exception\n", uint32_t(NFSERR_STALE), [&] {
        return rmdir_unguarded(dir, name, name_length, with_dir_attributes, dir_attributes);
    });
}
