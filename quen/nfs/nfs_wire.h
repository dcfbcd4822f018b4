// Wire pieces both NFS versions share: handles and names as they arrive,
// the attribute forms of the replies (fattr, fattr3, post_op_attr,
// wcc_data, post_op_fh3) and where the results of a reply begin.
#pragma once
#include "quen/fs/attr.h"
#include "rpc/xdr.h"

#include <cstddef>
#include <cstdint>
#include <type_traits>

inline constexpr uint32_t NFS3_FH_MAX = 64;    // longest version 3 handle on the wire
inline constexpr uint32_t NFS2_FH_SIZE = 32;
inline constexpr uint32_t NFS_VERIFIER_SIZE = 8;

// A version 3 handle as sent: 0 (the public handle) to 64 bytes. Whether
// its length is the configured one is the handler's question (STALE).
struct nfs3_fh {
    uint32_t length;
    uint8_t data[NFS3_FH_MAX];
};
static_assert(sizeof(nfs3_fh) == 68);

struct nfs2_fh {
    uint8_t data[NFS2_FH_SIZE];
};

// A name of a (directory, name) pair: 1 to XDR_NAME_MAX - 1 bytes, none of
// them NUL, NUL-terminated.
struct nfs_dirop3 {
    nfs3_fh dir;
    char name[XDR_NAME_MAX];
};
struct nfs_dirop2 {
    nfs2_fh dir;
    char name[XDR_NAME_MAX];
};

// Runs the body of an argument decoder on its record; on failure the cursor
// goes back to where it was.
template <typename Record, typename Body>
bool nfs_decode(xdr_cursor* c, void* args, Body body) {
    const xdr_cursor saved = *c;
    if (body(*static_cast<Record*>(args))) return true;
    *c = saved;
    return false;
}

// An XDR bool: 0 or 1, nothing else.
bool nfs_get_bool(xdr_cursor* c, uint32_t* v);

// WRITE data: a length word, which must equal `length`, then the bytes, left
// where they lie in the request (*data points there).
bool nfs_get_data(xdr_cursor* c, uint32_t length, const uint8_t** data);

bool nfs_get_fh3(xdr_cursor* c, nfs3_fh* fh);
bool nfs_get_dirop3(xdr_cursor* c, nfs_dirop3* d);
bool nfs_get_dirop2(xdr_cursor* c, nfs_dirop2* d);
// Symbolic-link targets: 1 to XDR_PATH_MAX - 1 bytes, none of them NUL.
bool nfs_get_target(xdr_cursor* c, char out[XDR_PATH_MAX]);

// Settable attributes of version 3 (set flags are bools). The time words keep how the client
// asked (0 leave, 1 server time, 2 the given time) so a server time is
// known as such; `attr` holds what the file layer applies, with server
// times filled in at decoding.
struct nfs3_sattr {
    xdr_sattr attr;
    uint32_t atime_how;
    uint32_t mtime_how;
};
bool nfs3_get_sattr(xdr_cursor* c, nfs3_sattr* s);
// Version 2 sattr. Microseconds are at most 1000000 (that value meaning the
// server's time by old convention), so no count of nanoseconds wraps; an
// unset time may also carry 0xFFFFFFFF, kept as 0xFFFFFFFF nanoseconds.
bool nfs2_get_sattr(xdr_cursor* c, xdr_sattr* s);

// Where the results start after the accepted reply header of a call whose
// verifier body has verf_len bytes (the header echoes it).

// ---- attributes in replies ---------------------------------------------------------

struct nfs_post_attr {
    bool present;
    file_attributes attr;
};
// The pre-operation part of weak cache consistency data.
struct nfs_pre_attr {
    bool present;
    uint64_t size;
    nfs_time mtime;
    nfs_time ctime;
};
struct nfs_wcc {
    nfs_pre_attr before;
    nfs_post_attr after;
};
nfs_pre_attr nfs_pre_attr_of(const file_attributes& a);

inline constexpr size_t NFS_FATTR3_SIZE = 84;
inline constexpr size_t NFS_FATTR2_SIZE = 68;
static_assert(std::is_trivially_copyable_v<file_attributes>);

// fattr3: the mode keeps its low 12 bits (the type has its own field).
size_t nfs_put_fattr3(uint8_t* dst, const file_attributes& a);
size_t nfs_put_post_attr(uint8_t* dst, const nfs_post_attr& a);
size_t nfs_put_wcc(uint8_t* dst, const nfs_wcc& w);
// post_op_fh3, always with the handle.
size_t nfs_put_post_fh3(uint8_t* dst, const nfs3_fh& fh);
// READ data of `count` bytes moved from `data` to dst (nothing is copied
// when they are there already), then its padding. Result: bytes written.
size_t nfs_put_data(uint8_t* dst, const uint8_t* data, uint32_t count);
// The record behind an encoder's result pointer.
template <typename Record>
const Record& nfs_result(const void* result) {
    return *static_cast<const Record*>(result);
}

// fattr (version 2): the full mode with its type bits. A size beyond 32 bits
// shows as 0xFFFFFFFF rather than wrapped to a small one.
size_t nfs_put_fattr2(uint8_t* dst, const file_attributes& a);
// A version 2 file id: ids above 32 bits are folded by fileid_hash, not
// cut, so two files whose ids differ only high up do not look the same.
uint32_t nfs2_fileid(uint64_t id);
