// CREATE and MKDIR: a new regular file (unchecked, guarded or exclusive) or
// directory under a client name, its attribute step, and the handle and
// attribute records the reply carries.
#pragma once
#include "quen/fs/resolve.h"
#include "quen/fs/attr.h"
#include "quen/fs/credential.h"
#include "quen/inode/handle.h"
#include "rpc/xdr.h"

#include <cstddef>
#include <cstdint>

enum : uint32_t {
    CREATE_UNCHECKED = 0,   // an existing file is truncated
    CREATE_GUARDED = 1,     // an existing file gives 17
    CREATE_EXCLUSIVE = 2,   // the verifier is kept as the last-write time
};

struct create_result {
    internal_handle handle;
    file_attributes attributes;      // of the new file or directory
    file_attributes dir_attributes;  // of the directory, after the change, when asked for
};

// CRC-16 (reflected 0x8408, initial 0xFFFF, no final XOR) of the 8 verifier
// bytes, each zero byte counted as 0x20.
uint16_t verifier_crc16(const uint8_t verifier[8]);
// The last-write time that stands for an exclusive create's verifier. NTFS
// keeps the bytes themselves; other volumes get 1 January 1980 plus twice the
// CRC in seconds, which survives FAT's 2-second times.
uint64_t exclusive_stamp(const uint8_t verifier[8], bool ntfs);

// name: name_length bytes as the client sent them. how: CREATE_*. verifier:
// 8 bytes, read for CREATE_EXCLUSIVE only (may be null otherwise).
// with_dir_attributes: the caller returns the directory's attributes.
// Result: an NFS status.
uint32_t fs_create(const fs_request& dir, const char* name, size_t name_length, uint32_t how,
                   const xdr_sattr& request, const uint8_t* verifier,
                   bool with_dir_attributes, create_result& out);
uint32_t fs_mkdir(const fs_request& dir, const char* name, size_t name_length, const xdr_sattr& request, bool with_dir_attributes, create_result& out);
