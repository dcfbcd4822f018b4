// LOOKUP (the WebNFS public handle included), READDIR and READDIRPLUS.
#include "quen/config/settings.h"
#include "quen/fs/dir_scan.h"
#include "quen/fs/lookup.h"
#include "quen/fs/nfs_status.h"
#include "quen/nfs/nfs3_args.h"
#include "quen/nfs/nfs3_handlers.h"
#include "quen/nfs/nfs3_results.h"
#include "quen/nfs/nfs_request.h"

#include <cstring>

namespace {

// The listing of READDIR and READDIRPLUS, written where the reply's results go.
struct listing {
    uint64_t cookie;
    size_t limit;
    uint32_t dircount;
    bool plus;
};

void list_directory(rpc_handle* h, rpc_call* call, const listing& l, nfs3_readdir_res& res) {
    // The encoder runs after the handler: the list it copies lives per thread.
    thread_local nfs_dirlist list;
    const fs_request& q = nfs_checked(call);
    open_dir od;
    res.status = open_directory(q, true, od);
    if (res.status != 0) return;
    res.dir_attr = {true, od.attributes};
    if (l.cookie >> 32) {
        res.status = NFSERR_STALE;
        return;
    }
    static const uint8_t zero_verifier[NFS_VERIFIER_SIZE] = {};
    if (!nfs3_dirlist_begin(&list, h->buffer + rpc_results_offset(call), nfs_reply_room(h, call), l.limit,
                            res.dir_attr, zero_verifier)) {
        res.status = NFSERR_IO;
        return;
    }
    list.dircount = l.dircount;
    const bool hashed_ids = (od.ctx.flags & MOUNT_FLAG_I32) && (od.ctx.flags & MOUNT_FLAG_FILE_ID);
    uint32_t cookie = uint32_t(l.cookie);
    bool eof = false;
    while (list.entries < nfs_dir_entry_limit()) {
        dir_entry e{};
        const int got = dir_scan_next(h->peer.addr, od.ctx, od.mount_id, od.path, od.identity, od.parent, cookie, &e);
        if (got < 0) {
            res.status = NFSERR_IO;
            return;
        }
        if (got == 0) {
            eof = true;
            break;
        }
        const uint32_t length = uint32_t(std::strlen(e.name));
        if (length == 0) break;
        const uint64_t fileid = hashed_ids ? fileid_hash(e.inode) : e.inode;
        bool added;
        if (l.plus) {
            const internal_handle fh = handle_make(uint32_t(e.inode), uint32_t(e.inode >> 32), e.mount_id);
            fs_request entry;
            nfs_post_attr attr{};
            if (fs_request_below(q, fh, entry) == NFS_OK) attr = nfs_post_of(entry, e.has_info ? &e.info : nullptr);
            added = nfs3_dirlist_add_plus(&list, fileid, e.name, length, e.cookie, attr, nfs3_wire_handle(fh));
        } else {
            added = nfs3_dirlist_add(&list, fileid, e.name, length, e.cookie);
        }
        if (!added) {
            // Not one entry fits: an empty page would only be asked for again.
            if (list.entries == 0) {
                res.status = NFSERR_TOOSMALL;
                return;
            }
            break;
        }
        cookie = e.cookie;
    }
    nfs_dirlist_end(&list, eof);
    res.list = &list;
}

}  // namespace

bool nfs3_lookup(rpc_handle* h, rpc_call* call, const void* a, void* r) {
    call_records<nfs3_dirop_args, nfs3_lookup_res> c(a, r);
    nfs3_fh dir = c.args.what.dir;
    char name[XDR_NAME_MAX];
    std::memcpy(name, c.args.what.name, sizeof name);
    size_t length = std::strlen(name);
    if (dir.length == 0 || handle_is_public_variable(handle_from_bytes(dir.data, dir.length))) {
        internal_handle public_dir = handle_from_bytes(dir.data, dir.length);
        c.res.status = nfs_webnfs_start(&public_dir, name, &length, sizeof name, h, call);
        if (c.res.status != 0) return true;
        dir = nfs3_wire_handle(public_dir);
    }
    fs_request q;
    c.res.status = nfs_request_open(h, call, dir, q);
    if (c.res.status != 0) return true;
    lookup_result found{};
    c.res.status = fs_lookup(q, name, length, h->peer.addr, true, found);
    if (c.res.status != 0) {
        c.res.dir_attr = nfs_post_of(q);
        return true;
    }
    c.res.object = nfs3_wire_handle(found.handle);
    c.res.object_attr = {true, found.attributes};
    c.res.dir_attr = {true, found.dir_attributes};
    return true;
}

bool nfs3_readdir(rpc_handle* h, rpc_call* call, const void* a, void* r) {
    call_records<nfs3_readdir_args, nfs3_readdir_res> c(a, r);
    list_directory(h, call, {c.args.cookie, nfs_dir_reply_limit(c.args.count), ~0u, false}, c.res);
    return true;
}

bool nfs3_readdirplus(rpc_handle* h, rpc_call* call, const void* a, void* r) {
    call_records<nfs3_readdirplus_args, nfs3_readdir_res> c(a, r);
    if (!g_settings.record.read_dir_plus) {
        c.res.status = NFSERR_NOTSUPP;
        return true;
    }
    list_directory(h, call, {c.args.cookie, nfs_dirplus_reply_limit(c.args.maxcount), c.args.dircount, true}, c.res);
    return true;
}
