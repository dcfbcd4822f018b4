// What every change of a directory's entries (create, mkdir, remove, rmdir,
// rename, link, symlink, mknod) checks first: the directory handle resolves
// inside the mount, names a directory that does not lead out of it, the
// export is writable and the caller may write the directory.
#pragma once
#include "quen/fs/attr.h"
#include "quen/fs/credential.h"
#include "quen/mount/mount_context.h"
#include "quen/fs/names.h"
#include "quen/fs/resolve.h"
#include "quen/inode/handle.h"

#include <cstdint>

// The directory resolved as every handle is (path, mapped caller, mount),
// with the attributes the checks read.
struct dir_change : resolved_file {
    file_attributes dir_attributes;  // complete only with_attributes; else type, mode and owner
};

// with_attributes: the caller returns the directory's attributes (version
// 3), so they are read whole; else only type, mode and owner. Result: NFS
// status (70 stale, 2 missing or no directory, 13 a junction or link that
// leads out of the mount, 30 read-only export, 13 no write bit on the
// directory).
uint32_t dir_change_begin(const fs_request& dir, bool with_attributes,
                          dir_change& out);

// The type, mode and owner of the entry at path (a kNamePathSize buffer) as
// a record permitted_bits and is_owner take. In a case-sensitive mount the
// name must exist in exactly this case: the last component is rewritten to
// the Windows name that holds it, or, when it does not exist, to the name a
// create must use. Result: the Windows attributes, or
// WP_INVALID_FILE_ATTRIBUTES with *status set (2 when missing).
uint32_t entry_type_and_mode(const mount_context& ctx, char* path, const fs_credential& cred, file_attributes& out,
                             uint32_t* status);
