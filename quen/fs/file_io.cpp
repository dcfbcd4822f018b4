#include "quen/fs/file_io.h"

#include <ctime>

#include "quen/fs/attribute_lift.h"
#include "quen/mount/mount_context.h"
#include "quen/fs/nfs_status.h"
#include "quen/fs/open_cache.h"
#include "quen/fs/resolve.h"
#include "rpc/log.h"

namespace {

// For a file not in the cache: its path and attributes. *windows receives
// its Windows attribute bits.
uint32_t look_up(resolved_file& r, file_attributes& attrs, uint32_t* windows) {
    if (uint32_t status = resolve_file_path(r)) return status;
    uint32_t status = NFS_OK;
    *windows = get_attributes(r.identity, r.ctx, r.path, r.opened.get(), r.cred, attrs, &status);
    r.opened.reset();
    return status;
}

// The handle a request works through: a cache slot's, or one of its own
// when the cache is off or the bucket full.
struct open_file {
    cache_slot* slot = nullptr;
    wp_handle handle = WP_INVALID_HANDLE;

    // After a failed call: the next request opens the file again.
    void discard() {
        if (slot)
            cache_evict(slot);
        else if (handle != WP_INVALID_HANDLE)
            wp_close_handle(handle);
        slot = nullptr;
        handle = WP_INVALID_HANDLE;
    }
    // After success: a cached handle stays open.
    void release() {
        if (!slot && handle != WP_INVALID_HANDLE) wp_close_handle(handle);
        slot = nullptr;
        handle = WP_INVALID_HANDLE;
    }
};

// The one way out after a failed call: the error as the system gave it,
// the handle discarded (or kept, when the data already went through), the
// line logged with the error first, and the error's NFS status.
template <typename... Args>
uint32_t failed(open_file& f, bool keep, const char* format, Args... args) {
    const uint32_t error = file_last_error();
    keep ? f.release() : f.discard();
    log_printf(1, format, error, args...);
    return win32_to_nfs_status(error);
}

// Whether a cached slot may serve the request without resolving the file in
// full: only through the mount and export it was resolved through. A handle
// of one export may carry the inode number of a file another export has open.
bool validated_here(const cache_slot* slot, const resolved_file& r) {
    return slot && cache_validated_for(slot, r.mount_id, r.ctx.entry);
}

unsigned long long ull(uint64_t v) { return v; }

// Data is read and written in the file itself, never through a link: the
// target may lie outside the export.
constexpr uint32_t kNoFollow = WP_FILE_FLAG_OPEN_REPARSE_POINT;

// A file READ and WRITE do not take: a directory, or a link.
uint32_t not_data(const file_attributes& attrs) {
    if (attrs.type == NF_DIR) return NFSERR_ISDIR;
    return attrs.type == NF_LNK ? NFSERR_INVAL : NFS_OK;
}

// A flush that failed leaves the data short of stable storage: an I/O error.
uint32_t flush_failed(uint64_t identity) {
    log_printf(1, "quen flush error %u %llu\n", file_last_error(), ull(identity));
    return NFSERR_IO;
}

// A read-write handle of a file found by look_up; a read-only, hidden or
// system file that its mode lets the caller write is lifted for the open.
wp_handle open_for_writing(const resolved_file& r, const file_attributes& attrs, uint32_t windows,
                           attribute_lift& lifted) {
    constexpr uint32_t blocking = WP_FILE_ATTRIBUTE_READONLY | WP_FILE_ATTRIBUTE_HIDDEN | WP_FILE_ATTRIBUTE_SYSTEM;
    if ((attrs.mode & 0222) == 0 && (windows & blocking)) lifted.lift(r.path, windows);
    return wp_create_file(r.path, WP_GENERIC_READ | WP_GENERIC_WRITE, WP_FILE_SHARE_ALL, WP_OPEN_EXISTING, kNoFollow);
}

bool seek(wp_handle h, uint64_t offset) {
    int32_t high = int32_t(offset >> 32);
    return wp_set_file_pointer(h, int32_t(uint32_t(offset)), &high, WP_FILE_BEGIN) != WP_INVALID_SET_FILE_POINTER ||
           file_last_error() == 0;
}

nfs_time now() { return nfs_time{uint32_t(std::time(nullptr)), 0}; }


bool may_write(const file_attributes& attrs, const fs_credential& cred) {
    return permitted_bits(0222, attrs, cred) != 0 || is_owner(attrs.uid, cred);
}

}  // namespace

uint32_t file_read(const fs_request& fh, uint64_t offset, uint32_t* count, uint8_t* buffer, file_attributes& after) {
    after = {};
    const uint32_t wanted = *count;
    *count = 0;
    resolved_file r;
    if (uint32_t status = resolve_file(fh, RESOLVE_MOUNT, r)) return status;
    bucket_guard guard(r.identity);

    open_file f;
    file_attributes attrs{};
    f.slot = cache_find(r.key, CACHE_READ, &f.handle, &attrs);
    if (!validated_here(f.slot, r)) {
        uint32_t windows = 0;
        if (uint32_t status = look_up(r, attrs, &windows)) return status;
        if (uint32_t status = not_data(attrs)) return status;
    }
    if (permitted_bits(0555, attrs, r.cred) == 0) return NFSERR_ACCES;
    // Nothing lies at or past the end, however far: no read (the system
    // refuses one whose end passes the largest offset).
    if (offset >= attrs.size) {
        after = attrs;
        return NFS_OK;
    }
    if (!f.slot) {
        f.handle = wp_create_file(r.path, WP_GENERIC_READ, WP_FILE_SHARE_ALL, WP_OPEN_EXISTING, kNoFollow);
        if (f.handle == WP_INVALID_HANDLE)
            return failed(f, false, "quen read error %u %llu %s\n", ull(r.identity), r.path);
        f.slot = cache_insert(r.key, f.handle, CACHE_READ);
    }
    if (f.slot) cache_validate(f.slot, r.mount_id, r.ctx.entry);
    if (!seek(f.handle, offset))
        return failed(f, false, "quen read seek error %u %llu %llu\n", ull(r.identity), ull(offset));
    uint32_t done = 0;
    if (!wp_read_file(f.handle, buffer, wanted, &done))
        return failed(f, false, "quen read error %u %llu\n", ull(r.identity));
    attrs.atime = now();
    if (f.slot) cache_store_attributes(f.slot, attrs);
    f.release();
    *count = done;
    after = attrs;
    return NFS_OK;
}

uint32_t file_write(const fs_request& fh, uint64_t offset, uint32_t* count, const uint8_t* data,
                    uint32_t sync_mode, file_attributes& before,
                    file_attributes& after) {
    before = after = {};
    const uint32_t wanted = *count;
    *count = 0;
    resolved_file r;
    if (uint32_t status = resolve_file(fh, RESOLVE_MOUNT, r)) return status;
    // Before the cache: a read-write handle that another mount of the same
    // file left open must not carry writes into a read-only export.
    if (r.ctx.flags & MOUNT_FLAG_READONLY) return NFSERR_ROFS;
    bucket_guard guard(r.identity);

    open_file f;
    attribute_lift lifted;
    file_attributes attrs{};
    f.slot = cache_find(r.key, CACHE_READ_WRITE, &f.handle, &attrs);
    uint32_t windows = 0;
    if (!validated_here(f.slot, r)) {
        if (uint32_t status = look_up(r, attrs, &windows)) return status;
        if (uint32_t status = not_data(attrs)) return status;
    }
    if (attrs.type != NF_REG || !may_write(attrs, r.cred)) return NFSERR_ACCES;
    if (!f.slot) {
        f.handle = open_for_writing(r, attrs, windows, lifted);
        if (f.handle == WP_INVALID_HANDLE)
            return failed(f, false, "quen write open error %u %llu %x %s\n", ull(r.identity), lifted.saved, r.path);
        if (cache_slot* reader = cache_find_weaker(r.key, CACHE_READ_WRITE)) {
            // Writing through a second handle would meet the first one's locks.
            if (!cache_upgrade(reader, f.handle, CACHE_READ_WRITE)) {
                log_printf(1, "quen write upgrade refused %llu locks %u\n", ull(r.identity),
                           unsigned(reader->lock_count));
                f.discard();
                return win32_to_nfs_status(WIN_ERROR_LOCK_VIOLATION);
            }
            f.slot = reader;
        } else {
            f.slot = cache_insert(r.key, f.handle, CACHE_READ_WRITE);
        }
    }
    if (f.slot) cache_validate(f.slot, r.mount_id, r.ctx.entry);
    before = attrs;
    if (!seek(f.handle, offset))
        return failed(f, false, "quen write seek error %u %llu %llu\n", ull(r.identity), ull(offset));
    uint32_t done = 0;
    if (!wp_write_file(f.handle, data, wanted, &done))
        return failed(f, false, "quen write error %u %llu bytes %u/%u\n", ull(r.identity), wanted, done);
    lifted.written = true;
    uint32_t size_high = 0;
    const uint32_t size_low = wp_get_file_size(f.handle, &size_high);
    if (size_low == WP_INVALID_FILE_SIZE && file_last_error() != 0)
        return failed(f, true, "quen write size error %u %llu\n", ull(r.identity));
    lifted.restore();
    attrs.size = uint64_t(size_high) << 32 | size_low;
    attrs.atime = attrs.mtime = attrs.ctime = now();
    // Modes 1 and 2 promise stable storage, which closing a handle does not give.
    if (sync_mode != WRITE_CACHED && !wp_flush_file_buffers(f.handle)) {
        f.release();
        return flush_failed(r.identity);
    }
    if (f.slot && sync_mode == WRITE_CLOSED) {
        f.discard();
    } else if (f.slot) {
        cache_store_attributes(f.slot, attrs);
    }
    f.release();
    *count = done;
    after = attrs;
    return NFS_OK;
}

uint32_t file_commit(const fs_request& fh, file_attributes& attributes) {
    attributes = {};
    resolved_file r;
    if (uint32_t status = resolve_file(fh, RESOLVE_MOUNT, r)) return status;
    bucket_guard guard(r.identity);

    // Before the cache: a read-only export commits nothing, not even a slot
    // that a read-write mount of the same file left open.
    if (r.ctx.flags & MOUNT_FLAG_READONLY) return NFSERR_ROFS;

    wp_handle handle = WP_INVALID_HANDLE;
    file_attributes attrs{};
    cache_slot* slot = cache_find(r.key, CACHE_READ_WRITE, &handle, &attrs);
    uint32_t windows = 0;
    if (!validated_here(slot, r)) {
        if (uint32_t status = look_up(r, attrs, &windows)) return status;
        if (attrs.type == NF_DIR) return NFSERR_ISDIR;
    }
    if (slot) {
        if (cache_commit(slot) != 0) return flush_failed(r.identity);
    } else {
        // Data written through a handle since closed may still sit in the
        // system cache: the file is opened to flush it.
        attribute_lift lifted;
        file_handle h(open_for_writing(r, attrs, windows, lifted));
        if (!h.valid()) {
            const uint32_t error = file_last_error();
            log_printf(1, "quen commit open error %u %llu\n", error, ull(r.identity));
            return win32_to_nfs_status(error);
        }
        if (!wp_flush_file_buffers(h.get())) return flush_failed(r.identity);
    }
    attributes = attrs;
    return NFS_OK;
}
