// Mounts made without a MNT call: through the WebNFS public handle of a
// LOOKUP, and automatically when a listing or lookup crosses onto another
// volume in a file-id mount.
#pragma once
#include "quen/fs/mount_context.h"
#include "quen/inode/handle.h"

#include <cstddef>
#include <cstdint>

inline constexpr size_t kWebnfsPathMax = 2047;   // bytes of the client-form path

// A LOOKUP whose directory handle is the public handle. name holds the
// LOOKUP name (*name_length bytes, in a buffer of name_size >= 2 bytes).
// On success *dir is the handle of the folder the name leads to and the
// name is ".", so the LOOKUP returns that folder. Result: an NFS status;
// NFSERR_STALE when WebNFS is off, 13 for a path outside the public export,
// 63 for one too long, 2 for a folder that is missing or cannot be mounted.
uint32_t mount_webnfs(internal_handle* dir, char* name, size_t* name_length, size_t name_size, uint32_t client,
                      uint32_t protocol, uint32_t stamp);

// A directory entry at windows_path (in the folder a client browses through
// ctx) that is the root of another volume. Result: the mount succeeded;
// *identity and *mount_id are what the entry's handle is made of.
bool mount_auto(uint32_t client, const char* windows_path, const mount_context& ctx, uint64_t* identity,
                uint32_t* mount_id);
