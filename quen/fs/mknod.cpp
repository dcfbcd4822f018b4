#include "quen/fs/mknod.h"

#include "quen/fs/dir_entry.h"
#include "quen/fs/fault_status.h"
#include "quen/fs/new_entry.h"
#include "quen/fs/nfs_status.h"
#include "quen/fs/open_cache.h"
#include "quen/fs/reparse_write.h"
#include "quen/fs/set_attr.h"
#include "rpc/log.h"

namespace {

bool is_device(uint32_t type) { return type == NF_BLK || type == NF_CHR; }

// What makes the new empty file the node: a device record or reparse
// data; FIFOs and sockets are made by their saved mode alone.
bool write_node(const dir_change& d, const char* path, file_handle& h, uint32_t type, uint32_t major, uint32_t minor,
                uint32_t mode) {
    if (!is_device(type)) return true;
    if (d.ctx.flags & MOUNT_FLAG_ND) {
        h.reset();
        const uint8_t numbers[8] = {uint8_t(major), uint8_t(major >> 8), uint8_t(major >> 16), uint8_t(major >> 24),
                                    uint8_t(minor), uint8_t(minor >> 8), uint8_t(minor >> 16), uint8_t(minor >> 24)};
        return set_reparse_point(type == NF_CHR ? REPARSE_NFS_CHR : REPARSE_NFS_BLK, path, numbers, sizeof numbers);
    }
    uint8_t record[kSpecialRecordSize];
    make_special_record(type, major, minor, mode & 0777, record);
    uint32_t done = 0;
    return wp_write_file(h.get(), record, sizeof record, &done) && done == sizeof record;
}

}  // namespace

static uint32_t mknod_unguarded(const fs_request& dir, const char* name, size_t name_length, uint32_t type,
                                const xdr_sattr& request, uint32_t major, uint32_t minor,
                                bool with_dir_attributes, create_result& out) {
    out = {};
    dir_change d;
    if (uint32_t status = dir_change_begin(dir, with_dir_attributes, d)) return new_entry_reply(status, d, false, out);
    if (!is_device(type) && type != NF_SOCK && type != NF_FIFO) return new_entry_reply(NFSERR_BADTYPE, d, false, out);
    named_entry e;
    uint32_t status = find_named_entry(d, name, name_length, e);
    if (status != NFS_OK) return new_entry_reply(status, d, false, out);
    if (!is_device(type) && !(d.ctx.flags & MOUNT_FLAG_SAVED_ATTRIBUTES)) {
        log_event(1, "nfs mknod %s not supported %s\n", type == NF_SOCK ? "socket" : "fifo", e.path);
        return new_entry_reply(NFSERR_NOTSUPP, d, false, out);
    }
    // An existing name is never replaced by a node: its data would be lost.
    if (e.exists()) return new_entry_reply(NFSERR_EXIST, d, false, out);
    if (is_device(type) && d.cred.uid != 0) return new_entry_reply(NFSERR_ACCES, d, false, out);
    xdr_sattr r{};
    if ((status = new_entry_sattr(d, request, MODE_OF_FILE, r)) != NFS_OK) return new_entry_reply(status, d, false, out);

    {
        bucket_guard guard(d.identity);
        file_handle h(wp_create_file(e.path, WP_GENERIC_WRITE, WP_FILE_SHARE_ALL, WP_CREATE_NEW, WP_FILE_ATTRIBUTE_NORMAL));
        if (!h.valid()) return new_entry_reply(change_failed("quen mknod error %u %s\n", file_last_error(), e.path, false), d,
                                               with_dir_attributes, out);
        bool made = write_node(d, e.path, h, type, major, minor, r.mode);
        uint32_t error = made ? 0 : file_last_error();
        h.reset();
        // A FIFO or socket is one only by its saved mode: without it the
        // file would be an empty regular file answering as a success.
        if (made) {
            status = apply_sattr(r, d.ctx.flags, e.path, type);
            if (status != NFS_OK && !is_device(type)) made = false, error = file_last_error();
        }
        if (!made) {
            log_printf(2, "quen mknod error %u %s\n", error, e.path);
            wp_delete_file(e.path);
            return new_entry_reply(status != NFS_OK ? status : win32_to_nfs_status(error), d, with_dir_attributes, out);
        }
    }
    status = new_entry_finish(d, e.path, e.name_pos, false, out);
    return new_entry_reply(status, d, with_dir_attributes, out);
}

uint32_t fs_mknod(const fs_request& dir, const char* name, size_t name_length, uint32_t type,
                  const xdr_sattr& request, uint32_t major, uint32_t minor,
                  bool with_dir_attributes, create_result& out) {
    return guarded_status("mknod exception\n", uint32_t(NFSERR_STALE), [&] {
        return mknod_unguarded(dir, name, name_length, type, request, major, minor, with_dir_attributes, out);
    });
}
