// Arguments of the NFS version 3 procedures: one zero-initialisable record
// and one decoder per argument shape. Every decoder has the procedure
// table's shape, checks each length before copying, and fails on any
// prefix of a valid call.
//   GETATTR, READLINK, FSSTAT, FSINFO, PATHCONF  nfs3_handle_args   nfs3_decode_handle
//   SETATTR                                      nfs3_setattr_args  nfs3_decode_setattr
//   LOOKUP, REMOVE, RMDIR                        nfs3_dirop_args    nfs3_decode_dirop
//   ACCESS nfs3_access_args, READ nfs3_read_args, WRITE nfs3_write_args,
//   CREATE nfs3_create_args, MKDIR nfs3_mkdir_args, SYMLINK nfs3_symlink_args,
//   MKNOD nfs3_mknod_args, RENAME nfs3_rename_args, LINK nfs3_link_args,
//   READDIR nfs3_readdir_args, READDIRPLUS nfs3_readdirplus_args,
//   COMMIT nfs3_commit_args: each with nfs3_decode_<name>.
// Every record begins with the handle the call is about (the directory of
// a dirop), where a check before the handler finds it.
#pragma once
#include "quen/nfs/nfs_wire.h"
#include "rpc/proc_table.h"

#include <cstddef>
#include <cstdint>

enum : uint32_t {
    NFS3_UNSTABLE = 0,
    NFS3_DATA_SYNC = 1,
    NFS3_FILE_SYNC = 2,

    NFS3_CREATE_UNCHECKED = 0,
    NFS3_CREATE_GUARDED = 1,
    NFS3_CREATE_EXCLUSIVE = 2,
};

struct nfs3_handle_args {
    nfs3_fh object;
};
struct nfs3_setattr_args {
    nfs3_fh object;
    nfs3_sattr attributes;
    bool guard_check;       // the client sent the ctime it expects
    nfs_time guard_ctime;
};
struct nfs3_dirop_args {
    nfs_dirop3 what;
};
struct nfs3_access_args {
    nfs3_fh object;
    uint32_t access;
};
struct nfs3_read_args {
    nfs3_fh file;
    uint64_t offset;
    uint32_t count;
};
// The data stays in the request buffer: `data` points there, `count` bytes.
struct nfs3_write_args {
    nfs3_fh file;
    uint64_t offset;
    uint32_t count;
    uint32_t stable;        // NFS3_UNSTABLE .. NFS3_FILE_SYNC
    const uint8_t* data;
};
struct nfs3_create_args {
    nfs_dirop3 where;
    uint32_t how;           // NFS3_CREATE_*
    nfs3_sattr attributes;  // UNCHECKED and GUARDED
    uint8_t verifier[NFS_VERIFIER_SIZE];   // EXCLUSIVE
};
struct nfs3_mkdir_args {
    nfs_dirop3 where;
    nfs3_sattr attributes;
};
struct nfs3_symlink_args {
    nfs_dirop3 where;
    nfs3_sattr attributes;
    char target[XDR_PATH_MAX];
};
// type: any value; only 3, 4, 6 and 7 carry attributes, 3 and 4 also the
// device numbers. Which types may be made is the handler's (BADTYPE).
struct nfs3_mknod_args {
    nfs_dirop3 where;
    uint32_t type;
    nfs3_sattr attributes;
    uint32_t major;
    uint32_t minor;
};
struct nfs3_rename_args {
    nfs_dirop3 from;
    nfs_dirop3 to;
};
struct nfs3_link_args {
    nfs3_fh file;
    nfs_dirop3 link;
};
struct nfs3_readdir_args {
    nfs3_fh dir;
    uint64_t cookie;
    uint8_t verifier[NFS_VERIFIER_SIZE];
    uint32_t count;
};
struct nfs3_readdirplus_args {
    nfs3_fh dir;
    uint64_t cookie;
    uint8_t verifier[NFS_VERIFIER_SIZE];
    uint32_t dircount;
    uint32_t maxcount;
};
struct nfs3_commit_args {
    nfs3_fh file;
    uint64_t offset;
    uint32_t count;
};

bool nfs3_decode_handle(xdr_cursor* c, void* args);
bool nfs3_decode_setattr(xdr_cursor* c, void* args);
bool nfs3_decode_dirop(xdr_cursor* c, void* args);
bool nfs3_decode_access(xdr_cursor* c, void* args);
bool nfs3_decode_read(xdr_cursor* c, void* args);
bool nfs3_decode_write(xdr_cursor* c, void* args);
bool nfs3_decode_create(xdr_cursor* c, void* args);
bool nfs3_decode_mkdir(xdr_cursor* c, void* args);
bool nfs3_decode_symlink(xdr_cursor* c, void* args);
bool nfs3_decode_mknod(xdr_cursor* c, void* args);
bool nfs3_decode_rename(xdr_cursor* c, void* args);
bool nfs3_decode_link(xdr_cursor* c, void* args);
bool nfs3_decode_readdir(xdr_cursor* c, void* args);
bool nfs3_decode_readdirplus(xdr_cursor* c, void* args);
bool nfs3_decode_commit(xdr_cursor* c, void* args);

static_assert(sizeof(nfs3_symlink_args) <= RPC_RECORD_MAX && sizeof(nfs3_rename_args) <= RPC_RECORD_MAX);
static_assert(offsetof(nfs3_rename_args, from) == 0 && offsetof(nfs_dirop3, dir) == 0 &&
              offsetof(nfs3_write_args, file) == 0 && offsetof(nfs3_create_args, where) == 0);
