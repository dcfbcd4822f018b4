// The NFS version 3 procedure table, its admission check (the sender must be
// admitted, and for a change the export writable).
#include "quen/fs/nfs_status.h"
#include "quen/mount/mount_context.h"
#include "quen/nfs/nfs3_args.h"
#include "quen/nfs/nfs3_handlers.h"
#include "quen/nfs/nfs3_results.h"
#include "quen/nfs/nfs_request.h"
#include "quen/nfs/nfs_service.h"
#include "rpc/log.h"
#include "rpc/proc_table.h"

namespace {

rpc_proc_slot g_setattr_slot, g_create_slot, g_mkdir_slot, g_symlink_slot, g_mknod_slot, g_remove_slot, g_rmdir_slot,
    g_rename_slot, g_link_slot;

constexpr rpc_proc k_procs[] = {
    rpc_proc_null("nfs3_null"),
    nfs_proc<nfs3_handle_args, nfs3_attr_res>(1, "nfs3_getattr", nfs3_decode_handle, nfs3_getattr, nfs3_encode_attr),
    nfs_proc<nfs3_setattr_args, nfs3_wcc_res>(2, "nfs3_setattr", nfs3_decode_setattr, nfs3_setattr, nfs3_encode_wcc,
                                              kNfsChangeOnce, &g_setattr_slot),
    nfs_proc<nfs3_dirop_args, nfs3_lookup_res>(3, "nfs3_lookup", nfs3_decode_dirop, nfs3_lookup, nfs3_encode_lookup,
                                                kNfsOwnHandle),
    nfs_proc<nfs3_access_args, nfs3_access_res>(4, "nfs3_access", nfs3_decode_access, nfs3_access, nfs3_encode_access),
    nfs_proc<nfs3_handle_args, nfs3_readlink_res>(5, "nfs3_readlink", nfs3_decode_handle, nfs3_readlink,
                                                  nfs3_encode_readlink),
    nfs_proc<nfs3_read_args, nfs3_read_res>(6, "nfs3_read", nfs3_decode_read, nfs3_read, nfs3_encode_read),
    nfs_proc<nfs3_write_args, nfs3_write_res>(7, "nfs3_write", nfs3_decode_write, nfs3_write, nfs3_encode_write,
                                              kNfsChange),
    nfs_proc<nfs3_create_args, nfs3_create_res>(8, "nfs3_create", nfs3_decode_create, nfs3_create, nfs3_encode_create,
                                                kNfsChangeOnce, &g_create_slot),
    nfs_proc<nfs3_mkdir_args, nfs3_create_res>(9, "nfs3_mkdir", nfs3_decode_mkdir, nfs3_mkdir, nfs3_encode_create,
                                               kNfsChangeOnce, &g_mkdir_slot),
    nfs_proc<nfs3_symlink_args, nfs3_create_res>(10, "nfs3_symlink", nfs3_decode_symlink, nfs3_symlink, nfs3_encode_create,
                                                 kNfsChangeOnce, &g_symlink_slot),
    nfs_proc<nfs3_mknod_args, nfs3_create_res>(11, "nfs3_mknod", nfs3_decode_mknod, nfs3_mknod, nfs3_encode_create,
                                               kNfsChangeOnce, &g_mknod_slot),
    nfs_proc<nfs3_dirop_args, nfs3_wcc_res>(12, "nfs3_remove", nfs3_decode_dirop, nfs3_remove, nfs3_encode_wcc,
                                            kNfsChangeOnce, &g_remove_slot),
    nfs_proc<nfs3_dirop_args, nfs3_wcc_res>(13, "nfs3_rmdir", nfs3_decode_dirop, nfs3_rmdir, nfs3_encode_wcc,
                                            kNfsChangeOnce, &g_rmdir_slot),
    nfs_proc<nfs3_rename_args, nfs3_rename_res>(14, "nfs3_rename", nfs3_decode_rename, nfs3_rename, nfs3_encode_rename,
                                                kNfsChangeOnce, &g_rename_slot),
    nfs_proc<nfs3_link_args, nfs3_link_res>(15, "nfs3_link", nfs3_decode_link, nfs3_link, nfs3_encode_link, kNfsChangeOnce,
                                            &g_link_slot),
    nfs_proc<nfs3_readdir_args, nfs3_readdir_res>(16, "nfs3_readdir", nfs3_decode_readdir, nfs3_readdir,
                                                  nfs3_encode_readdir),
    nfs_proc<nfs3_readdirplus_args, nfs3_readdir_res>(17, "nfs3_readdirplus", nfs3_decode_readdirplus, nfs3_readdirplus,
                                                      nfs3_encode_readdir),
    nfs_proc<nfs3_handle_args, nfs3_fsstat_res>(18, "nfs3_fsstat", nfs3_decode_handle, nfs3_fsstat, nfs3_encode_fsstat),
    nfs_proc<nfs3_handle_args, nfs3_fsinfo_res>(19, "nfs3_fsinfo", nfs3_decode_handle, nfs3_fsinfo, nfs3_encode_fsinfo),
    nfs_proc<nfs3_handle_args, nfs3_pathconf_res>(20, "nfs3_pathconf", nfs3_decode_handle, nfs3_pathconf,
                                                  nfs3_encode_pathconf),
    nfs_proc<nfs3_commit_args, nfs3_commit_res>(21, "nfs3_commit", nfs3_decode_commit, nfs3_commit, nfs3_encode_commit),};
static_assert(rpc_procs_numbered(k_procs));
constexpr uint32_t k_proc_count = sizeof k_procs / sizeof k_procs[0];
static_assert(k_proc_count == 22);

const rpc_program k_program = {100003, 3, k_procs, k_proc_count, nfs_admit<nfs3_fh, nfs_request_open>,
                                nfs_bad_args, nfs_unavailable};

}  // namespace

const rpc_program* nfs3_program() { return &k_program; }
