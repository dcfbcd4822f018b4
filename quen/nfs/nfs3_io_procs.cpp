// READ straight into the reply buffer, WRITE with its stability rules, COMMIT.
#include "quen/config/settings.h"
#include "quen/fs/file_io.h"
#include "quen/fs/handle_calls.h"
#include "quen/fs/nfs_status.h"
#include "quen/nfs/nfs3_args.h"
#include "quen/nfs/nfs3_handlers.h"
#include "quen/nfs/nfs3_results.h"
#include "quen/nfs/nfs_request.h"

#include <cstring>

namespace {

constexpr uint64_t kOffsetMax = ~uint64_t(0);
constexpr uint64_t kSeekMax = kOffsetMax >> 1;   // file positions are signed 64-bit

// What the reply says was committed, and how the file layer writes.
struct write_stability {
    uint32_t committed;
    uint32_t sync_mode;
};

write_stability stability_of(uint32_t requested) {
    const server_config& s = g_settings.record;
    uint32_t stable = requested == NFS3_DATA_SYNC ? NFS3_FILE_SYNC : requested;
    if (stable < s.nfs3_write_mode) stable = s.nfs3_write_mode;
    if (stable > NFS3_FILE_SYNC) stable = NFS3_FILE_SYNC;
    // FILE_SYNC must be on disk before the reply: flushed (closing a handle
    // alone does not write the system's cache out).
    uint32_t mode = stable == NFS3_FILE_SYNC ? WRITE_FLUSHED : WRITE_CACHED;
    if (s.nfs3_write_unstable) mode = WRITE_CACHED;
    return {stable, mode};
}

}  // namespace

bool nfs3_read(rpc_handle* h, rpc_call* call, const void* a, void* r) {
    call_records<nfs3_read_args, nfs3_read_res> c(a, r);
    const fs_request& q = nfs_checked(call);
    if (c.args.offset > kSeekMax) {
        // No file reaches this far (and no seek can): nothing to read.
        c.res.status = fs_getattr(q, c.res.attr.attr);
        c.res.attr.present = c.res.eof = c.res.status == 0;
        return true;
    }
    uint32_t count = c.args.count < g_settings.record.max_read ? c.args.count : g_settings.record.max_read;
    count = nfs_read_count_fit(count, nfs_reply_room(h, call), NFS3_READ_DATA_OFFSET);
    const uint32_t wanted = count;
    uint8_t* data = h->buffer + rpc_results_offset(call) + NFS3_READ_DATA_OFFSET;
    file_attributes after{};
    c.res.status = file_read(q, c.args.offset, &count, data, after);
    if (c.res.status != 0) return true;
    c.res.attr = {true, after};
    c.res.count = count;
    c.res.data = data;
    c.res.eof = count < wanted || c.args.offset + count >= after.size;
    return true;
}

bool nfs3_write(rpc_handle*, rpc_call* call, const void* a, void* r) {
    call_records<nfs3_write_args, nfs3_write_res> c(a, r);
    const fs_request& q = nfs_checked(call);
    uint32_t count = c.args.count < g_settings.record.max_write ? c.args.count : g_settings.record.max_write;
    if (c.args.offset > kSeekMax - count) {
        c.res.status = NFSERR_INVAL;
        return true;
    }
    const write_stability how = stability_of(c.args.stable);
    file_attributes before{}, after{};
    c.res.status = file_write(q, c.args.offset, &count, c.args.data, how.sync_mode, before, after);
    if (c.res.status != 0) {
        c.res.wcc.after = nfs_post_of(q);
        return true;
    }
    c.res.wcc = {nfs_pre_attr_of(before), {true, after}};
    c.res.count = count;
    c.res.committed = how.committed;
    std::memcpy(c.res.verifier, nfs_write_verifier(), NFS_VERIFIER_SIZE);
    return true;
}

bool nfs3_commit(rpc_handle*, rpc_call* call, const void* a, void* r) {
    call_records<nfs3_commit_args, nfs3_commit_res> c(a, r);
    const fs_request& q = nfs_checked(call);
    file_attributes attrs{};
    c.res.status = file_commit(q, attrs);
    c.res.wcc.after = nfs_post(c.res.status, attrs);
    if (c.res.status == 0) std::memcpy(c.res.verifier, nfs_write_verifier(), NFS_VERIFIER_SIZE);
    return true;
}
