#include "quen/fs/nfs_status.h"

uint32_t win32_to_nfs_status(uint32_t e) {
    switch (e) {
    case 2:    // FILE_NOT_FOUND
    case 3:    // PATH_NOT_FOUND
    case 15:   // INVALID_DRIVE
    case 18:   // NO_MORE_FILES
    case 161:  // BAD_PATHNAME
        return NFSERR_NOENT;
    case 5:    // ACCESS_DENIED
    case 16:   // CURRENT_DIRECTORY
    case 82:   // CANNOT_MAKE
    case 108:  // DRIVE_LOCKED
        return NFSERR_ACCES;
    case 19:  // WRITE_PROTECT
        return NFSERR_ROFS;
    case 55:  // DEV_NOT_EXIST
        return NFSERR_NODEV;
    case 80:   // FILE_EXISTS
    case 183:  // ALREADY_EXISTS
        return NFSERR_EXIST;
    case 112:  // DISK_FULL
        return NFSERR_NOSPC;
    case 145:  // DIR_NOT_EMPTY
        return NFSERR_NOTEMPTY;
    case 206:  // FILENAME_EXCED_RANGE
        return NFSERR_NAMETOOLONG;
    case 267:  // DIRECTORY
        return NFSERR_NOTDIR;
    case 1816:  // NOT_ENOUGH_QUOTA
        return NFSERR_DQUOT;
    default:
        break;
    }
    // BAD_UNIT (20) to SHARING_BUFFER_EXCEEDED (36): media, sharing and lock
    // violations, all of which the caller may not get past.
    if (e >= 20 && e <= 36) return NFSERR_ACCES;
    return NFSERR_IO;
}
