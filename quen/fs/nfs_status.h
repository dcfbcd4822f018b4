// NFS status numbers, shared by both protocol versions, and the one mapping
// from Win32 error codes to them.
#pragma once
#include <cstdint>

enum : uint32_t {
    NFS_OK = 0,
    NFSERR_PERM = 1,
    NFSERR_NOENT = 2,
    NFSERR_IO = 5,
    NFSERR_ACCES = 13,
    NFSERR_EXIST = 17,
    NFSERR_XDEV = 18,
    NFSERR_NODEV = 19,
    NFSERR_NOTDIR = 20,
    NFSERR_ISDIR = 21,
    NFSERR_INVAL = 22,
    NFSERR_FBIG = 27,
    NFSERR_NOSPC = 28,
    NFSERR_ROFS = 30,
    NFSERR_MLINK = 31,
    NFSERR_NAMETOOLONG = 63,
    NFSERR_NOTEMPTY = 66,
    NFSERR_DQUOT = 69,
    NFSERR_STALE = 70,
    NFSERR_NOTSUPP = 10004,  // version 3 only
    NFSERR_TOOSMALL = 10005, // version 3 only
    NFSERR_BADTYPE = 10007,  // version 3 only
};

// Every Win32 error a file operation can give, as the status a client
// understands; anything unrecognised is an I/O error.
uint32_t win32_to_nfs_status(uint32_t win32_error);
