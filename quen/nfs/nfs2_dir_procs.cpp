// Version 2 LOOKUP (the WebNFS public handle included), READDIR and the
// procedures that change a directory's entries.
#include "quen/fs/create.h"
#include "quen/fs/dir_scan.h"
#include "quen/fs/links.h"
#include "quen/fs/lookup.h"
#include "quen/fs/mknod.h"
#include "quen/fs/nfs_status.h"
#include "quen/fs/remove.h"
#include "quen/fs/rename.h"
#include "quen/nfs/nfs2_args.h"
#include "quen/nfs/nfs2_handlers.h"
#include "quen/nfs/nfs2_results.h"
#include "quen/nfs/nfs_request.h"

#include <cstring>

namespace {

constexpr uint32_t kTypeBits = 0xF000, kTypeRegular = 0x8000, kTypeChar = 0x2000, kTypeBlock = 0x6000;

// Version 2 says "unset" with all ones, which the decoder reads as not set:
// a new object is owned by the caller then.
xdr_sattr new_owner(const xdr_sattr& in, const rpc_call& call) {
    constexpr uint32_t unset = 0xFFFFFFFF;
    xdr_sattr marked = in;
    if (!marked.set_uid) {
        marked.set_uid = true;
        marked.uid = unset;
    }
    if (!marked.set_gid) {
        marked.set_gid = true;
        marked.gid = unset;
    }
    xdr_sattr out = nfs_owned_by_caller(marked, call);
    out.mode &= 07777;   // the type is the procedure's
    return out;
}

void dirop_result(uint32_t status, const create_result& made, nfs2_dirop_res& res) {
    res.status = status;
    if (status != 0) return;
    res.file = nfs2_wire_handle(made.handle);
    res.attr = made.attributes;
}

// CREATE makes devices too: the sattr's type bits say which, and its size
// field carries the device number (major above the low 8 bits).
uint32_t create_object(const fs_request& dir, const nfs_name& n, uint32_t type, const xdr_sattr& request,
                       create_result& made) {
    if (type == 0 || type == kTypeRegular)
        return fs_create(dir, n.text, n.length, CREATE_UNCHECKED, request, nullptr, false, made);
    if (type != kTypeChar && type != kTypeBlock) return NFSERR_IO;
    const uint32_t device = request.set_size ? uint32_t(request.size) : 0;
    xdr_sattr node = request;
    node.set_size = false;
    return fs_mknod(dir, n.text, n.length, type == kTypeChar ? NF_CHR : NF_BLK, node, device >> 8, device & 0xFF,
                    false, made);
}

}  // namespace

bool nfs_lookup(rpc_handle* h, rpc_call* call, const void* a, void* r) {
    call_records<nfs2_dirop_args, nfs2_dirop_res> c(a, r);
    internal_handle dir = handle_from_bytes(c.args.what.dir.data, NFS2_FH_SIZE);
    char name[XDR_NAME_MAX];
    std::memcpy(name, c.args.what.name, sizeof name);
    size_t length = std::strlen(name);
    if (handle_is_public_fixed(dir)) {
        c.res.status = nfs_webnfs_start(&dir, name, &length, sizeof name, h, call);
        if (c.res.status != 0) return true;
    }
    fs_request q;
    c.res.status = nfs2_request_open(h, call, nfs2_wire_handle(dir), q);
    if (c.res.status != 0) return true;
    lookup_result found{};
    c.res.status = fs_lookup(q, name, length, h->peer.addr, false, found);
    if (c.res.status != 0) return true;
    c.res.file = nfs2_wire_handle(found.handle);
    c.res.attr = found.attributes;
    return true;
}

bool nfs_readdir(rpc_handle* h, rpc_call* call, const void* a, void* r) {
    call_records<nfs2_readdir_args, nfs2_readdir_res> c(a, r);
    // The encoder runs after the handler: the list it copies lives per thread.
    thread_local nfs_dirlist list;
    open_dir od;
    c.res.status = open_directory(nfs_checked(call), false, od);
    if (c.res.status != 0) return true;
    if (!nfs2_dirlist_begin(&list, h->buffer + rpc_results_offset(call), nfs_reply_room(h, call),
                            nfs_dir_reply_limit(c.args.count))) {
        c.res.status = NFSERR_IO;
        return true;
    }
    const bool hashed_ids = (od.ctx.flags & MOUNT_FLAG_I32) && (od.ctx.flags & MOUNT_FLAG_FILE_ID);
    uint32_t cookie = c.args.cookie;
    bool eof = false;
    while (list.entries < nfs_dir_entry_limit()) {
        dir_entry e{};
        const int got = dir_scan_next(h->peer.addr, od.ctx, od.mount_id, od.path, od.identity, od.parent, cookie, &e);
        if (got < 0) {
            c.res.status = NFSERR_IO;
            return true;
        }
        const uint32_t length = got == 0 ? 0 : uint32_t(std::strlen(e.name));
        if (length == 0) {
            eof = true;
            break;
        }
        // The same id GETATTR reports for the entry.
        const uint32_t fileid = hashed_ids ? fileid_hash(e.inode) : nfs2_fileid(e.inode);
        if (!nfs2_dirlist_add(&list, fileid, e.name, length, e.cookie)) break;
        cookie = e.cookie;
    }
    nfs_dirlist_end(&list, eof);
    c.res.list = &list;
    return true;
}

bool nfs_create(rpc_handle*, rpc_call* call, const void* a, void* r) {
    call_records<nfs2_create_args, nfs2_dirop_res> c(a, r);
    const fs_request& dir = nfs_checked(call);
    const nfs_name n = nfs_name_of(c.args.where.name);
    create_result made{};
    const xdr_sattr& asked = c.args.attributes;
    const uint32_t type = asked.set_mode ? asked.mode & kTypeBits : 0;
    dirop_result(create_object(dir, n, type, new_owner(asked, *call), made), made, c.res);
    return true;
}

bool nfs_mkdir(rpc_handle*, rpc_call* call, const void* a, void* r) {
    call_records<nfs2_create_args, nfs2_dirop_res> c(a, r);
    const fs_request& dir = nfs_checked(call);
    const nfs_name n = nfs_name_of(c.args.where.name);
    create_result made{};
    dirop_result(fs_mkdir(dir, n.text, n.length, new_owner(c.args.attributes, *call), false, made), made,
                 c.res);
    return true;
}

bool nfs_symlink(rpc_handle*, rpc_call* call, const void* a, void* r) {
    call_records<nfs2_symlink_args, nfs2_status_res> c(a, r);
    const fs_request& dir = nfs_checked(call);
    const nfs_name n = nfs_name_of(c.args.from.name);
    xdr_sattr want = c.args.attributes;
    want.mode &= 07777;
    create_result made{};
    c.res.status = fs_symlink(dir, n.text, n.length, want, c.args.target, std::strlen(c.args.target),
                              false, made);
    return true;
}

bool nfs_remove(rpc_handle*, rpc_call* call, const void* a, void* r) {
    call_records<nfs2_dirop_args, nfs2_status_res> c(a, r);
    const fs_request& dir = nfs_checked(call);
    const nfs_name n = nfs_name_of(c.args.what.name);
    dir_attributes_pair pair{};
    c.res.status = fs_remove(dir, n.text, n.length, false, pair);
    return true;
}

bool nfs_rmdir(rpc_handle*, rpc_call* call, const void* a, void* r) {
    call_records<nfs2_dirop_args, nfs2_status_res> c(a, r);
    const fs_request& dir = nfs_checked(call);
    const nfs_name n = nfs_name_of(c.args.what.name);
    dir_attributes_pair pair{};
    c.res.status = fs_rmdir(dir, n.text, n.length, false, pair);
    return true;
}

bool nfs_rename(rpc_handle* h, rpc_call* call, const void* a, void* r) {
    call_records<nfs2_rename_args, nfs2_status_res> c(a, r);
    const fs_request& from = nfs_checked(call);
    fs_request to;
    if ((c.res.status = nfs2_request_open(h, call, c.args.to.dir, to)) != 0) return true;
    const nfs_name from_name = nfs_name_of(c.args.from.name), to_name = nfs_name_of(c.args.to.name);
    rename_result moved{};
    c.res.status =
        fs_rename(from, from_name.text, from_name.length, to, to_name.text, to_name.length, false, moved);
    return true;
}

bool nfs_link(rpc_handle* h, rpc_call* call, const void* a, void* r) {
    call_records<nfs2_link_args, nfs2_status_res> c(a, r);
    const fs_request& file = nfs_checked(call);
    fs_request dir;
    if ((c.res.status = nfs2_request_open(h, call, c.args.to.dir, dir)) != 0) return true;
    const nfs_name n = nfs_name_of(c.args.to.name);
    create_result made{};
    c.res.status = fs_link(file, dir, n.text, n.length, false, made);
    return true;
}
