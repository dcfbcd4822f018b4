// Every NFS argument decoder beside libnfs's encoder of the same arguments:
// a decoded record is turned back into libnfs's form (pointing into the
// record) and encoded by libnfs, which gives the canonical bytes.
#pragma once
#include "tests/nfs/libnfs_xdr.h"

#include <cstddef>
#include <cstdint>

#include "rpc/xdr.h"

struct nfs_arg_case {
    const char* name;
    bool (*decode)(xdr_cursor* c, void* record);
    lib::zdrproc_t encode;                                 // libnfs's routine for the arguments
    bool (*to_libnfs)(const void* record, void* out);  // false: libnfs cannot encode it
};

extern const nfs_arg_case kNfsArgCases[];
extern const size_t kNfsArgCaseCount;

// The record's size that holds any of the records, and libnfs's.
inline constexpr size_t kRecordStorage = 4096;
inline constexpr size_t kLibnfsStorage = 512;

// libnfs's encoding of a libnfs argument struct into out: its length, or -1.
int libnfs_encode(lib::zdrproc_t encode, void* args, uint8_t* out, size_t size);
// Decodes with ours, then encodes the record with libnfs. Result: bytes of
// the re-encoding, -1 when ours refuses, -2 when libnfs cannot say it;
// *consumed gets the bytes the decoder took.
int reencode(const nfs_arg_case& k, const uint8_t* in, size_t size, uint8_t* out, size_t out_size,
             size_t* consumed);
