// File mapping with mmap. "Not shared" is an exclusive flock, which a second
// server on the same table file cannot get.
#include "platform/file_map.h"
#include "platform/posix/drive_map.h"
#include "platform/posix/errno_map.h"
#include "platform/win_error.h"

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

bool map_file_open(mapped_file& f, const char* path, uint32_t* error) {
    auto fail = [&](uint32_t e) {
        if (error) *error = e;
        return false;
    };
    std::string native;
    if (!path || !windows_to_native_path(path, native)) return fail(WIN_ERROR_PATH_NOT_FOUND);
    const int fd = ::open(native.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return fail(errno_to_win32(errno));
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return fail(WIN_ERROR_SHARING_VIOLATION);
    }
    f = mapped_file{};
    f.file = fd;
    return true;
}

bool map_file_size(const mapped_file& f, uint64_t* size) {
    struct stat st;
    if (f.file < 0 || ::fstat(int(f.file), &st) != 0) return false;
    *size = uint64_t(st.st_size);
    return true;
}

bool map_file_map(mapped_file& f, size_t size) {
    if (f.file < 0 || size == 0) return false;
    const int fd = int(f.file);
    uint64_t current = 0;
    if (!map_file_size(f, &current)) return false;
    if (current < size) {
        // Reserve the blocks now: a sparse extension would turn a full disk
        // into a fault on a later store into the view.
        const int rc = ::posix_fallocate(fd, off_t(current), off_t(size - current));
        if (rc == EOPNOTSUPP || rc == EINVAL) {
            if (::ftruncate(fd, off_t(size)) != 0) return false;
        } else if (rc != 0) {
            if (::ftruncate(fd, off_t(current)) != 0) {}   // give back what was taken
            return false;
        }
    }
    void* view = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (view == MAP_FAILED) return false;
    if (f.view) ::munmap(f.view, f.view_size);
    f.view = static_cast<uint8_t*>(view);
    f.view_size = size;
    return true;
}

bool map_file_flush(const mapped_file& f, size_t offset, size_t length) {
    if (!f.view || offset > f.view_size) return false;
    if (length > f.view_size - offset) length = f.view_size - offset;
    const size_t page = size_t(::sysconf(_SC_PAGESIZE));
    const size_t start = offset / page * page;
#if defined(__linux__)
    // As FlushViewOfFile: start the write-back, do not wait for it.
    return ::sync_file_range(int(f.file), off_t(start), off_t(offset + length - start), SYNC_FILE_RANGE_WRITE) == 0;
#else
    return ::msync(f.view + start, offset + length - start, MS_ASYNC) == 0;
#endif
}

void map_file_close(mapped_file& f) {
    if (f.view) ::munmap(f.view, f.view_size);
    if (f.file >= 0) ::close(int(f.file));
    f = mapped_file{};
}
