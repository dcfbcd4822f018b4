// LOOKUP: a client name in a directory to the file handle of what it names,
// with the attribute records of the file and of the directory.
#pragma once
#include "quen/fs/resolve.h"
#include "quen/fs/attr.h"
#include "quen/fs/credential.h"
#include "quen/inode/handle.h"

#include <cstddef>
#include <cstdint>

struct lookup_result {
    internal_handle handle;
    file_attributes attributes;      // of the file found
    file_attributes dir_attributes;  // of the directory, when asked for
};

// name: name_length bytes as the client sent them. client: its address
// (a junction to another volume may mount it). with_dir_attributes: the
// caller returns the directory's attributes (version 3), so the directory is
// examined first. Result: an NFS status.
uint32_t fs_lookup(const fs_request& dir, const char* name, size_t name_length, uint32_t client, bool with_dir_attributes, lookup_result& out);
