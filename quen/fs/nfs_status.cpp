#include "quen/fs/nfs_status.h"

#include "platform/win_error.h"

namespace {

struct status_of_error {
    uint32_t win32_error;
    uint32_t nfs_status;
};

constexpr status_of_error kStatusOfError[] = {
    {WIN_ERROR_FILE_NOT_FOUND, NFSERR_NOENT},
    {WIN_ERROR_PATH_NOT_FOUND, NFSERR_NOENT},
    {WIN_ERROR_INVALID_DRIVE, NFSERR_NOENT},
    {WIN_ERROR_NO_MORE_FILES, NFSERR_NOENT},
    {WIN_ERROR_BAD_PATHNAME, NFSERR_NOENT},
    {WIN_ERROR_ACCESS_DENIED, NFSERR_ACCES},
    {WIN_ERROR_CURRENT_DIRECTORY, NFSERR_ACCES},
    {WIN_ERROR_CANNOT_MAKE, NFSERR_ACCES},
    {WIN_ERROR_DRIVE_LOCKED, NFSERR_ACCES},
    {WIN_ERROR_WRITE_PROTECT, NFSERR_ROFS},
    {WIN_ERROR_DEV_NOT_EXIST, NFSERR_NODEV},
    {WIN_ERROR_FILE_EXISTS, NFSERR_EXIST},
    {WIN_ERROR_ALREADY_EXISTS, NFSERR_EXIST},
    {WIN_ERROR_DISK_FULL, NFSERR_NOSPC},
    {WIN_ERROR_DIR_NOT_EMPTY, NFSERR_NOTEMPTY},
    {WIN_ERROR_FILENAME_EXCED_RANGE, NFSERR_NAMETOOLONG},
    {WIN_ERROR_DIRECTORY, NFSERR_NOTDIR},
    {WIN_ERROR_NOT_ENOUGH_QUOTA, NFSERR_DQUOT},
};

}  // namespace

uint32_t win32_to_nfs_status(uint32_t e) {
    for (const status_of_error& s : kStatusOfError)
        if (s.win32_error == e) return s.nfs_status;
    // Media, sharing and lock violations, all of which the caller may not get past.
    if (e >= WIN_ERROR_BAD_UNIT && e <= WIN_ERROR_SHARING_BUFFER_EXCEEDED) return NFSERR_ACCES;
    return NFSERR_IO;
}
