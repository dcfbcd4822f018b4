// What every NFS request does first with the handle it is about: the
// configured length, the mount it names, and whether the sender may use
// that mount's export. Handles are not tied to clients, so a handle seen
// from a host the export does not admit is refused (ACCES) on every request.
#pragma once
#include "quen/fs/credential.h"
#include "quen/fs/resolve.h"
#include "quen/fs/nfs_status.h"
#include "quen/inode/handle.h"
#include "quen/mount/mount_context.h"
#include "quen/nfs/nfs_wire.h"
#include "rpc/message.h"
#include "rpc/proc_table.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>

// Result: 0; NFSERR_STALE for a handle of another length or one that names
// no live file; NFSERR_ACCES when the sender is not admitted.
uint32_t nfs_request_open(const rpc_handle* h, const rpc_call* call, const nfs3_fh& wire, fs_request& out);
// The same for a version 2 handle, always 32 bytes.
uint32_t nfs2_request_open(const rpc_handle* h, const rpc_call* call, const nfs2_fh& wire, fs_request& out);

// The request of a call whose table entry opens its handle: every entry
// but NULL and LOOKUP (whose public handle is WebNFS's to open).
inline const fs_request& nfs_checked(const rpc_call* call) { return *static_cast<const fs_request*>(call->request); }

// The name of a dirop, and its length.
struct nfs_name {
    const char* text;
    size_t length;
};
inline nfs_name nfs_name_of(const char* name) { return {name, std::strlen(name)}; }

// The admit hook of both versions' tables: the sender must be admitted by
// the handle's export, and for a change the export writable. Every call's
// record begins with its handle, every result record with its status.
template <typename Fh, uint32_t (*open)(const rpc_handle*, const rpc_call*, const Fh&, fs_request&)>
bool nfs_admit(rpc_handle* h, const rpc_call* call, const rpc_proc* proc, const void* args, void* request,
               void* result) {
    static_assert(sizeof(fs_request) <= RPC_REQUEST_MAX && alignof(fs_request) <= 8);
    Fh object;
    std::memcpy(&object, args, sizeof object);
    fs_request& q = *new (request) fs_request;
    uint32_t status = open(h, call, object, q);
    if (status == 0 && (proc->flags & RPC_PROC_CHANGES) && (q.ctx.flags & MOUNT_FLAG_READONLY)) status = NFSERR_ROFS;
    std::memcpy(result, &status, sizeof status);
    return status == 0;
}
// The log line of arguments that do not decode ("nfs3_read: invalid read args").
void nfs_bad_args(const rpc_call* call, const rpc_proc* proc);
// Logs a call of a procedure the version has not.
void nfs_unavailable(const rpc_call* call);

// An NFS procedure's table entry. Every result record begins with its status,
// which the change check writes when it refuses a call.
template <typename Args, typename Result>
constexpr rpc_proc nfs_proc(uint32_t number, const char* name, bool (*decode)(xdr_cursor*, void*),
                            bool (*handle)(rpc_handle*, rpc_call*, const void*, void*), rpc_encoder encode,
                            uint32_t flags = RPC_PROC_HANDLE, rpc_proc_slot* slot = nullptr) {
    static_assert(std::is_trivially_copyable_v<Result> && offsetof(Result, status) == 0);
    return rpc_proc_entry<Args, Result>(number, name, decode, handle, encode, flags, slot);
}
inline constexpr uint32_t kNfsOwnHandle = 0;   // the handler opens its handle itself (LOOKUP: WebNFS)
inline constexpr uint32_t kNfsChange = RPC_PROC_HANDLE | RPC_PROC_CHANGES;
inline constexpr uint32_t kNfsChangeOnce = kNfsChange | RPC_PROC_REPLY_SLOT;   // with a reply slot

// A handler's argument and result records by their types.
template <typename Args, typename Result>
struct call_records {
    const Args& args;
    Result& res;
    call_records(const void* a, void* r) : args(*static_cast<const Args*>(a)), res(*static_cast<Result*>(r)) {}
};

// Room for results in the handle's buffer: a UDP reply is one datagram.
size_t nfs_reply_room(const rpc_handle* h, const rpc_call* call);

// A LOOKUP in the public handle (WebNFS): *dir and name become the folder's
// handle and ".", as the WebNFS mount makes them; a path that names a file
// instead mounts the folder above it and leaves the file's name to look up.
// name: *length bytes in a buffer of size bytes. Result: an NFS status.
uint32_t nfs_webnfs_start(internal_handle* dir, char* name, size_t* length, size_t size, const rpc_handle* h,
                          const rpc_call* call);

// A new object's owner: an unset uid or gid (all ones) is the caller's.
xdr_sattr nfs_owned_by_caller(const xdr_sattr& in, const rpc_call& call);

// The version 3 write verifier of this run of the server: it changes at
// every start, so clients resend what they wrote unstable before a restart.
void nfs_verifier_init();
const uint8_t* nfs_write_verifier();
