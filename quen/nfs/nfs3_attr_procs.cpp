// GETATTR, SETATTR, ACCESS, READLINK and the file system descriptions (FSSTAT,
// FSINFO, PATHCONF).
#include "quen/config/settings.h"
#include "quen/fs/handle_calls.h"
#include "quen/fs/links.h"
#include "quen/fs/nfs_status.h"
#include "quen/fs/set_attr.h"
#include "quen/mount/mount_table.h"
#include "quen/nfs/nfs3_args.h"
#include "quen/nfs/nfs3_handlers.h"
#include "quen/nfs/nfs3_results.h"
#include "quen/nfs/nfs_request.h"

#include <cstring>

namespace {

bool in_groups(uint32_t gid, const fs_credential& cred) {
    if (uint32_t(cred.gid) == gid) return true;
    for (uint32_t i = 0; i < cred.gid_count && i < RPC_GIDS_MAX; ++i)
        if (cred.gids[i] == gid) return true;
    return false;
}

// The rwx bits of the mode that apply to the caller; root reads and writes
// everything and executes what anyone may.
uint32_t caller_bits(const file_attributes& a, const fs_credential& cred) {
    if (cred.uid == 0) {
        const uint32_t m = a.mode | 0666;
        return (m >> 6 | m >> 3 | m) & 7;
    }
    if (uint32_t(cred.uid) == a.uid) {
        const uint32_t d = (a.mode >> 6) & 7;
        return d & 4 ? d | 2 : d;
    }
    return (in_groups(a.gid, cred) ? a.mode >> 3 : a.mode) & 7;
}

}  // namespace

uint32_t nfs3_access_granted(const file_attributes& a, const fs_credential& cred, uint32_t requested,
                             bool read_only) {
    const uint32_t d = caller_bits(a, cred);
    uint32_t granted = 0;
    if (d & 4) granted |= a.type == NF_DIR ? NFS3_ACCESS_READ | NFS3_ACCESS_LOOKUP : NFS3_ACCESS_READ;
    if ((d & 1) && a.type != NF_DIR) granted |= NFS3_ACCESS_EXECUTE;
    if ((d & 2) && !read_only) granted |= NFS3_ACCESS_MODIFY | NFS3_ACCESS_EXTEND | NFS3_ACCESS_DELETE;
    return granted & requested;
}

bool nfs3_getattr(rpc_handle*, rpc_call* call, const void* a, void* r) {
    call_records<nfs3_handle_args, nfs3_attr_res> c(a, r);
    const fs_request& q = nfs_checked(call);
    c.res.status = fs_getattr(q, c.res.attr);
    return true;
}

bool nfs3_setattr(rpc_handle*, rpc_call* call, const void* a, void* r) {
    call_records<nfs3_setattr_args, nfs3_wcc_res> c(a, r);
    const fs_request& q = nfs_checked(call);
    if (c.args.guard_check) {
        // The client's picture of the file must still be true, else nothing changes.
        file_attributes now{};
        c.res.status = fs_getattr(q, now);
        if (c.res.status == 0 && (now.ctime.seconds != c.args.guard_ctime.seconds ||
                                  now.ctime.nseconds != c.args.guard_ctime.nseconds)) {
            c.res.status = NFS3ERR_NOT_SYNC;
            c.res.wcc.before = nfs_pre_attr_of(now);
            c.res.wcc.after = {true, now};
            return true;
        }
        if (c.res.status != 0) return true;
    }
    file_attributes before{}, after{};
    c.res.status = fs_setattr(q, c.args.attributes.attr, before, after);
    if (c.res.status == 0) {
        c.res.wcc.before = nfs_pre_attr_of(before);
        c.res.wcc.after = {true, after};
    } else {
        c.res.wcc.after = nfs_post_of(q);
    }
    return true;
}

bool nfs3_access(rpc_handle*, rpc_call* call, const void* a, void* r) {
    call_records<nfs3_access_args, nfs3_access_res> c(a, r);
    const fs_request& q = nfs_checked(call);
    c.res.status = fs_getattr(q, c.res.attr.attr);
    if (c.res.status != 0) return true;
    c.res.attr.present = true;
    c.res.access = nfs3_access_granted(c.res.attr.attr, q.cred, c.args.access, q.ctx.flags & MOUNT_FLAG_READONLY);
    return true;
}

bool nfs3_fsstat(rpc_handle*, rpc_call* call, const void* a, void* r) {
    call_records<nfs3_handle_args, nfs3_fsstat_res> c(a, r);
    const fs_request& q = nfs_checked(call);
    c.res.attr = nfs_post_of(q);
    statfs_values v{};
    c.res.status = fs_statfs(q, v);
    c.res.tbytes = v.total_blocks * v.block_size;
    c.res.fbytes = c.res.abytes = v.free_blocks * v.block_size;
    c.res.tfiles = c.res.ffiles = c.res.afiles = 65535;
    return true;
}

bool nfs3_fsinfo(rpc_handle* h, rpc_call* call, const void* a, void* r) {
    call_records<nfs3_handle_args, nfs3_fsinfo_res> c(a, r);
    const fs_request& q = nfs_checked(call);
    const server_config& s = g_settings.record;
    uint32_t properties = NFS3_FSF_HOMOGENEOUS | NFS3_FSF_CANSETTIME;
    if (s.soft_links) properties |= NFS3_FSF_SYMLINK;
    if (s.hard_links) properties |= NFS3_FSF_LINK;
    c.res.status = fs_fsinfo_properties(q, &properties, c.res.attr.attr);
    c.res.attr.present = c.res.status == 0;
    c.res.rtmax = c.res.rtpref = s.max_read;
    c.res.wtmax = c.res.wtpref = s.max_write;
    c.res.rtmult = c.res.wtmult = 4096;
    c.res.dtpref = s.dir_reply_size;
    c.res.maxfilesize = 0xFFFFFFFFFFFFFFFEull;
    c.res.time_delta = {1, 0};
    c.res.properties = properties;
    if (h->protocol == RPC_TCP) mount_note_tcp(q.mount_id);
    return true;
}

bool nfs3_pathconf(rpc_handle*, rpc_call* call, const void* a, void* r) {
    call_records<nfs3_handle_args, nfs3_pathconf_res> c(a, r);
    const fs_request& q = nfs_checked(call);
    pathconf_values v{};
    c.res.status = fs_pathconf_values(q, v, c.res.attr.attr);
    c.res.attr.present = c.res.status == 0;
    c.res.linkmax = v.link_max;
    c.res.name_max = v.name_max;
    c.res.no_trunc = true;
    c.res.case_insensitive = v.case_insensitive;
    c.res.case_preserving = v.case_preserving;
    return true;
}

bool nfs3_readlink(rpc_handle*, rpc_call* call, const void* a, void* r) {
    call_records<nfs3_handle_args, nfs3_readlink_res> c(a, r);
    const fs_request& q = nfs_checked(call);
    c.res.status = fs_readlink(q, c.res.target, sizeof c.res.target, c.res.attr.attr);
    c.res.attr.present = c.res.status == 0;
    c.res.length = c.res.status == 0 ? uint32_t(std::strlen(c.res.target)) : 0;
    return true;
}
