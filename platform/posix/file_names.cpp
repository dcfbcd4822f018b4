// Path calls that read or change names and attributes: Get/SetFileAttributes,
// DeleteFile, MoveFile, CopyFile, CreateDirectory and RemoveDirectory.
#include "platform/posix/file_replace.h"
#include "platform/posix/volume_fcntl.h"
#include "platform/posix/volume.h"
#include "platform/win_error.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <unistd.h>

namespace {

// Whether an object is a directory for Windows: a directory, or a link made as one.
bool is_directory_object(const volume_path& vp) {
    if (S_ISDIR(vp.st.st_mode)) return true;
    if (!S_ISLNK(vp.st.st_mode)) return false;
    link_kind kind;
    return read_link_object(vp.native, kind, nullptr, nullptr) && kind != link_kind::file_symlink;
}

bool resolve_existing(const char* path, volume_path& vp) {
    if (uint32_t e = resolve_path(path, vp)) return fail(e);
    if (!vp.exists) return fail(WIN_ERROR_FILE_NOT_FOUND);
    return true;
}

bool directory_is_empty(const std::string& native) {
    DIR* d = ::opendir(native.c_str());
    if (!d) return true;   // rmdir tells what is wrong with it
    bool empty = true;
    while (const dirent* e = ::readdir(d))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
            empty = false;
            break;
        }
    ::closedir(d);
    return empty;
}

uint64_t now_filetime() {
    struct timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    return timespec_to_filetime(t);
}

bool copy_data(int from, int to) {
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(from, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return fail_errno(errno);
        if (n == 0) return true;
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = ::write(to, buf + done, size_t(n - done));
            if (w < 0 && errno == EINTR) continue;
            if (w < 0) return fail_errno(errno);
            done += w;
        }
    }
}

}  // namespace

uint32_t wp_get_file_attributes(const char* path) {
    volume_path vp;
    if (!resolve_existing(path, vp)) return WP_INVALID_FILE_ATTRIBUTES;
    succeed();
    return object_attributes(vp.native, vp.st);
}

bool wp_get_file_attributes_ex(const char* path, wp_attribute_data* data) {
    volume_path vp;
    if (!resolve_existing(path, vp)) return false;
    fill_attribute_data(vp.native, vp.st, data);
    return succeed();
}

bool wp_set_file_attributes(const char* path, uint32_t attributes) {
    volume_path vp;
    if (!resolve_existing(path, vp)) return false;
    if (uint32_t e = store_attributes(vp.native, vp.st, attributes)) return fail(e);
    return succeed();
}

bool wp_delete_file(const char* path) {
    volume_path vp;
    if (!resolve_existing(path, vp)) return false;
    if (is_directory_object(vp)) return fail(WIN_ERROR_ACCESS_DENIED);
    if (object_attributes(vp.native, vp.st) & WP_FILE_ATTRIBUTE_READONLY) return fail(WIN_ERROR_ACCESS_DENIED);
    if (open_without_share_delete(vp.st.st_dev, vp.st.st_ino)) return fail(WIN_ERROR_SHARING_VIOLATION);
    if (delete_is_pending(vp.st.st_dev, vp.st.st_ino)) return fail(WIN_ERROR_ACCESS_DENIED);
    if (defer_delete_while_open(vp.st.st_dev, vp.st.st_ino, vp.native, false)) return succeed();
    if (::unlink(vp.native.c_str()) != 0) return fail_errno(errno);
    return succeed();
}

bool wp_create_directory(const char* path) {
    volume_path vp;
    if (uint32_t e = resolve_path(path, vp)) return fail(e);
    if (vp.exists) return fail(WIN_ERROR_ALREADY_EXISTS);
    if (::mkdir(vp.native.c_str(), 0777) != 0) return fail_errno(errno);
    store_creation_time(vp.native, now_filetime());
    return succeed();
}

bool wp_remove_directory(const char* path) {
    volume_path vp;
    if (!resolve_existing(path, vp)) return false;
    if (vp.is_root()) return fail(WIN_ERROR_ACCESS_DENIED);
    if (!is_directory_object(vp)) return fail(WIN_ERROR_DIRECTORY);
    if (open_without_share_delete(vp.st.st_dev, vp.st.st_ino)) return fail(WIN_ERROR_SHARING_VIOLATION);
    if (S_ISLNK(vp.st.st_mode)) {  // a junction or directory link goes, not what it points at
        if (::unlink(vp.native.c_str()) != 0) return fail_errno(errno);
        return succeed();
    }
    if (object_attributes(vp.native, vp.st) & WP_FILE_ATTRIBUTE_READONLY) return fail(WIN_ERROR_ACCESS_DENIED);
    if (delete_is_pending(vp.st.st_dev, vp.st.st_ino)) return fail(WIN_ERROR_ACCESS_DENIED);
    // Entries whose own deletion is pending still count.
    if (!directory_is_empty(vp.native)) return fail(WIN_ERROR_DIR_NOT_EMPTY);
    if (defer_delete_while_open(vp.st.st_dev, vp.st.st_ino, vp.native, true)) return succeed();
    if (::rmdir(vp.native.c_str()) != 0) return fail(errno == EEXIST ? WIN_ERROR_DIR_NOT_EMPTY : file_errno_to_win32(errno));
    return succeed();
}

bool wp_move_file(const char* from, const char* to) { return wp_move_file_ex(from, to, WP_MOVEFILE_COPY_ALLOWED); }

bool wp_move_file_ex(const char* from, const char* to, uint32_t flags) {
    volume_path src, dst;
    if (!resolve_existing(from, src)) return false;
    if (uint32_t e = resolve_path(to, dst)) return fail(e);
    if (src.is_root() || dst.is_root()) return fail(WIN_ERROR_ACCESS_DENIED);
    if (open_without_share_delete(src.st.st_dev, src.st.st_ino)) return fail(WIN_ERROR_SHARING_VIOLATION);
    // The target keeps the spelling the caller gave it (a rename may only change case).
    const std::string target = dst.native_parent() + "/" + dst.requested_name;
    if (dst.exists) {
        const bool same_entry = src.native == dst.native;
        const bool same_file = src.st.st_dev == dst.st.st_dev && src.st.st_ino == dst.st.st_ino;
        if (same_entry) {
            if (target == src.native) return succeed();
        } else if (!(flags & WP_MOVEFILE_REPLACE_EXISTING)) {
            return fail(WIN_ERROR_ALREADY_EXISTS);
        } else {
            if (is_directory_object(dst)) return fail(WIN_ERROR_ACCESS_DENIED);
            if (object_attributes(dst.native, dst.st) & WP_FILE_ATTRIBUTE_READONLY) return fail(WIN_ERROR_ACCESS_DENIED);
            // A file that is open cannot be replaced, though it could be deleted.
            if (object_is_open(dst.st.st_dev, dst.st.st_ino)) return fail(WIN_ERROR_ACCESS_DENIED);
            // rename() between two links of one file does nothing; Windows removes the source name.
            if (same_file || target != dst.native) {
                if (::unlink(dst.native.c_str()) != 0) return fail_errno(errno);
            }
        }
    }
    if (::rename(src.native.c_str(), target.c_str()) != 0) {
        if (errno != EXDEV) return fail_errno(errno);
        if (is_directory_object(src) || !(flags & WP_MOVEFILE_COPY_ALLOWED)) return fail(WIN_ERROR_NOT_SAME_DEVICE);
        if (!wp_copy_file(from, to, !(flags & WP_MOVEFILE_REPLACE_EXISTING))) return false;
        if (::unlink(src.native.c_str()) != 0) return fail_errno(errno);
        return succeed();
    }
    rename_open_paths(src.native, target);
    if (flags & WP_MOVEFILE_WRITE_THROUGH) sync_directory(dst.native_parent());
    return succeed();
}

bool wp_copy_file(const char* from, const char* to, bool fail_if_exists) {
    volume_path src;
    if (!resolve_existing(from, src)) return false;
    if (is_directory_object(src)) return fail(WIN_ERROR_ACCESS_DENIED);
    file_handle in(wp_create_file(from, WP_GENERIC_READ, WP_FILE_SHARE_READ | WP_FILE_SHARE_DELETE, WP_OPEN_EXISTING,
                                  WP_FILE_FLAG_SEQUENTIAL_SCAN));
    if (!in.valid()) return false;
    wp_attribute_data a;
    if (!wp_get_file_attributes_ex(from, &a)) return false;
    file_handle out(wp_create_file(to, WP_GENERIC_WRITE, 0, fail_if_exists ? WP_CREATE_NEW : WP_CREATE_ALWAYS,
                                   a.attributes & kStoredAttributeMask));
    if (!out.valid()) return false;
    posix_file* fi = lookup_handle(in.get());
    posix_file* fo = lookup_handle(out.get());
    if (!fi || !fo) return false;
    if (!copy_data(fi->fd, fo->fd)) return false;
    // CopyFile keeps the last-write time; the copy is a new file for its creation time.
    if (!wp_set_file_time(out.get(), nullptr, nullptr, &a.last_write_time)) return false;
    return succeed();
}
