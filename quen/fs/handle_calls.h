// The attribute and file system calls as the protocol handlers make them:
// from a file handle and the caller's credential to an NFS status and the
// values of the reply.
#pragma once
#include "quen/fs/resolve.h"
#include "quen/fs/attr.h"
#include "quen/fs/credential.h"
#include "quen/fs/volume.h"
#include "quen/inode/handle.h"

#include <cstdint>

// GETATTR, and the attribute parts of other replies.
// known: the file's facts as a listing just read them (attr.h, get_attributes).
uint32_t fs_getattr(const fs_request& fh, file_attributes& out,
                    const wp_file_information* known = nullptr);
// STATFS / FSSTAT: the block counts of the mount's volume.
uint32_t fs_statfs(const fs_request& fh, statfs_values& out);
// FSINFO: the hard-link property bit of *properties, and the directory's attributes.
uint32_t fs_fsinfo_properties(const fs_request& fh, uint32_t* properties,
                              file_attributes& attributes);
// PATHCONF: the limits of the mount, and the file's attributes.
uint32_t fs_pathconf_values(const fs_request& fh, pathconf_values& values,
                            file_attributes& attributes);
