// RENAME in the file layer: a name moves within or between directories of
// one mount, replacing an existing target atomically, with the inode table,
// the cached handles and the Windows attributes kept in step.
#pragma once
#include "quen/fs/resolve.h"
#include "quen/fs/credential.h"
#include "quen/fs/dir_entry.h"
#include "quen/inode/handle.h"

#include <cstddef>
#include <cstdint>

struct rename_result {
    dir_attributes_pair from_dir;
    dir_attributes_pair to_dir;
    uint32_t type;       // NF_* of the renamed object, when found
};

// with_dir_attributes: the caller returns both directories' records.
// Result: an NFS status.
uint32_t fs_rename(const fs_request& from_dir, const char* from_name, size_t from_length,
                   const fs_request& to_dir, const char* to_name, size_t to_length,
                   bool with_dir_attributes, rename_result& out);
