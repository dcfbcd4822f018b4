#include "platform/posix/errno_map.h"

#include "platform/win_error.h"

#include <cerrno>

uint32_t errno_to_win32(int e, uint32_t unmapped) {
    switch (e) {
    case 0: return WIN_ERROR_SUCCESS;
    case ENOENT: return WIN_ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return WIN_ERROR_PATH_NOT_FOUND;
    // Windows refuses to open a directory as a file with "access denied".
    case EACCES: case EPERM: case EROFS: case EISDIR: return WIN_ERROR_ACCESS_DENIED;
    case EBADF: return WIN_ERROR_INVALID_HANDLE;
    case ENOMEM: return WIN_ERROR_NOT_ENOUGH_MEMORY;
    case EMFILE: case ENFILE: return WIN_ERROR_TOO_MANY_OPEN_FILES;
    case EXDEV: return WIN_ERROR_NOT_SAME_DEVICE;
    case ETXTBSY: return WIN_ERROR_SHARING_VIOLATION;
    case EBUSY: return WIN_ERROR_BUSY;
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
    case ELOOP: return WIN_ERROR_CANT_RESOLVE_FILENAME;
    case EFBIG: return WIN_ERROR_FILE_TOO_LARGE;
    case EPIPE: return WIN_ERROR_BROKEN_PIPE;
    case EINTR: return WIN_ERROR_OPERATION_ABORTED;
    case EIO: return WIN_ERROR_IO_DEVICE;
    case ETIMEDOUT: return WIN_ERROR_TIMEOUT;
    default: return unmapped;
    }
}
