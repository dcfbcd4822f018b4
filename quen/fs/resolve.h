// quen/fs: the file layer, which maps NFS operations onto Windows files;
// every operation that takes a handle starts with the resolve step here.
// Uses config/, inode/ and mount/ (and rpc/, platform/).
//
// From a handle's file identity to the Windows path of the file, checked to
// lie inside the folder the client mounted: the first step of every
// operation that takes a file handle.
#pragma once
#include "platform/file.h"
#include "quen/fs/credential.h"
#include "quen/fs/open_cache.h"
#include "quen/inode/handle.h"
#include "quen/mount/mount_context.h"

#include <cstddef>
#include <cstdint>

inline constexpr size_t kResolvePathSize = 2048;

// The file identity the handle names (0: stale) and the context of its mount.
// The mounted path is copied into path_buffer (kHandlePathSize bytes) and
// ctx->mounted_path points there, so the context stays usable even when the
// mount entry is removed meanwhile.
uint64_t handle_resolve(const internal_handle& h, mount_context* ctx, char* path_buffer);

// A handle checked once per request, before any operation runs: the mount
// it names (context and mounted path), the file's identity and cache key,
// and the caller as the export's options map it. The sender is admitted by
// the export. Every file-layer operation on a handle takes one; a request's
// handle is resolved once. ctx.mounted_path points into mounted.
struct fs_request {
    internal_handle fh;
    uint32_t mount_id;             // the handle's
    char mounted[kHandlePathSize];
    mount_context ctx;
    uint64_t identity;             // inode number, or file id in file id mode
    file_key key;                  // of the open-file cache
    fs_credential cred;            // the caller, mapped by the export's options
};

// Checks fh for a request of caller from sender (an IPv4 address). The
// caller is mapped for cached and uncached files alike: a squashed root must
// not get root's rights from a cached file. Result: NFS_OK; NFSERR_STALE for
// a handle that names no live file; NFSERR_ACCES when the export does not
// admit the sender.
uint32_t fs_request_open(const internal_handle& fh, const fs_credential& caller, uint32_t sender, fs_request& out);

// The request of an entry that a listing of dir found: dir's mount, sender
// and caller, the mount table not read again. Result: NFS_OK, or
// NFSERR_STALE for a handle of another mount or one that names no live file.
uint32_t fs_request_below(const fs_request& dir, const internal_handle& entry, fs_request& out);

// An operation's working record: its request, and the path once resolved.
// ctx.mounted_path points into mounted: use the record where it was filled.
struct resolved_file : fs_request {
    char path[kResolvePathSize];   // empty until the path is resolved
    file_handle opened;            // file id mode: the file opened by id
};

enum : uint32_t {
    RESOLVE_MOUNT = 0,  // mount, identity, key and caller; the path later, if at all
    RESOLVE_PATH = 1,   // the path as well
};

// Starts an operation on a checked request: copies it (no table is read
// again) and, for RESOLVE_PATH, finds the file's path. Result: NFS_OK, or
// NFSERR_STALE when the path is gone.
uint32_t resolve_file(const fs_request& q, uint32_t depth, resolved_file& out);
// The path of a file resolved with RESOLVE_MOUNT. Result: NFS_OK, or NFSERR_STALE.
uint32_t resolve_file_path(resolved_file& r);

// identity: the inode number, or the file id in file id mode. path receives
// the file's path (kResolvePathSize bytes). opened (may be null): in file id
// mode the handle opened by id is handed over, so the caller can read the
// file's attributes without opening it again. false: the handle is stale.
bool resolve_handle_path(const mount_context& ctx, uint64_t identity, char* path, file_handle* opened);

// Whether a name below the directory at path stays inside the mount: Windows
// follows a junction or directory link on the way to such a name, so one
// that leads out of the mount is not passed through. true for a plain folder.
bool directory_stays_inside(const mount_context& ctx, const char* path);

// The same for a LOOKUP below path, which version 2 makes without the
// directory's attributes: a relative link is no directory to pass through
// (clients read it and follow it themselves), since a handle found through
// it would lead elsewhere once the link's folder moves. Result: NFS_OK,
// NFSERR_NOTDIR for a relative link, NFSERR_ACCES for a linked folder that
// leads out of the mount.
uint32_t passage_below(const mount_context& ctx, const char* path);

// Whether path lies inside the mounted folder: on the mount's volume (unless
// the mount is on a fixed drive, whose paths cannot move to another volume)
// and at or below the mounted path, on a component boundary.
bool path_inside_mount(const mount_context& ctx, const char* path, bool check_volume);
