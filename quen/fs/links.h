// LINK, SYMLINK and READLINK in the file layer: hard links (NTFS links, or
// copies), symbolic links as marker files with the link text or as
// reparse points, and their targets read back in the client's form.
#pragma once
#include "quen/fs/resolve.h"
#include "quen/fs/create.h"
#include "quen/fs/credential.h"
#include "quen/inode/handle.h"
#include "rpc/xdr.h"

#include <cstddef>
#include <cstdint>

// file: the file that gets a new name in dir. out: the file's handle, the
// new name's attributes, the directory's. Result: an NFS status.
uint32_t fs_link(const fs_request& file, const fs_request& dir, const char* name, size_t name_length, bool with_dir_attributes, create_result& out);
// target: target_length bytes as the client sent them.
uint32_t fs_symlink(const fs_request& dir, const char* name, size_t name_length, const xdr_sattr& request,
                    const char* target, size_t target_length, bool with_dir_attributes,
                    create_result& out);
// buffer: size bytes; receives the target, NUL-terminated (at most size - 1
// bytes). attributes: the link's.
uint32_t fs_readlink(const fs_request& link, char* buffer, size_t size,
                     file_attributes& attributes);
