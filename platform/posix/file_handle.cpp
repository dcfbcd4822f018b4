// CreateFileW and the calls on an open handle, over POSIX descriptors, with
// Windows' read-only, share-mode and byte-range-lock rules.
#include "platform/posix/volume_fcntl.h"
#include "platform/posix/volume.h"
#include "platform/win_error.h"

#include <cerrno>
#include <ctime>
#include <unistd.h>

namespace {

constexpr uint32_t kDataRead = WP_FILE_READ_DATA | WP_FILE_EXECUTE;
constexpr uint32_t kDataWrite = WP_FILE_WRITE_DATA | WP_FILE_APPEND_DATA;

wp_handle fail_handle(uint32_t e) {
    set_file_error(e);
    return WP_INVALID_HANDLE;
}

uint64_t now_filetime() {
    struct timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    return timespec_to_filetime(t);
}

// Opens the descriptor that serves a handle on an existing object.
// `seen`: the object's lstat, which answers for it unless it is a link.
int open_descriptor(const std::string& native, const struct stat& seen, bool link_itself, bool directory,
                    uint32_t access) {
    if (link_itself) return ::open(native.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (directory) return ::open(native.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat followed;
    const struct stat* st = &seen;
    if (S_ISLNK(seen.st_mode)) st = ::stat(native.c_str(), &followed) == 0 ? &followed : nullptr;
    if (st && !S_ISREG(st->st_mode))
        return ::open(native.c_str(), O_PATH | O_CLOEXEC);  // devices and pipes carry no data here
    const bool write = access & (kDataWrite | WP_FILE_WRITE_ATTRIBUTES);
    int fd = ::open(native.c_str(), (write ? O_RDWR : O_RDONLY) | O_CLOEXEC);
    if (fd < 0 && write && errno == EACCES) fd = ::open(native.c_str(), O_WRONLY | O_CLOEXEC);
    // Rights to attributes only need no readable descriptor.
    if (fd < 0 && errno == EACCES && !(access & (kDataRead | kDataWrite)))
        fd = ::open(native.c_str(), O_PATH | O_CLOEXEC);
    return fd;
}

void mark_archived(posix_file* f) {
    if (f->archive_set) return;
    f->archive_set = true;
    struct stat st;
    if (::stat(f->native.c_str(), &st) != 0) return;
    const uint32_t a = object_attributes(f->native, st);
    if (!(a & WP_FILE_ATTRIBUTE_ARCHIVE))
        store_attributes(f->native, st, (a & kStoredAttributeMask) | WP_FILE_ATTRIBUTE_ARCHIVE);
}

// Attributes given to a new or overwritten file: what the volume cannot keep
// (HIDDEN, SYSTEM without extended attributes) is dropped, not the rest.
void store_created_attributes(const std::string& native, const struct stat& st, uint32_t attributes) {
    if (store_attributes(native, st, attributes) == WIN_ERROR_NOT_SUPPORTED)
        store_attributes(native, st, attributes & ~uint32_t(WP_FILE_ATTRIBUTE_HIDDEN | WP_FILE_ATTRIBUTE_SYSTEM));
}

}  // namespace

wp_handle wp_create_file(const char* path, uint32_t access, uint32_t share, uint32_t disposition,
                         uint32_t flags_and_attributes) {
    if (disposition < WP_CREATE_NEW || disposition > WP_TRUNCATE_EXISTING) return fail_handle(WIN_ERROR_INVALID_PARAMETER);
    const uint32_t rights = expand_access(access);
    if (disposition == WP_TRUNCATE_EXISTING && !(rights & WP_FILE_WRITE_DATA))
        return fail_handle(WIN_ERROR_INVALID_PARAMETER);
    volume_path vp;
    if (uint32_t e = resolve_path(path, vp)) return fail_handle(e);
    const bool backup = flags_and_attributes & WP_FILE_FLAG_BACKUP_SEMANTICS;
    const bool open_reparse = flags_and_attributes & WP_FILE_FLAG_OPEN_REPARSE_POINT;
    const uint32_t wanted_attributes = flags_and_attributes & kStoredAttributeMask;

    auto f = new posix_file;
    f->access = rights;
    f->share = share & WP_FILE_SHARE_ALL;
    f->native = vp.native;
    bool created = false;
    uint32_t success_error = WIN_ERROR_SUCCESS;

    if (vp.exists) {
        if (disposition == WP_CREATE_NEW) {
            delete f;
            return fail_handle(WIN_ERROR_FILE_EXISTS);
        }
        bool link_itself = false, directory = S_ISDIR(vp.st.st_mode);
        if (S_ISLNK(vp.st.st_mode)) {
            link_kind kind;
            read_link_object(vp.native, kind, nullptr, nullptr);
            if (open_reparse) {
                link_itself = true;
                directory = kind != link_kind::file_symlink;
            } else {
                struct stat target;
                if (::stat(vp.native.c_str(), &target) != 0) {
                    delete f;
                    return fail_handle(WIN_ERROR_FILE_NOT_FOUND);
                }
                directory = S_ISDIR(target.st_mode);
            }
        }
        if (directory) {
            if (!backup || disposition == WP_CREATE_ALWAYS || disposition == WP_TRUNCATE_EXISTING) {
                delete f;
                return fail_handle(WIN_ERROR_ACCESS_DENIED);
            }
        } else if (!link_itself && (disposition == WP_CREATE_ALWAYS || disposition == WP_TRUNCATE_EXISTING ||
                                    (rights & (kDataWrite | WP_DELETE)))) {
            // Only a change of the data or a removal asks the file's attributes.
            const uint32_t attributes = object_attributes(vp.native, vp.st);
            if (attributes & WP_FILE_ATTRIBUTE_READONLY) {
                delete f;
                return fail_handle(WIN_ERROR_ACCESS_DENIED);
            }
            // Overwriting a hidden or system file must name those attributes again.
            const uint32_t guarded = attributes & (WP_FILE_ATTRIBUTE_HIDDEN | WP_FILE_ATTRIBUTE_SYSTEM);
            if (disposition == WP_CREATE_ALWAYS && (guarded & ~wanted_attributes)) {
                delete f;
                return fail_handle(WIN_ERROR_ACCESS_DENIED);
            }
        }
        f->fd = open_descriptor(vp.native, vp.st, link_itself, directory, rights);
        f->directory = directory;
        f->link = link_itself;
        if (disposition == WP_OPEN_ALWAYS || disposition == WP_CREATE_ALWAYS) success_error = WIN_ERROR_ALREADY_EXISTS;
    } else {
        if (disposition == WP_OPEN_EXISTING || disposition == WP_TRUNCATE_EXISTING) {
            delete f;
            return fail_handle(WIN_ERROR_FILE_NOT_FOUND);
        }
        f->fd = ::open(vp.native.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (f->fd < 0 && errno == EEXIST) {
            delete f;
            return fail_handle(WIN_ERROR_FILE_EXISTS);
        }
        created = f->fd >= 0;
    }
    if (f->fd < 0) {
        const int e = errno;
        delete f;
        return fail_handle(file_errno_to_win32(e));
    }
    struct stat st;
    ::fstat(f->fd, &st);
    f->dev = st.st_dev;
    f->ino = st.st_ino;
    if (uint32_t e = register_open(f)) {
        ::close(f->fd);
        delete f;
        return fail_handle(e);
    }
    if (created) {
        store_creation_time(f->native, now_filetime());
        store_created_attributes(f->native, st, wanted_attributes | WP_FILE_ATTRIBUTE_ARCHIVE);
        f->archive_set = true;
    } else if (disposition == WP_CREATE_ALWAYS || disposition == WP_TRUNCATE_EXISTING) {
        if (::ftruncate(f->fd, 0) != 0) {
            const int e = errno;
            wp_close_handle(f);
            return fail_handle(file_errno_to_win32(e));
        }
        if (disposition == WP_CREATE_ALWAYS) store_created_attributes(f->native, st, wanted_attributes | WP_FILE_ATTRIBUTE_ARCHIVE);
        f->archive_set = true;
    }
    set_file_error(success_error);
    return f;
}

bool wp_read_file(wp_handle h, void* buffer, uint32_t count, uint32_t* done) {
    if (done) *done = 0;
    posix_file* f = lookup_handle(h);
    if (!f) return false;
    if (!(f->access & WP_FILE_READ_DATA)) return fail(WIN_ERROR_ACCESS_DENIED);
    if (f->directory || f->link) return fail(WIN_ERROR_INVALID_FUNCTION);
    if (count && range_locked_against(f, f->position, count, false)) return fail(WIN_ERROR_LOCK_VIOLATION);
    uint32_t total = 0;
    while (total < count) {
        const ssize_t n = ::pread(f->fd, static_cast<char*>(buffer) + total, count - total, off_t(f->position + total));
        if (n < 0) {
            if (errno == EINTR) continue;
            return fail_errno(errno);
        }
        if (n == 0) break;
        total += uint32_t(n);
    }
    f->position += total;
    if (done) *done = total;
    return succeed();
}

bool wp_write_file(wp_handle h, const void* data, uint32_t count, uint32_t* done) {
    if (done) *done = 0;
    posix_file* f = lookup_handle(h);
    if (!f) return false;
    if (!(f->access & kDataWrite)) return fail(WIN_ERROR_ACCESS_DENIED);
    if (f->directory || f->link) return fail(WIN_ERROR_INVALID_FUNCTION);
    uint64_t at = f->position;
    if (!(f->access & WP_FILE_WRITE_DATA)) {  // append only
        struct stat st;
        if (::fstat(f->fd, &st) != 0) return fail_errno(errno);
        at = uint64_t(st.st_size);
    }
    if (count && range_locked_against(f, at, count, true)) return fail(WIN_ERROR_LOCK_VIOLATION);
    uint32_t total = 0;
    while (total < count) {
        const ssize_t n = ::pwrite(f->fd, static_cast<const char*>(data) + total, count - total, off_t(at + total));
        if (n < 0) {
            if (errno == EINTR) continue;
            if (done) *done = total;
            return fail_errno(errno);
        }
        total += uint32_t(n);
    }
    f->position = at + total;
    if (done) *done = total;
    if (count) mark_archived(f);
    return succeed();
}

uint32_t wp_set_file_pointer(wp_handle h, int32_t distance_low, int32_t* distance_high, uint32_t method) {
    posix_file* f = lookup_handle(h);
    if (!f) return WP_INVALID_SET_FILE_POINTER;
    const int64_t distance = distance_high ? int64_t((uint64_t(uint32_t(*distance_high)) << 32) | uint32_t(distance_low))
                                           : int64_t(distance_low);
    int64_t base;
    switch (method) {
    case WP_FILE_BEGIN: base = 0; break;
    case WP_FILE_CURRENT: base = int64_t(f->position); break;
    case WP_FILE_END: {
        struct stat st;
        if (::fstat(f->fd, &st) != 0) {
            fail_errno(errno);
            return WP_INVALID_SET_FILE_POINTER;
        }
        base = S_ISREG(st.st_mode) ? int64_t(st.st_size) : 0;
        break;
    }
    default: fail(WIN_ERROR_INVALID_PARAMETER); return WP_INVALID_SET_FILE_POINTER;
    }
    const int64_t pos = base + distance;
    if (pos < 0) {
        fail(WIN_ERROR_NEGATIVE_SEEK);
        return WP_INVALID_SET_FILE_POINTER;
    }
    if (!distance_high && pos > int64_t(UINT32_MAX)) {
        fail(WIN_ERROR_INVALID_PARAMETER);
        return WP_INVALID_SET_FILE_POINTER;
    }
    f->position = uint64_t(pos);
    if (distance_high) *distance_high = int32_t(uint32_t(uint64_t(pos) >> 32));
    set_file_error(WIN_ERROR_SUCCESS);  // a low word of all ones is then told from a failure
    return uint32_t(pos);
}

uint32_t wp_get_file_size(wp_handle h, uint32_t* high) {
    posix_file* f = lookup_handle(h);
    if (!f) return WP_INVALID_FILE_SIZE;
    struct stat st;
    if (::fstat(f->fd, &st) != 0) {
        fail_errno(errno);
        return WP_INVALID_FILE_SIZE;
    }
    const uint64_t size = S_ISREG(st.st_mode) ? uint64_t(st.st_size) : 0;
    if (high) *high = uint32_t(size >> 32);
    set_file_error(WIN_ERROR_SUCCESS);
    return uint32_t(size);
}

bool wp_flush_file_buffers(wp_handle h) {
    posix_file* f = lookup_handle(h);
    if (!f) return false;
    if (!(f->access & kDataWrite)) return fail(WIN_ERROR_ACCESS_DENIED);
    if (::fsync(f->fd) != 0) return fail_errno(errno);
    return succeed();
}

bool wp_set_end_of_file(wp_handle h) {
    posix_file* f = lookup_handle(h);
    if (!f) return false;
    if (!(f->access & WP_FILE_WRITE_DATA)) return fail(WIN_ERROR_ACCESS_DENIED);
    if (f->directory || f->link) return fail(WIN_ERROR_INVALID_FUNCTION);
    if (::ftruncate(f->fd, off_t(f->position)) != 0) return fail_errno(errno);
    mark_archived(f);
    return succeed();
}

bool wp_get_file_information_by_handle(wp_handle h, wp_file_information* info) {
    posix_file* f = lookup_handle(h);
    if (!f) return false;
    struct stat st;
    if (::fstat(f->fd, &st) != 0) return fail_errno(errno);
    wp_attribute_data d;
    fill_attribute_data(f->native, st, &d);
    info->attributes = d.attributes;
    info->creation_time = d.creation_time;
    info->last_access_time = d.last_access_time;
    info->last_write_time = d.last_write_time;
    info->volume_serial = volume_serial_of_device(st.st_dev);
    info->size = d.size;
    info->number_of_links = uint32_t(st.st_nlink);
    info->file_index = uint64_t(st.st_ino);
    return succeed();
}

bool wp_get_file_time(wp_handle h, uint64_t* creation, uint64_t* last_access, uint64_t* last_write) {
    posix_file* f = lookup_handle(h);
    if (!f) return false;
    struct stat st;
    if (::fstat(f->fd, &st) != 0) return fail_errno(errno);
    if (creation) *creation = object_creation_time(f->native, st);
    if (last_access) *last_access = timespec_to_filetime(st.st_atim);
    if (last_write) *last_write = object_last_write_time(f->native, st);
    return succeed();
}

bool wp_set_file_time(wp_handle h, const uint64_t* creation, const uint64_t* last_access,
                      const uint64_t* last_write) {
    posix_file* f = lookup_handle(h);
    if (!f) return false;
    if (!(f->access & WP_FILE_WRITE_ATTRIBUTES)) return fail(WIN_ERROR_ACCESS_DENIED);
    // 0 and all ones both leave a time as it is.
    auto given = [](const uint64_t* t) { return t && *t != 0 && *t != UINT64_MAX; };
    if (given(creation))
        if (uint32_t e = store_creation_time(f->native, *creation)) return fail(e);
    if (given(last_access) || given(last_write)) {
        struct timespec times[2];
        times[0].tv_nsec = times[1].tv_nsec = UTIME_OMIT;
        if (given(last_access)) times[0] = filetime_to_timespec(*last_access);
        if (given(last_write)) times[1] = filetime_to_timespec(*last_write);
        if (::utimensat(AT_FDCWD, f->native.c_str(), times, f->link ? AT_SYMLINK_NOFOLLOW : 0) != 0) return fail_errno(errno);
        if (given(last_write) && !f->link) keep_last_write_time(f->native, *last_write);
    }
    return succeed();
}

bool wp_lock_file(wp_handle h, uint64_t offset, uint64_t length) { return wp_lock_file_ex(h, true, offset, length); }

bool wp_lock_file_ex(wp_handle h, bool exclusive, uint64_t offset, uint64_t length) {
    posix_file* f = lookup_handle(h);
    if (!f) return false;
    if (!(f->access & (kDataRead | kDataWrite))) return fail(WIN_ERROR_ACCESS_DENIED);
    if (uint32_t e = add_lock(f, offset, length, exclusive)) return fail(e);
    return succeed();
}

bool wp_unlock_file(wp_handle h, uint64_t offset, uint64_t length) {
    posix_file* f = lookup_handle(h);
    if (!f) return false;
    if (uint32_t e = remove_lock(f, offset, length)) return fail(e);
    return succeed();
}

bool wp_close_handle(wp_handle h) {
    posix_file* f = lookup_handle(h);
    if (!f) return false;
    unregister_open(f);
    if (f->fd >= 0) ::close(f->fd);
    delete f;
    return succeed();
}
