// The procedures that change a directory's entries: CREATE, MKDIR, SYMLINK,
// MKNOD, REMOVE, RMDIR, RENAME and LINK.
#include "quen/fs/create.h"
#include "quen/fs/links.h"
#include "quen/fs/nfs_status.h"
#include "quen/fs/remove.h"
#include "quen/fs/rename.h"
#include "quen/fs/mknod.h"
#include "quen/nfs/nfs3_args.h"
#include "quen/nfs/nfs3_handlers.h"
#include "quen/nfs/nfs3_results.h"
#include "quen/nfs/nfs_request.h"

#include <cstring>

namespace {

// The directory's weak cache consistency data: both records after a change,
// fresh attributes after a failure.
nfs_wcc dir_wcc(uint32_t status, const dir_attributes_pair& pair, const internal_handle& dir,
                const fs_credential& cred) {
    if (status != 0) return {{}, nfs_post_of(dir, cred)};
    return {nfs_pre_attr_of(pair.before), {true, pair.after}};
}

void creation_result(uint32_t status, const create_result& made, const internal_handle& dir,
                     const fs_credential& cred, nfs3_create_res& res) {
    res.status = status;
    if (status != 0) {
        res.dir_wcc.after = nfs_post_of(dir, cred);
        return;
    }
    res.object = nfs3_wire_handle(made.handle);
    res.attr = {true, made.attributes};
    res.dir_wcc.after = {true, made.dir_attributes};
}

bool is_special_type(uint32_t type) { return type == NF_BLK || type == NF_CHR || type == NF_SOCK || type == NF_FIFO; }

}  // namespace

bool nfs3_create(rpc_handle* h, rpc_call* call, const void* a, void* r) {
    call_records<nfs3_create_args, nfs3_create_res> c(a, r);
    nfs_dir_call d;
    if ((c.res.status = nfs_open_dir_call(h, call, c.args.where, d)) != 0) return true;
    create_result made{};
    const uint32_t status = fs_create(d.q.fh, d.name, d.length, c.args.how, nfs_owned_by_caller(c.args.attributes.attr, *call),
                                      c.args.verifier, d.cred, true, made);
    creation_result(status, made, d.q.fh, d.cred, c.res);
    return true;
}

bool nfs3_mkdir(rpc_handle* h, rpc_call* call, const void* a, void* r) {
    call_records<nfs3_mkdir_args, nfs3_create_res> c(a, r);
    nfs_dir_call d;
    if ((c.res.status = nfs_open_dir_call(h, call, c.args.where, d)) != 0) return true;
    create_result made{};
    const uint32_t status =
        fs_mkdir(d.q.fh, d.name, d.length, nfs_owned_by_caller(c.args.attributes.attr, *call), d.cred, true, made);
    creation_result(status, made, d.q.fh, d.cred, c.res);
    return true;
}

bool nfs3_symlink(rpc_handle* h, rpc_call* call, const void* a, void* r) {
    call_records<nfs3_symlink_args, nfs3_create_res> c(a, r);
    nfs_dir_call d;
    if ((c.res.status = nfs_open_dir_call(h, call, c.args.where, d)) != 0) return true;
    create_result made{};
    const uint32_t status = fs_symlink(d.q.fh, d.name, d.length, c.args.attributes.attr, c.args.target,
                                       std::strlen(c.args.target), d.cred, true, made);
    creation_result(status, made, d.q.fh, d.cred, c.res);
    return true;
}

bool nfs3_mknod(rpc_handle* h, rpc_call* call, const void* a, void* r) {
    call_records<nfs3_mknod_args, nfs3_create_res> c(a, r);
    nfs_dir_call d;
    if ((c.res.status = nfs_open_dir_call(h, call, c.args.where, d)) != 0) return true;
    if (!is_special_type(c.args.type)) {
        c.res.status = NFSERR_BADTYPE;
        c.res.dir_wcc.after = nfs_post_of(d.q.fh, d.cred);
        return true;
    }
    create_result made{};
    const uint32_t status = fs_mknod(d.q.fh, d.name, d.length, c.args.type, nfs_owned_by_caller(c.args.attributes.attr, *call),
                                     c.args.major, c.args.minor, d.cred, true, made);
    creation_result(status, made, d.q.fh, d.cred, c.res);
    return true;
}

bool nfs3_remove(rpc_handle* h, rpc_call* call, const void* a, void* r) {
    call_records<nfs3_dirop_args, nfs3_wcc_res> c(a, r);
    nfs_dir_call d;
    if ((c.res.status = nfs_open_dir_call(h, call, c.args.what, d)) != 0) return true;
    dir_attributes_pair pair{};
    c.res.status = fs_remove(d.q.fh, d.name, d.length, d.cred, true, pair);
    c.res.wcc = dir_wcc(c.res.status, pair, d.q.fh, d.cred);
    return true;
}

bool nfs3_rmdir(rpc_handle* h, rpc_call* call, const void* a, void* r) {
    call_records<nfs3_dirop_args, nfs3_wcc_res> c(a, r);
    nfs_dir_call d;
    if ((c.res.status = nfs_open_dir_call(h, call, c.args.what, d)) != 0) return true;
    dir_attributes_pair pair{};
    c.res.status = fs_rmdir(d.q.fh, d.name, d.length, d.cred, true, pair);
    c.res.wcc = dir_wcc(c.res.status, pair, d.q.fh, d.cred);
    return true;
}

bool nfs3_rename(rpc_handle* h, rpc_call* call, const void* a, void* r) {
    call_records<nfs3_rename_args, nfs3_rename_res> c(a, r);
    nfs_dir_call from, to;
    if ((c.res.status = nfs_open_dir_call(h, call, c.args.from, from)) != 0) return true;
    if ((c.res.status = nfs_open_dir_call(h, call, c.args.to, to)) != 0) return true;
    rename_result moved{};
    c.res.status =
        fs_rename(from.q.fh, from.name, from.length, to.q.fh, to.name, to.length, from.cred, true, moved);
    c.res.from_wcc = dir_wcc(c.res.status, moved.from_dir, from.q.fh, from.cred);
    c.res.to_wcc = dir_wcc(c.res.status, moved.to_dir, to.q.fh, to.cred);
    return true;
}

bool nfs3_link(rpc_handle* h, rpc_call* call, const void* a, void* r) {
    call_records<nfs3_link_args, nfs3_link_res> c(a, r);
    nfs_request file;
    if ((c.res.status = nfs_request_open(h, call, c.args.file, file)) != 0) return true;
    nfs_dir_call d;
    if ((c.res.status = nfs_open_dir_call(h, call, c.args.link, d)) != 0) return true;
    create_result made{};
    c.res.status = fs_link(file.fh, d.q.fh, d.name, d.length, d.cred, true, made);
    if (c.res.status != 0) {
        c.res.attr = nfs_post_of(file.fh, d.cred);
        c.res.dir_wcc.after = nfs_post_of(d.q.fh, d.cred);
        return true;
    }
    c.res.attr = {true, made.attributes};
    c.res.dir_wcc.after = {true, made.dir_attributes};
    return true;
}
