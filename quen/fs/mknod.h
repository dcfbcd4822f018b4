// MKNOD in the file layer: device nodes as special-file records or NFS
// reparse points, FIFOs and sockets as empty files whose type lives in the
// saved attributes.
#pragma once
#include "quen/fs/resolve.h"
#include "quen/fs/create.h"
#include "quen/fs/credential.h"
#include "quen/inode/handle.h"
#include "rpc/xdr.h"

#include <cstddef>
#include <cstdint>

// type: NF_BLK, NF_CHR, NF_SOCK or NF_FIFO; major and minor for devices.
// Result: an NFS status.
uint32_t fs_mknod(const fs_request& dir, const char* name, size_t name_length, uint32_t type,
                  const xdr_sattr& request, uint32_t major, uint32_t minor,
                  bool with_dir_attributes, create_result& out);
