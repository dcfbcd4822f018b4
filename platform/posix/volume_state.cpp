// The calling thread's last file error (GetLastError of the POSIX volume).
#include "platform/posix/errno_map.h"
#include "platform/posix/volume.h"
#include "platform/win_error.h"

#include <cerrno>

namespace {
thread_local uint32_t last_error = 0;
}  // namespace

uint32_t file_last_error() { return last_error; }

void set_file_error(uint32_t e) { last_error = e; }
void file_set_last_error(uint32_t error) { last_error = error; }

bool fail(uint32_t e) {
    last_error = e;
    return false;
}

bool fail_errno(int e) { return fail(file_errno_to_win32(e)); }

// As on Windows, a call that succeeds leaves the last error alone; the few
// calls whose success Windows reports through it set it themselves.
bool succeed() { return true; }

uint32_t file_errno_to_win32(int e) {
    switch (e) {
    // A parent that is not a directory: Windows says the path was not found.
    case ENOTDIR: return WIN_ERROR_PATH_NOT_FOUND;
    case ENAMETOOLONG: return WIN_ERROR_FILENAME_EXCED_RANGE;
    case EEXIST: return WIN_ERROR_ALREADY_EXISTS;
    default: return errno_to_win32(e);
    }
}
