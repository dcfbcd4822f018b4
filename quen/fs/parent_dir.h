// "..": the folder above a directory, as LOOKUP and READDIR both name it.
#pragma once
#include "quen/mount/mount_context.h"

#include <cstdint>

// Cuts path (a directory's, identity dir) in place to the folder above and
// gives that folder's identity: its inode number, or its file index in file
// id mode. 0 when the directory is a volume root or the folder above lies
// outside the mount; path is then left unchanged.
uint64_t parent_directory(const mount_context& ctx, uint64_t dir, char* path);
