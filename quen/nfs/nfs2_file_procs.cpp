// Version 2 GETATTR, SETATTR, READLINK, READ, WRITE and STATFS. Offsets and
// sizes are 32-bit here: nothing a client asks for may wrap past 2^32 - 1.
#include "quen/config/settings.h"
#include "quen/fs/file_io.h"
#include "quen/fs/handle_calls.h"
#include "quen/fs/links.h"
#include "quen/fs/nfs_status.h"
#include "quen/fs/set_attr.h"
#include "quen/nfs/nfs2_args.h"
#include "quen/nfs/nfs2_handlers.h"
#include "quen/nfs/nfs2_results.h"
#include "quen/nfs/nfs3_results.h"
#include "quen/nfs/nfs_request.h"

#include <cstring>
#include <ctime>

namespace {

constexpr uint32_t kUsecServerTime = 1000000;   // by old convention: the server's clock

// A sattr time of 1000000 microseconds asks for the server's time.
void server_time(bool set, uint32_t* sec, uint32_t* nsec) {
    if (!set || *nsec != kUsecServerTime * 1000u) return;
    *sec = uint32_t(std::time(nullptr));
    *nsec = 0;
}

}  // namespace

nfs2_fh nfs2_wire_handle(const internal_handle& fh) {
    nfs2_fh out;
    handle_to_bytes(fh, out.data);
    return out;
}

bool nfs_getattr(rpc_handle*, rpc_call* call, const void* a, void* r) {
    call_records<nfs2_handle_args, nfs2_attr_res> c(a, r);
    const fs_request& q = nfs_checked(call);
    c.res.status = fs_getattr(q, c.res.attr);
    return true;
}

bool nfs_setattr(rpc_handle*, rpc_call* call, const void* a, void* r) {
    call_records<nfs2_setattr_args, nfs2_attr_res> c(a, r);
    const fs_request& q = nfs_checked(call);
    xdr_sattr want = c.args.attributes;
    want.mode &= 07777;
    server_time(want.set_atime, &want.atime_sec, &want.atime_nsec);
    server_time(want.set_mtime, &want.mtime_sec, &want.mtime_nsec);
    file_attributes before{};
    c.res.status = fs_setattr(q, want, before, c.res.attr);
    return true;
}

bool nfs_readlink(rpc_handle*, rpc_call* call, const void* a, void* r) {
    call_records<nfs2_handle_args, nfs2_readlink_res> c(a, r);
    const fs_request& q = nfs_checked(call);
    file_attributes attrs{};
    c.res.status = fs_readlink(q, c.res.target, sizeof c.res.target, attrs);
    c.res.length = c.res.status == 0 ? uint32_t(std::strlen(c.res.target)) : 0;
    return true;
}

bool nfs_read(rpc_handle* h, rpc_call* call, const void* a, void* r) {
    call_records<nfs2_read_args, nfs2_read_res> c(a, r);
    const fs_request& q = nfs_checked(call);
    // The decoder refused counts above "Datasize"; what is left must fit the
    // buffer and end where a 32-bit offset can still reach.
    uint32_t count = nfs_read_count_fit(c.args.count, nfs_reply_room(h, call), NFS2_READ_DATA_OFFSET);
    if (count > NFS2_OFFSET_MAX - c.args.offset) count = uint32_t(NFS2_OFFSET_MAX - c.args.offset);
    uint8_t* data = h->buffer + rpc_results_offset(call) + NFS2_READ_DATA_OFFSET;
    c.res.status = file_read(q, c.args.offset, &count, data, c.res.attr);
    if (c.res.status != 0) return true;
    c.res.count = count;
    c.res.data = data;
    return true;
}

bool nfs_write(rpc_handle*, rpc_call* call, const void* a, void* r) {
    call_records<nfs2_write_args, nfs2_attr_res> c(a, r);
    const fs_request& q = nfs_checked(call);
    // The file would grow past what a version 2 size can say.
    if (c.args.length > NFS2_OFFSET_MAX - c.args.offset) {
        c.res.status = NFSERR_FBIG;
        return true;
    }
    const uint32_t mode = g_settings.record.nfs2_write;
    const uint32_t sync_mode = mode == 1 ? WRITE_FLUSHED : mode >= 2 ? WRITE_CLOSED : WRITE_CACHED;
    uint32_t count = c.args.length;
    file_attributes before{};
    c.res.status =
        file_write(q, c.args.offset, &count, c.args.data, sync_mode, before, c.res.attr);
    return true;
}

bool nfs_statfs(rpc_handle*, rpc_call* call, const void* a, void* r) {
    call_records<nfs2_handle_args, nfs2_statfs_res> c(a, r);
    const fs_request& q = nfs_checked(call);
    statfs_values v{};
    c.res.status = fs_statfs(q, v);
    if (c.res.status != 0) return true;
    c.res = nfs2_statfs_of(v, g_settings.record.max_read);
    return true;
}
