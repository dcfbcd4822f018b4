// Arguments of the served NFS version 2 procedures, as for version 3:
//   GETATTR, READLINK, STATFS   nfs2_handle_args   nfs2_decode_handle
//   LOOKUP, REMOVE, RMDIR       nfs2_dirop_args    nfs2_decode_dirop
//   CREATE, MKDIR               nfs2_create_args   nfs2_decode_create
//   SETATTR nfs2_setattr_args, READ nfs2_read_args, WRITE nfs2_write_args,
//   RENAME nfs2_rename_args, LINK nfs2_link_args, SYMLINK nfs2_symlink_args,
//   READDIR nfs2_readdir_args: each with nfs2_decode_<name>.
// Every record begins with the handle the call is about. Counts are not
// compared with the configured sizes here: the handlers do that (a READ
// count above "Datasize" is GARBAGE_ARGS).
#pragma once
#include "quen/nfs/nfs_wire.h"
#include "rpc/proc_table.h"

#include <cstddef>
#include <cstdint>

struct nfs2_handle_args {
    nfs2_fh object;
};
// The sattr as sent: its mode is cut to 12 bits where it is applied.
struct nfs2_setattr_args {
    nfs2_fh object;
    xdr_sattr attributes;
};
struct nfs2_dirop_args {
    nfs_dirop2 what;
};
struct nfs2_read_args {
    nfs2_fh file;
    uint32_t offset;
    uint32_t count;
    uint32_t totalcount;
};
// The data stays in the request buffer.
struct nfs2_write_args {
    nfs2_fh file;
    uint32_t beginoffset;
    uint32_t offset;
    uint32_t totalcount;
    uint32_t length;
    const uint8_t* data;
};
struct nfs2_create_args {
    nfs_dirop2 where;
    xdr_sattr attributes;
};
struct nfs2_rename_args {
    nfs_dirop2 from;
    nfs_dirop2 to;
};
struct nfs2_link_args {
    nfs2_fh from;
    nfs_dirop2 to;
};
struct nfs2_symlink_args {
    nfs_dirop2 from;
    char target[XDR_PATH_MAX];
    xdr_sattr attributes;
};
struct nfs2_readdir_args {
    nfs2_fh dir;
    uint32_t cookie;
    uint32_t count;
};

bool nfs2_decode_handle(xdr_cursor* c, void* args);
bool nfs2_decode_setattr(xdr_cursor* c, void* args);
bool nfs2_decode_dirop(xdr_cursor* c, void* args);
bool nfs2_decode_read(xdr_cursor* c, void* args);
bool nfs2_decode_write(xdr_cursor* c, void* args);
bool nfs2_decode_create(xdr_cursor* c, void* args);
bool nfs2_decode_rename(xdr_cursor* c, void* args);
bool nfs2_decode_link(xdr_cursor* c, void* args);
bool nfs2_decode_symlink(xdr_cursor* c, void* args);
bool nfs2_decode_readdir(xdr_cursor* c, void* args);

static_assert(sizeof(nfs2_symlink_args) <= RPC_RECORD_MAX && sizeof(nfs2_rename_args) <= RPC_RECORD_MAX);
static_assert(offsetof(nfs2_rename_args, from) == 0 && offsetof(nfs_dirop2, dir) == 0 &&
              offsetof(nfs2_symlink_args, from) == 0 && offsetof(nfs2_write_args, file) == 0);
