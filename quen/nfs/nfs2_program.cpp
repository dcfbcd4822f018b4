// The NFS version 2 procedure table, its admission check (the sender must be
// admitted, and for a change the export writable).
#include "quen/config/settings.h"
#include "quen/fs/nfs_status.h"
#include "quen/mount/mount_context.h"
#include "quen/nfs/nfs2_args.h"
#include "quen/nfs/nfs2_handlers.h"
#include "quen/nfs/nfs2_results.h"
#include "quen/nfs/nfs_request.h"
#include "quen/nfs/nfs_service.h"
#include "rpc/log.h"
#include "rpc/proc_table.h"

namespace {

// Version 2 has no short read or write: a count above the configured size
// is a malformed call.
bool decode_read(xdr_cursor* c, void* args) {
    return nfs2_decode_read(c, args) && static_cast<const nfs2_read_args*>(args)->count <= g_settings.record.max_read;
}

bool decode_write(xdr_cursor* c, void* args) {
    return nfs2_decode_write(c, args) &&
           static_cast<const nfs2_write_args*>(args)->length <= g_settings.record.max_write;
}

rpc_proc_slot g_setattr_slot, g_create_slot, g_remove_slot, g_rename_slot, g_link_slot, g_symlink_slot,
    g_mkdir_slot, g_rmdir_slot;

// Procedures 3 (ROOT) and 7 (WRITECACHE) are not served: their entries are empty.
constexpr rpc_proc k_procs[] = {
    rpc_proc_null("nfs_null"),
    nfs_proc<nfs2_handle_args, nfs2_attr_res>(1, "nfs_getattr", nfs2_decode_handle, nfs_getattr, nfs2_encode_attr),
    nfs_proc<nfs2_setattr_args, nfs2_attr_res>(2, "nfs_setattr", nfs2_decode_setattr, nfs_setattr, nfs2_encode_attr,
                                               kNfsChangeOnce, &g_setattr_slot),
    rpc_proc_absent(3, "nfs_root"),
    nfs_proc<nfs2_dirop_args, nfs2_dirop_res>(4, "nfs_lookup", nfs2_decode_dirop, nfs_lookup, nfs2_encode_dirop,
                                               kNfsOwnHandle),
    nfs_proc<nfs2_handle_args, nfs2_readlink_res>(5, "nfs_readlink", nfs2_decode_handle, nfs_readlink,
                                                  nfs2_encode_readlink),
    nfs_proc<nfs2_read_args, nfs2_read_res>(6, "nfs_read", decode_read, nfs_read, nfs2_encode_read),
    rpc_proc_absent(7, "nfs_writecache"),
    nfs_proc<nfs2_write_args, nfs2_attr_res>(8, "nfs_write", decode_write, nfs_write, nfs2_encode_attr, kNfsChange),
    nfs_proc<nfs2_create_args, nfs2_dirop_res>(9, "nfs_create", nfs2_decode_create, nfs_create, nfs2_encode_dirop,
                                               kNfsChangeOnce, &g_create_slot),
    nfs_proc<nfs2_dirop_args, nfs2_status_res>(10, "nfs_remove", nfs2_decode_dirop, nfs_remove, nfs2_encode_status,
                                               kNfsChangeOnce, &g_remove_slot),
    nfs_proc<nfs2_rename_args, nfs2_status_res>(11, "nfs_rename", nfs2_decode_rename, nfs_rename, nfs2_encode_status,
                                                kNfsChangeOnce, &g_rename_slot),
    nfs_proc<nfs2_link_args, nfs2_status_res>(12, "nfs_link", nfs2_decode_link, nfs_link, nfs2_encode_status,
                                              kNfsChangeOnce, &g_link_slot),
    nfs_proc<nfs2_symlink_args, nfs2_status_res>(13, "nfs_symlink", nfs2_decode_symlink, nfs_symlink, nfs2_encode_status,
                                                 kNfsChangeOnce, &g_symlink_slot),
    nfs_proc<nfs2_create_args, nfs2_dirop_res>(14, "nfs_mkdir", nfs2_decode_create, nfs_mkdir, nfs2_encode_dirop,
                                               kNfsChangeOnce, &g_mkdir_slot),
    nfs_proc<nfs2_dirop_args, nfs2_status_res>(15, "nfs_rmdir", nfs2_decode_dirop, nfs_rmdir, nfs2_encode_status,
                                               kNfsChangeOnce, &g_rmdir_slot),
    nfs_proc<nfs2_readdir_args, nfs2_readdir_res>(16, "nfs_readdir", nfs2_decode_readdir, nfs_readdir, nfs2_encode_readdir),
    nfs_proc<nfs2_handle_args, nfs2_statfs_res>(17, "nfs_statfs", nfs2_decode_handle, nfs_statfs, nfs2_encode_statfs),};
static_assert(rpc_procs_numbered(k_procs));
constexpr uint32_t k_proc_count = sizeof k_procs / sizeof k_procs[0];
static_assert(k_proc_count == 18);

const rpc_program k_program = {100003, 2, k_procs, k_proc_count, nfs_admit<nfs2_fh, nfs2_request_open>,
                                nfs_bad_args, nfs_unavailable};

}  // namespace

const rpc_program* nfs2_program() { return &k_program; }
