// The NFS version 3 procedure handlers, in the procedure table's shape, and
// the small pieces they share.
#pragma once
#include "quen/fs/attr.h"
#include "quen/fs/credential.h"
#include "quen/inode/handle.h"
#include "quen/nfs/nfs_request.h"
#include "quen/nfs/nfs_wire.h"
#include "rpc/message.h"

#include <cstdint>

// Each: (handle, call, argument record, result record) -> a reply is sent.
bool nfs3_getattr(rpc_handle* h, rpc_call* call, const void* args, void* result);
bool nfs3_setattr(rpc_handle* h, rpc_call* call, const void* args, void* result);
bool nfs3_lookup(rpc_handle* h, rpc_call* call, const void* args, void* result);
bool nfs3_access(rpc_handle* h, rpc_call* call, const void* args, void* result);
bool nfs3_read(rpc_handle* h, rpc_call* call, const void* args, void* result);
bool nfs3_write(rpc_handle* h, rpc_call* call, const void* args, void* result);
bool nfs3_create(rpc_handle* h, rpc_call* call, const void* args, void* result);
bool nfs3_mkdir(rpc_handle* h, rpc_call* call, const void* args, void* result);
bool nfs3_readdir(rpc_handle* h, rpc_call* call, const void* args, void* result);
bool nfs3_readdirplus(rpc_handle* h, rpc_call* call, const void* args, void* result);
bool nfs3_fsstat(rpc_handle* h, rpc_call* call, const void* args, void* result);
bool nfs3_fsinfo(rpc_handle* h, rpc_call* call, const void* args, void* result);
bool nfs3_pathconf(rpc_handle* h, rpc_call* call, const void* args, void* result);
bool nfs3_commit(rpc_handle* h, rpc_call* call, const void* args, void* result);
bool nfs3_readlink(rpc_handle* h, rpc_call* call, const void* args, void* result);
bool nfs3_symlink(rpc_handle* h, rpc_call* call, const void* args, void* result);
bool nfs3_mknod(rpc_handle* h, rpc_call* call, const void* args, void* result);
bool nfs3_remove(rpc_handle* h, rpc_call* call, const void* args, void* result);
bool nfs3_rmdir(rpc_handle* h, rpc_call* call, const void* args, void* result);
bool nfs3_rename(rpc_handle* h, rpc_call* call, const void* args, void* result);
bool nfs3_link(rpc_handle* h, rpc_call* call, const void* args, void* result);

inline constexpr uint32_t NFS3ERR_NOT_SYNC = 10002;

// The ACCESS bits granted of `requested` to the mapped caller; a read-only
// export grants no change.
uint32_t nfs3_access_granted(const file_attributes& a, const fs_credential& cred, uint32_t requested,
                             bool read_only);

// The handle as clients get it, of the configured length.
nfs3_fh nfs3_wire_handle(const internal_handle& fh);
// Attributes that go into a reply only when they were fetched.
inline nfs_post_attr nfs_post(uint32_t status, const file_attributes& a) { return {status == 0, a}; }
// The post-operation attributes of a handle, fetched anew (known: the file's
// facts as a listing just read them).
nfs_post_attr nfs_post_of(const fs_request& q, const wp_file_information* known = nullptr);
