// The NFS version 2 procedure handlers, in the procedure table's shape.
#pragma once
#include "quen/inode/handle.h"
#include "quen/nfs/nfs_wire.h"
#include "rpc/message.h"

#include <cstdint>

// Each: (handle, call, argument record, result record) -> a reply is sent.
bool nfs_getattr(rpc_handle* h, rpc_call* call, const void* args, void* result);
bool nfs_setattr(rpc_handle* h, rpc_call* call, const void* args, void* result);
bool nfs_lookup(rpc_handle* h, rpc_call* call, const void* args, void* result);
bool nfs_readlink(rpc_handle* h, rpc_call* call, const void* args, void* result);
bool nfs_read(rpc_handle* h, rpc_call* call, const void* args, void* result);
bool nfs_write(rpc_handle* h, rpc_call* call, const void* args, void* result);
bool nfs_create(rpc_handle* h, rpc_call* call, const void* args, void* result);
bool nfs_remove(rpc_handle* h, rpc_call* call, const void* args, void* result);
bool nfs_rename(rpc_handle* h, rpc_call* call, const void* args, void* result);
bool nfs_link(rpc_handle* h, rpc_call* call, const void* args, void* result);
bool nfs_symlink(rpc_handle* h, rpc_call* call, const void* args, void* result);
bool nfs_mkdir(rpc_handle* h, rpc_call* call, const void* args, void* result);
bool nfs_rmdir(rpc_handle* h, rpc_call* call, const void* args, void* result);
bool nfs_readdir(rpc_handle* h, rpc_call* call, const void* args, void* result);
bool nfs_statfs(rpc_handle* h, rpc_call* call, const void* args, void* result);

// The whole 32-byte handle, as version 2 sends it.
nfs2_fh nfs2_wire_handle(const internal_handle& fh);

// Offsets and sizes of version 2 are 32-bit: the last byte a client can name.
inline constexpr uint64_t NFS2_OFFSET_MAX = 0xFFFFFFFFu;
