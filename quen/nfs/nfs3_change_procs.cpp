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
nfs_wcc dir_wcc(uint32_t status, const dir_attributes_pair& pair, const fs_request& dir) {
    if (status != 0) return {{}, nfs_post_of(dir)};
    return {nfs_pre_attr_of(pair.before), {true, pair.after}};
}

void creation_result(uint32_t status, const create_result& made, const fs_request& dir, nfs3_create_res& res) {
    res.status = status;
    if (status != 0) {
        res.dir_wcc.after = nfs_post_of(dir);
        return;
    }
    res.object = nfs3_wire_handle(made.handle);
    res.attr = {true, made.attributes};
    res.dir_wcc.after = {true, made.dir_attributes};
}

bool is_special_type(uint32_t type) { return type == NF_BLK || type == NF_CHR || type == NF_SOCK || type == NF_FIFO; }

}  // namespace

bool nfs3_create(rpc_handle*, rpc_call* call, const void* a, void* r) {
    call_records<nfs3_create_args, nfs3_create_res> c(a, r);
    const fs_request& dir = nfs_checked(call);
    const nfs_name n = nfs_name_of(c.args.where.name);
    create_result made{};
    const uint32_t status = fs_create(dir, n.text, n.length, c.args.how, nfs_owned_by_caller(c.args.attributes.attr, *call),
                                      c.args.verifier, true, made);
    creation_result(status, made, dir, c.res);
    return true;
}

bool nfs3_mkdir(rpc_handle*, rpc_call* call, const void* a, void* r) {
    call_records<nfs3_mkdir_args, nfs3_create_res> c(a, r);
    const fs_request& dir = nfs_checked(call);
    const nfs_name n = nfs_name_of(c.args.where.name);
    create_result made{};
    const uint32_t status =
        fs_mkdir(dir, n.text, n.length, nfs_owned_by_caller(c.args.attributes.attr, *call), true, made);
    creation_result(status, made, dir, c.res);
    return true;
}

bool nfs3_symlink(rpc_handle*, rpc_call* call, const void* a, void* r) {
    call_records<nfs3_symlink_args, nfs3_create_res> c(a, r);
    const fs_request& dir = nfs_checked(call);
    const nfs_name n = nfs_name_of(c.args.where.name);
    create_result made{};
    const uint32_t status = fs_symlink(dir, n.text, n.length, c.args.attributes.attr, c.args.target,
                                       std::strlen(c.args.target), true, made);
    creation_result(status, made, dir, c.res);
    return true;
}

bool nfs3_mknod(rpc_handle*, rpc_call* call, const void* a, void* r) {
    call_records<nfs3_mknod_args, nfs3_create_res> c(a, r);
    const fs_request& dir = nfs_checked(call);
    const nfs_name n = nfs_name_of(c.args.where.name);
    if (!is_special_type(c.args.type)) {
        c.res.status = NFSERR_BADTYPE;
        c.res.dir_wcc.after = nfs_post_of(dir);
        return true;
    }
    create_result made{};
    const uint32_t status = fs_mknod(dir, n.text, n.length, c.args.type, nfs_owned_by_caller(c.args.attributes.attr, *call),
                                     c.args.major, c.args.minor, true, made);
    creation_result(status, made, dir, c.res);
    return true;
}

bool nfs3_remove(rpc_handle*, rpc_call* call, const void* a, void* r) {
    call_records<nfs3_dirop_args, nfs3_wcc_res> c(a, r);
    const fs_request& dir = nfs_checked(call);
    const nfs_name n = nfs_name_of(c.args.what.name);
    dir_attributes_pair pair{};
    c.res.status = fs_remove(dir, n.text, n.length, true, pair);
    c.res.wcc = dir_wcc(c.res.status, pair, dir);
    return true;
}

bool nfs3_rmdir(rpc_handle*, rpc_call* call, const void* a, void* r) {
    call_records<nfs3_dirop_args, nfs3_wcc_res> c(a, r);
    const fs_request& dir = nfs_checked(call);
    const nfs_name n = nfs_name_of(c.args.what.name);
    dir_attributes_pair pair{};
    c.res.status = fs_rmdir(dir, n.text, n.length, true, pair);
    c.res.wcc = dir_wcc(c.res.status, pair, dir);
    return true;
}

bool nfs3_rename(rpc_handle* h, rpc_call* call, const void* a, void* r) {
    call_records<nfs3_rename_args, nfs3_rename_res> c(a, r);
    const fs_request& from = nfs_checked(call);
    fs_request to;
    if ((c.res.status = nfs_request_open(h, call, c.args.to.dir, to)) != 0) return true;
    const nfs_name from_name = nfs_name_of(c.args.from.name), to_name = nfs_name_of(c.args.to.name);
    rename_result moved{};
    c.res.status =
        fs_rename(from, from_name.text, from_name.length, to, to_name.text, to_name.length, true, moved);
    c.res.from_wcc = dir_wcc(c.res.status, moved.from_dir, from);
    c.res.to_wcc = dir_wcc(c.res.status, moved.to_dir, to);
    return true;
}

bool nfs3_link(rpc_handle* h, rpc_call* call, const void* a, void* r) {
    call_records<nfs3_link_args, nfs3_link_res> c(a, r);
    const fs_request& file = nfs_checked(call);
    fs_request dir;
    if ((c.res.status = nfs_request_open(h, call, c.args.link.dir, dir)) != 0) return true;
    const nfs_name n = nfs_name_of(c.args.link.name);
    create_result made{};
    c.res.status = fs_link(file, dir, n.text, n.length, true, made);
    if (c.res.status != 0) {
        c.res.attr = nfs_post_of(file);
        c.res.dir_wcc.after = nfs_post_of(dir);
        return true;
    }
    c.res.attr = {true, made.attributes};
    c.res.dir_wcc.after = {true, made.dir_attributes};
    return true;
}
