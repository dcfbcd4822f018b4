// SETATTR and the attribute step of the creating calls: a client's mode,
// owner, size and times written the way the attribute record reads them
// back (saved in the creation time, or through the read-only and marker
// attributes).
#pragma once
#include "quen/fs/resolve.h"
#include "quen/fs/attr.h"
#include "quen/fs/credential.h"
#include "quen/inode/handle.h"
#include "rpc/xdr.h"

#include <cstdint>

uint32_t fs_setattr(const fs_request& fh, const xdr_sattr& request,
                    file_attributes& before, file_attributes& after);

// type: NF_REG ... NF_FIFO; it supplies the type bits of a requested mode.
// mount_flags: MOUNT_FLAG_*. Result: an NFS status.
uint32_t apply_sattr(const xdr_sattr& request, uint32_t mount_flags, const char* path, uint32_t type);
uint32_t set_size(const char* path, uint64_t size);
// The permission bits kept in a device's special-file record.
bool write_special_mode(uint32_t permissions, const char* path);

// The Windows attributes that stand for a mode (type bits included) outside
// saved-attribute mounts; reparse: the file is a reparse point.
uint32_t attributes_for_mode(uint32_t mode, uint32_t mount_flags, bool reparse);
