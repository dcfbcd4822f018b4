// READ, WRITE and COMMIT as the protocol handlers make them: from a file
// handle, an offset and the caller's credential to an NFS status, the data
// and the attribute records of the reply. Files stay open in the open-file
// cache between requests.
#pragma once
#include "quen/fs/resolve.h"
#include "quen/fs/attr.h"
#include "quen/fs/credential.h"
#include "quen/inode/handle.h"

#include <cstdint>

// How a write reaches the disk.
enum : uint32_t {
    WRITE_CACHED = 0,   // the handle stays open; the data may sit in the system cache
    WRITE_FLUSHED = 1,  // flushed, and the handle stays open
    WRITE_CLOSED = 2,   // the handle is closed after the write
};

// *count: in, the bytes wanted (buffer holds that many); out, the bytes read.
uint32_t file_read(const fs_request& fh, uint64_t offset, uint32_t* count, uint8_t* buffer, file_attributes& after);
// *count: in, the bytes to write; out, the bytes written.
uint32_t file_write(const fs_request& fh, uint64_t offset, uint32_t* count, const uint8_t* data,
                    uint32_t sync_mode, file_attributes& before,
                    file_attributes& after);
uint32_t file_commit(const fs_request& fh, file_attributes& attributes);
