// The WebNFS mount: a LOOKUP whose directory handle is the public handle
// mounts the folder its name leads to.
#pragma once
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
