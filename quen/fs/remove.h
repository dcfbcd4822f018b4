// REMOVE and RMDIR in the file layer: a name of a directory goes, with its
// inode record, cached handle and the attributes that stood in the way.
#pragma once
#include "quen/fs/resolve.h"
#include "quen/fs/attr.h"
#include "quen/fs/credential.h"
#include "quen/fs/dir_entry.h"
#include "quen/inode/handle.h"

#include <cstddef>
#include <cstdint>

// with_dir_attributes: the caller returns the directory's records. Result:
// an NFS status.
uint32_t fs_remove(const fs_request& dir, const char* name, size_t name_length,
                   bool with_dir_attributes, dir_attributes_pair& dir_attributes);
uint32_t fs_rmdir(const fs_request& dir, const char* name, size_t name_length,
                  bool with_dir_attributes, dir_attributes_pair& dir_attributes);
