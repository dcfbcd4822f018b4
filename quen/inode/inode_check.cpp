// Dropping records of files that are gone: the purge after a complete
// directory listing and the background pass over the whole table.
#include "quen/inode/inode_tree.h"
#include "quen/inode/inode_tree_internal.h"

#include "platform/file.h"
#include "platform/win_error.h"

namespace {

// Whether the file at a Windows path is known to be gone. Errors other
// than "not found" (a locked or unreadable file) keep the record.
bool file_vanished(const char* path) {
    if (wp_get_file_attributes(path) != WP_INVALID_FILE_ATTRIBUTES) return false;
    const uint32_t e = file_last_error();
    return e == WIN_ERROR_FILE_NOT_FOUND || e == WIN_ERROR_PATH_NOT_FOUND || e == WIN_ERROR_INVALID_DRIVE;
}

void purge_locked(uint32_t dir) {
    const inode_record* d = record_at(dir);
    if (!d || (d->flags & (INODE_RING_MEMBER | INODE_LINK_BASE))) return;
    char path[kInodePathSize];
    uint32_t c = d->child;
    for (uint32_t i = 0; c != 0 && i < walk_limit(); ++i) {
        inode_record* r = record_at(c);
        if (!r) break;
        const uint32_t next = r->next;
        if (r->flags & INODE_SEEN) {
            r->flags &= uint8_t(~INODE_SEEN);
        } else if (path_locked(c, path) && file_vanished(path)) {
            delete_locked(c, false);
        }
        c = next;
    }
}

// One step of the pass: the record at `offset`, if it is a tree record
// whose path cannot be rebuilt or whose file is gone, goes with its subtree.
void check_one(uint32_t offset) {
    inode_table_guard g;
    const inode_record* r = record_at(offset);
    if (!r || (r->flags & INODE_LINK_BASE)) return;
    char path[kInodePathSize];
    if (!path_locked(offset, path) || file_vanished(path)) delete_locked(offset, false);
}

void vanished_pass(void*) {
    inode_table& t = g_inode_table;
    // Every block in order: each live record is looked at once, however
    // the tree changes meanwhile, and the walk ends with the table.
    for (uint32_t offset = kBlockSize; !t.pass_stop.load(); offset += kBlockSize) {
        {
            inode_table_guard g;
            if (offset > t.total - kBlockSize) break;
        }
        check_one(offset);
        flush_if_dirty(kFlushThreshold);
    }
    event_set(t.pass_done);
}

}  // namespace

void inode_purge_unseen(uint32_t dir) {
    if (!g_inode_table.is_open) return;
    {
        inode_table_guard g;
        purge_locked(dir);
    }
    flush_if_dirty(kFlushThreshold);
}

void inode_start_vanished_pass() {
    inode_table& t = g_inode_table;
    if (t.pass_done) return;
    t.pass_done = event_create(true, false);
    if (!t.pass_done) return;
    if (!thread_start(vanished_pass, nullptr)) {
        event_close(t.pass_done);
        t.pass_done = nullptr;
    }
}
