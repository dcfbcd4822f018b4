// Results of the served NFS version 2 procedures (RFC 1094), status first:
//   GETATTR, SETATTR, WRITE    nfs2_attr_res    nfs2_encode_attr   (attrstat)
//   LOOKUP, CREATE, MKDIR      nfs2_dirop_res   nfs2_encode_dirop  (diropres)
//   REMOVE, RENAME, LINK, SYMLINK, RMDIR  nfs2_status_res  nfs2_encode_status
//   READLINK, READ, READDIR, STATFS: nfs2_<name>_res, nfs2_encode_<name>.
#pragma once
#include "quen/fs/volume.h"
#include "quen/nfs/nfs_dirlist.h"
#include "quen/nfs/nfs_wire.h"

#include <cstddef>
#include <cstdint>
#include <type_traits>

struct nfs2_attr_res {
    uint32_t status;
    file_attributes attr;
};
struct nfs2_dirop_res {
    uint32_t status;
    nfs2_fh file;
    file_attributes attr;
};
struct nfs2_status_res {
    uint32_t status;
};
struct nfs2_readlink_res {
    uint32_t status;
    uint32_t length;
    char target[XDR_PATH_MAX];
};
// data: best read straight to results + NFS2_READ_DATA_OFFSET.
struct nfs2_read_res {
    uint32_t status;
    file_attributes attr;
    uint32_t count;
    const uint8_t* data;
};
inline constexpr size_t NFS2_READ_DATA_OFFSET = 4 + NFS_FATTR2_SIZE + 4;
struct nfs2_readdir_res {
    uint32_t status;
    const nfs_dirlist* list;
};
struct nfs2_statfs_res {
    uint32_t status;
    uint32_t tsize, bsize, blocks, bfree, bavail;
};
// A successful STATFS of the volume's counts. Counts beyond 32 bits show as
// the most there is, not their low bits (a nearly empty disk shown as full).
nfs2_statfs_res nfs2_statfs_of(const statfs_values& v, uint32_t tsize);

size_t nfs2_encode_attr(uint8_t* dst, const void* result);
size_t nfs2_encode_dirop(uint8_t* dst, const void* result);
size_t nfs2_encode_status(uint8_t* dst, const void* result);
size_t nfs2_encode_readlink(uint8_t* dst, const void* result);
size_t nfs2_encode_read(uint8_t* dst, const void* result);
size_t nfs2_encode_readdir(uint8_t* dst, const void* result);
size_t nfs2_encode_statfs(uint8_t* dst, const void* result);

static_assert(std::is_trivially_copyable_v<nfs2_attr_res> && std::is_trivially_copyable_v<nfs2_dirop_res>);
