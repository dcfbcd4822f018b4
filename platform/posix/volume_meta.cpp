// Windows metadata of POSIX files: attributes, creation time and reparse data
// live in extended attributes; READONLY also clears the Linux write bits.
#include "platform/posix/volume_fcntl.h"
#include "platform/posix/volume.h"
#include "platform/win_error.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <sys/sysmacros.h>
#include <sys/xattr.h>

namespace {

constexpr const char* kAttrName = "user.tervalo.attr";
constexpr const char* kCrtimeName = "user.tervalo.crtime";
constexpr const char* kReparseName = "user.tervalo.reparse";
constexpr const char* kMtimeName = "user.tervalo.mtime";   // asked time, clamped time

mode_t process_umask() {
    static const mode_t m = [] {
        const mode_t old = ::umask(022);
        ::umask(old);
        return old;
    }();
    return m;
}

void put_le(unsigned char* p, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
uint64_t get_le(const unsigned char* p, int bytes) {
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

bool read_u32_xattr(const std::string& native, const char* name, uint32_t& v) {
    unsigned char b[4];
    if (::lgetxattr(native.c_str(), name, b, sizeof b) != sizeof b) return false;
    v = uint32_t(get_le(b, 4));
    return true;
}

bool unsupported(int e) { return e == ENOTSUP || e == EOPNOTSUPP; }

}  // namespace

uint64_t timespec_to_filetime(const struct timespec& t) {
    const int64_t ticks = int64_t(t.tv_sec) * 10000000 + t.tv_nsec / 100 + int64_t(WP_FILETIME_UNIX_EPOCH);
    return ticks < 0 ? 0 : uint64_t(ticks);
}

struct timespec filetime_to_timespec(uint64_t t) {
    const int64_t since_1970 = int64_t(t) - int64_t(WP_FILETIME_UNIX_EPOCH);
    int64_t sec = since_1970 / 10000000, rem = since_1970 % 10000000;
    if (rem < 0) {
        rem += 10000000;
        --sec;
    }
    struct timespec ts;
    ts.tv_sec = time_t(sec);
    ts.tv_nsec = long(rem * 100);
    return ts;
}

bool volume_keeps_xattrs(const std::string& native) {
    // Followed: a Linux link gives ENODATA for user names on any file system,
    // and the volume that matters is the one the path leads to.
    char b[8];
    if (::getxattr(native.c_str(), kAttrName, b, sizeof b) >= 0) return true;
    return !unsupported(errno);
}

uint32_t object_reparse_tag(const std::string& native, const struct stat& st) {
    if (S_ISLNK(st.st_mode)) {
        link_kind kind;
        if (read_link_object(native, kind, nullptr, nullptr))
            return kind == link_kind::junction ? WP_IO_REPARSE_TAG_MOUNT_POINT : WP_IO_REPARSE_TAG_SYMLINK;
        return WP_IO_REPARSE_TAG_SYMLINK;
    }
    std::string data;
    if (read_reparse_xattr(native, data) && data.size() >= 4)
        return uint32_t(get_le(reinterpret_cast<const unsigned char*>(data.data()), 4));
    return 0;
}

uint32_t object_attributes(const std::string& native, const struct stat& st) {
    if (S_ISLNK(st.st_mode)) {
        link_kind kind = link_kind::file_symlink;
        read_link_object(native, kind, nullptr, nullptr);
        uint32_t a = WP_FILE_ATTRIBUTE_REPARSE_POINT;
        if (kind != link_kind::file_symlink) a |= WP_FILE_ATTRIBUTE_DIRECTORY;
        return a;
    }
    const bool dir = S_ISDIR(st.st_mode);
    uint32_t stored = 0;
    uint32_t a;
    if (read_u32_xattr(native, kAttrName, stored))
        a = stored & (kStoredAttributeMask | WP_FILE_ATTRIBUTE_REPARSE_POINT);
    else
        a = dir ? 0u : uint32_t(WP_FILE_ATTRIBUTE_ARCHIVE);  // what NTFS gives a new file
    if (!dir && !(st.st_mode & S_IWUSR)) a |= WP_FILE_ATTRIBUTE_READONLY;
    if (dir) a |= WP_FILE_ATTRIBUTE_DIRECTORY;
    return a ? a : WP_FILE_ATTRIBUTE_NORMAL;
}

uint64_t object_creation_time(const std::string& native, const struct stat& st) {
    unsigned char b[8];
    if (!S_ISLNK(st.st_mode) && ::lgetxattr(native.c_str(), kCrtimeName, b, sizeof b) == sizeof b)
        return get_le(b, 8);
    struct statx sx;
    if (::statx(AT_FDCWD, native.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BTIME, &sx) == 0 &&
        (sx.stx_mask & STATX_BTIME)) {
        struct timespec t;
        t.tv_sec = sx.stx_btime.tv_sec;
        t.tv_nsec = sx.stx_btime.tv_nsec;
        return timespec_to_filetime(t);
    }
    return timespec_to_filetime(st.st_mtim.tv_sec < st.st_ctim.tv_sec ? st.st_mtim : st.st_ctim);
}

namespace {

// Linux file systems clamp times to a range that holds at least 1901 to
// 2038; only a time at or beyond its ends may stand for another one.
bool maybe_clamped(const struct timespec& t) { return t.tv_sec <= INT32_MIN || t.tv_sec >= INT32_MAX; }

}  // namespace

uint64_t object_last_write_time(const std::string& native, const struct stat& st) {
    const uint64_t t = timespec_to_filetime(st.st_mtim);
    unsigned char b[16];
    if (!maybe_clamped(st.st_mtim) || S_ISLNK(st.st_mode) ||
        ::lgetxattr(native.c_str(), kMtimeName, b, sizeof b) != sizeof b)
        return t;
    // A write since has given the file a time of its own.
    return get_le(b + 8, 8) == t ? get_le(b, 8) : t;
}

void keep_last_write_time(const std::string& native, uint64_t t) {
    struct stat st;
    if (::lstat(native.c_str(), &st) != 0 || S_ISLNK(st.st_mode)) return;
    const uint64_t held = timespec_to_filetime(st.st_mtim);
    if (held == t) {
        if (maybe_clamped(st.st_mtim)) ::lremovexattr(native.c_str(), kMtimeName);
        return;
    }
    unsigned char b[16];
    put_le(b, t, 8);
    put_le(b + 8, held, 8);
    // Without extended attributes the file keeps the clamped time.
    ::lsetxattr(native.c_str(), kMtimeName, b, sizeof b, 0);
}

uint32_t store_attributes(const std::string& native, const struct stat& st, uint32_t attributes) {
    if (S_ISLNK(st.st_mode)) {
        // A link keeps no attributes of its own: only what it already shows can be set.
        return (attributes & (WP_FILE_ATTRIBUTE_READONLY | WP_FILE_ATTRIBUTE_HIDDEN | WP_FILE_ATTRIBUTE_SYSTEM))
                   ? WIN_ERROR_NOT_SUPPORTED
                   : WIN_ERROR_SUCCESS;
    }
    // Refused before anything changes, READONLY included.
    if ((attributes & (WP_FILE_ATTRIBUTE_HIDDEN | WP_FILE_ATTRIBUTE_SYSTEM)) && !volume_keeps_xattrs(native))
        return WIN_ERROR_NOT_SUPPORTED;
    // The write bits go first when they are given back and last when they are
    // taken, so that an owner who is not root may still write the attribute.
    mode_t mode = st.st_mode & 07777;
    if (!S_ISDIR(st.st_mode)) {
        if (attributes & WP_FILE_ATTRIBUTE_READONLY)
            mode &= ~mode_t(0222);
        else if (!(mode & S_IWUSR))
            mode |= (0222 & ~process_umask()) | S_IWUSR;
    }
    const bool chmod_needed = mode != (st.st_mode & 07777);
    if (chmod_needed && (mode & S_IWUSR) && ::chmod(native.c_str(), mode) != 0) return file_errno_to_win32(errno);
    uint32_t old = 0;
    const bool had = read_u32_xattr(native, kAttrName, old);
    const uint32_t value = (attributes & kStoredAttributeMask) | (had ? (old & WP_FILE_ATTRIBUTE_REPARSE_POINT) : 0);
    unsigned char b[4];
    put_le(b, value, 4);
    if (::lsetxattr(native.c_str(), kAttrName, b, sizeof b, 0) != 0) {
        if (!unsupported(errno)) return file_errno_to_win32(errno);
        // Without extended attributes only READONLY (as the write bits) can be kept.
        if (attributes & (WP_FILE_ATTRIBUTE_HIDDEN | WP_FILE_ATTRIBUTE_SYSTEM)) return WIN_ERROR_NOT_SUPPORTED;
    }
    if (chmod_needed && !(mode & S_IWUSR) && ::chmod(native.c_str(), mode) != 0) return file_errno_to_win32(errno);
    return WIN_ERROR_SUCCESS;
}

uint32_t store_creation_time(const std::string& native, uint64_t t) {
    unsigned char b[8];
    put_le(b, t, 8);
    if (::lsetxattr(native.c_str(), kCrtimeName, b, sizeof b, 0) != 0)
        return unsupported(errno) ? WIN_ERROR_NOT_SUPPORTED : file_errno_to_win32(errno);
    return WIN_ERROR_SUCCESS;
}

void copy_metadata(const std::string& from, const std::string& to) {
    for (const char* name : {kAttrName, kCrtimeName, kReparseName, kMtimeName}) {
        char buf[WP_MAXIMUM_REPARSE_DATA_BUFFER_SIZE];
        const ssize_t n = ::lgetxattr(from.c_str(), name, buf, sizeof buf);
        if (n >= 0) ::lsetxattr(to.c_str(), name, buf, size_t(n), 0);
    }
}

bool read_reparse_xattr(const std::string& native, std::string& data) {
    uint32_t stored = 0;
    if (!read_u32_xattr(native, kAttrName, stored) || !(stored & WP_FILE_ATTRIBUTE_REPARSE_POINT)) return false;
    char buf[WP_MAXIMUM_REPARSE_DATA_BUFFER_SIZE];
    const ssize_t n = ::lgetxattr(native.c_str(), kReparseName, buf, sizeof buf);
    if (n < 8) return false;
    data.assign(buf, size_t(n));
    return true;
}

uint32_t write_reparse_xattr(const std::string& native, const std::string& data) {
    if (::lsetxattr(native.c_str(), kReparseName, data.data(), data.size(), 0) != 0)
        return unsupported(errno) ? WIN_ERROR_INVALID_FUNCTION : file_errno_to_win32(errno);
    uint32_t stored = 0;
    if (!read_u32_xattr(native, kAttrName, stored)) {
        struct stat st;
        if (::lstat(native.c_str(), &st) != 0) return file_errno_to_win32(errno);
        stored = object_attributes(native, st) & kStoredAttributeMask;
    }
    unsigned char b[4];
    put_le(b, stored | WP_FILE_ATTRIBUTE_REPARSE_POINT, 4);
    if (::lsetxattr(native.c_str(), kAttrName, b, sizeof b, 0) != 0) return file_errno_to_win32(errno);
    return WIN_ERROR_SUCCESS;
}

uint32_t remove_reparse_xattr(const std::string& native) {
    uint32_t stored = 0;
    if (read_u32_xattr(native, kAttrName, stored)) {
        unsigned char b[4];
        put_le(b, stored & ~uint32_t(WP_FILE_ATTRIBUTE_REPARSE_POINT), 4);
        if (::lsetxattr(native.c_str(), kAttrName, b, sizeof b, 0) != 0) return file_errno_to_win32(errno);
    }
    ::lremovexattr(native.c_str(), kReparseName);
    return WIN_ERROR_SUCCESS;
}

void fill_attribute_data(const std::string& native, const struct stat& st, wp_attribute_data* d) {
    d->attributes = object_attributes(native, st);
    d->creation_time = object_creation_time(native, st);
    d->last_access_time = timespec_to_filetime(st.st_atim);
    d->last_write_time = object_last_write_time(native, st);
    d->size = (S_ISREG(st.st_mode)) ? uint64_t(st.st_size) : 0;
}

uint32_t volume_serial_of_device(dev_t dev) {
    const uint32_t serial = (uint32_t(major(dev)) << 20) ^ uint32_t(minor(dev)) ^ uint32_t(uint64_t(dev) >> 44);
    return serial ? serial : 0x7E570001u;
}
