#include "platform/posix/errno_map.h"

#include "platform/win_error.h"

#include <cerrno>

namespace {

// Win32 numbers that platform/win_error.h does not name.
enum : uint32_t {
    kTooManyOpenFiles = 4,
    kNotSameDevice = 17,
    kBrokenPipe = 109,
    kBusy = 170,
    kFileTooLarge = 223,
    kOperationAborted = 995,
    kIoDevice = 1117,
    kTimeout = 1460,
    kCantResolveFilename = 1921,
};

}  // namespace

uint32_t errno_to_win32(int e, uint32_t unmapped) {
    switch (e) {
    case 0: return WIN_ERROR_SUCCESS;
    case ENOENT: return WIN_ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return WIN_ERROR_PATH_NOT_FOUND;
    // Windows refuses to open a directory as a file with "access denied".
    case EACCES: case EPERM: case EROFS: case EISDIR: return WIN_ERROR_ACCESS_DENIED;
    case EBADF: return WIN_ERROR_INVALID_HANDLE;
    case ENOMEM: return WIN_ERROR_NOT_ENOUGH_MEMORY;
    case EMFILE: case ENFILE: return kTooManyOpenFiles;
    case EXDEV: return kNotSameDevice;
    case ETXTBSY: return WIN_ERROR_SHARING_VIOLATION;
    case EBUSY: return kBusy;
    case EDEADLK: return WIN_ERROR_LOCK_VIOLATION;
    case ENOSYS: case ENOTSUP: return WIN_ERROR_NOT_SUPPORTED;
#if EOPNOTSUPP != ENOTSUP
    case EOPNOTSUPP: return WIN_ERROR_NOT_SUPPORTED;
#endif
    case EEXIST: return WIN_ERROR_FILE_EXISTS;
    case EINVAL: return WIN_ERROR_INVALID_PARAMETER;
    case ENOSPC: case EDQUOT: return WIN_ERROR_DISK_FULL;
    case ENAMETOOLONG: return WIN_ERROR_FILENAME_EXCED_RANGE;
    case ENOTEMPTY: return WIN_ERROR_DIR_NOT_EMPTY;
    case ELOOP: return kCantResolveFilename;
    case EFBIG: return kFileTooLarge;
    case EPIPE: return kBrokenPipe;
    case EINTR: return kOperationAborted;
    case EIO: return kIoDevice;
    case ETIMEDOUT: return kTimeout;
    default: return unmapped;
    }
}
