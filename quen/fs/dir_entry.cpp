#include "quen/fs/dir_entry.h"

#include "quen/fs/nfs_status.h"
#include "quen/inode/inode_tree.h"
#include "rpc/log.h"

#include <cstring>

uint32_t find_named_entry(const dir_change& d, const char* name, size_t name_length, named_entry& e) {
    std::memcpy(e.path, d.path, std::strlen(d.path) + 1);
    e.name_pos = 0;
    e.attrs = {};
    e.windows = WP_INVALID_FILE_ATTRIBUTES;
    if (uint32_t status = nfs_name_to_windows(d.ctx, e.path, name, name_length, &e.name_pos)) return status;
    uint32_t status = NFS_OK;
    e.windows = entry_type_and_mode(d.ctx, e.path, d.cred, e.attrs, &status);
    return status == NFSERR_NOENT ? uint32_t(NFS_OK) : status;
}

uint32_t may_take_away(const dir_change& d, const file_attributes& entry) {
    if (permitted_bits(0222, entry, d.cred) == 0 && !is_owner(entry.uid, d.cred)) return NFSERR_ACCES;
    if ((d.dir_attributes.mode & 0x200) && !is_owner(entry.uid, d.cred)) return NFSERR_PERM;
    return NFS_OK;
}

uint32_t inode_of_name(const dir_change& d, const char* windows_name) {
    if ((d.ctx.flags & MOUNT_FLAG_FILE_ID) || d.identity > 0xFFFFFFFFu) return 0;
    return inode_lookup(uint32_t(d.identity), windows_name, std::strlen(windows_name));
}

entry_facts facts_of(const char* path) {
    entry_facts f{false, 1, 0};
    file_handle h(wp_create_file(path, WP_FILE_READ_ATTRIBUTES, WP_FILE_SHARE_ALL, WP_OPEN_EXISTING,
                                 WP_FILE_FLAG_BACKUP_SEMANTICS | WP_FILE_FLAG_OPEN_REPARSE_POINT));
    wp_file_information info;
    if (h.valid() && wp_get_file_information_by_handle(h.get(), &info)) {
        f.ok = true;
        f.links = info.number_of_links;
        f.file_index = info.file_index;
    }
    return f;
}

void busy_mark::mark(uint32_t record) {
    inode = record;
    if (inode) inode_set_busy(inode, 1);
}

void busy_mark::deleted() {
    if (inode) inode_delete_forced(inode);
    inode = 0;
}

void busy_mark::taken() { inode = 0; }

busy_mark::~busy_mark() {
    if (inode) inode_set_busy(inode, 0);
}

void read_dir_after(const dir_change& d, bool with_dir_attributes, dir_attributes_pair& out) {
    if (!with_dir_attributes) return;
    uint32_t status = NFS_OK;
    get_attributes(d.identity, d.ctx, d.path, WP_INVALID_HANDLE, d.cred, out.after, &status);
}

uint32_t change_failed(const char* format, uint32_t error, const char* path, bool quiet) {
    if (!quiet) log_printf(2, format, error, path);
    return win32_to_nfs_status(error);
}
