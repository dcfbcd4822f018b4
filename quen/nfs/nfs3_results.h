// Results of the NFS version 3 procedures: one record and one encoder per
// result shape, status first and on failure only what RFC 1813 sends then.
//   GETATTR nfs3_attr_res; SETATTR, REMOVE, RMDIR nfs3_wcc_res;
//   CREATE, MKDIR, SYMLINK, MKNOD nfs3_create_res; READDIR, READDIRPLUS
//   nfs3_readdir_res; the others nfs3_<name>_res. Encoders nfs3_encode_<shape>.
// The records of the procedures with reply slots are plain copyable data.
#pragma once
#include "quen/nfs/nfs_dirlist.h"
#include "quen/nfs/nfs_wire.h"

#include <cstddef>
#include <cstdint>
#include <type_traits>

enum : uint32_t {
    NFS3_ACCESS_READ = 0x01,
    NFS3_ACCESS_LOOKUP = 0x02,
    NFS3_ACCESS_MODIFY = 0x04,
    NFS3_ACCESS_EXTEND = 0x08,
    NFS3_ACCESS_DELETE = 0x10,
    NFS3_ACCESS_EXECUTE = 0x20,

    NFS3_FSF_LINK = 0x01,
    NFS3_FSF_SYMLINK = 0x02,
    NFS3_FSF_HOMOGENEOUS = 0x08,
    NFS3_FSF_CANSETTIME = 0x10,
};

struct nfs3_attr_res {
    uint32_t status;
    file_attributes attr;
};
struct nfs3_wcc_res {
    uint32_t status;
    nfs_wcc wcc;
};
struct nfs3_lookup_res {
    uint32_t status;
    nfs3_fh object;
    nfs_post_attr object_attr;
    nfs_post_attr dir_attr;
};
struct nfs3_access_res {
    uint32_t status;
    nfs_post_attr attr;
    uint32_t access;
};
struct nfs3_readlink_res {
    uint32_t status;
    nfs_post_attr attr;
    uint32_t length;   // bytes of target
    char target[XDR_PATH_MAX];
};
// data: `count` bytes, best read straight to results + NFS3_READ_DATA_OFFSET
// (no copy is made then; without attributes they are moved down).
struct nfs3_read_res {
    uint32_t status;
    nfs_post_attr attr;
    uint32_t count;
    bool eof;
    const uint8_t* data;
};
inline constexpr size_t NFS3_READ_DATA_OFFSET = 4 + 4 + NFS_FATTR3_SIZE + 12;
struct nfs3_write_res {
    uint32_t status;
    nfs_wcc wcc;
    uint32_t count;
    uint32_t committed;
    uint8_t verifier[NFS_VERIFIER_SIZE];
};
struct nfs3_create_res {
    uint32_t status;
    nfs3_fh object;
    nfs_post_attr attr;
    nfs_wcc dir_wcc;
};
struct nfs3_rename_res {
    uint32_t status;
    nfs_wcc from_wcc;
    nfs_wcc to_wcc;
};
struct nfs3_link_res {
    uint32_t status;
    nfs_post_attr attr;
    nfs_wcc dir_wcc;
};
// On success the whole results are those of the list (written in place, or
// copied from where it was written).
struct nfs3_readdir_res {
    uint32_t status;
    nfs_post_attr dir_attr;
    const nfs_dirlist* list;
};
struct nfs3_fsstat_res {
    uint32_t status;
    nfs_post_attr attr;
    uint64_t tbytes, fbytes, abytes;
    uint64_t tfiles, ffiles, afiles;
    uint32_t invarsec;
};
struct nfs3_fsinfo_res {
    uint32_t status;
    nfs_post_attr attr;
    uint32_t rtmax, rtpref, rtmult;
    uint32_t wtmax, wtpref, wtmult;
    uint32_t dtpref;
    uint64_t maxfilesize;
    nfs_time time_delta;
    uint32_t properties;
};
struct nfs3_pathconf_res {
    uint32_t status;
    nfs_post_attr attr;
    uint32_t linkmax, name_max;
    bool no_trunc, chown_restricted, case_insensitive, case_preserving;
};
struct nfs3_commit_res {
    uint32_t status;
    nfs_wcc wcc;
    uint8_t verifier[NFS_VERIFIER_SIZE];
};

size_t nfs3_encode_attr(uint8_t* dst, const void* result);
size_t nfs3_encode_wcc(uint8_t* dst, const void* result);
size_t nfs3_encode_lookup(uint8_t* dst, const void* result);
size_t nfs3_encode_access(uint8_t* dst, const void* result);
size_t nfs3_encode_readlink(uint8_t* dst, const void* result);
size_t nfs3_encode_read(uint8_t* dst, const void* result);
size_t nfs3_encode_write(uint8_t* dst, const void* result);
size_t nfs3_encode_create(uint8_t* dst, const void* result);
size_t nfs3_encode_rename(uint8_t* dst, const void* result);
size_t nfs3_encode_link(uint8_t* dst, const void* result);
size_t nfs3_encode_readdir(uint8_t* dst, const void* result);
size_t nfs3_encode_fsstat(uint8_t* dst, const void* result);
size_t nfs3_encode_fsinfo(uint8_t* dst, const void* result);
size_t nfs3_encode_pathconf(uint8_t* dst, const void* result);
size_t nfs3_encode_commit(uint8_t* dst, const void* result);

// The largest READ count whose data, placed `data_offset` bytes after the
// start of the results with its padding, stays within `room` bytes.
uint32_t nfs_read_count_fit(uint32_t count, size_t room, size_t data_offset);

static_assert(std::is_trivially_copyable_v<nfs3_wcc_res> && std::is_trivially_copyable_v<nfs3_create_res> &&
              std::is_trivially_copyable_v<nfs3_rename_res> && std::is_trivially_copyable_v<nfs3_link_res>);
