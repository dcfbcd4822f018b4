// Mounts made without a MNT call: automatically when a listing or lookup
// crosses onto another volume in a file-id mount. (The WebNFS mount of a
// LOOKUP on the public handle translates names, so it sits in fs/.)
#pragma once
#include "quen/mount/mount_context.h"
#include "quen/inode/handle.h"

#include <cstddef>
#include <cstdint>

// A directory entry at windows_path (in the folder a client browses through
// ctx) that is the root of another volume. Result: the mount succeeded;
// *identity and *mount_id are what the entry's handle is made of.
bool mount_auto(uint32_t client, const char* windows_path, const mount_context& ctx, uint64_t* identity,
                uint32_t* mount_id);
