// Volume calls: each Linux file system under a drive is a volume of its own,
// its serial derived from the device number. Also the run-time bound groups.
#include "platform/posix/volume.h"
#include "platform/win_error.h"

#include <cerrno>
#include <cstring>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

constexpr long kNfsMagic = 0x6969;
constexpr long kSmbMagic = 0x517B;
constexpr long kCifsMagic = 0xFF534D42;
constexpr long kSmb2Magic = 0xFE534D42;

bool copy_out(const std::string& s, char* out, size_t size) {
    if (!out || size == 0) return true;
    if (s.size() + 1 > size) {
        out[0] = 0;
        return false;
    }
    std::memcpy(out, s.c_str(), s.size() + 1);
    return true;
}

// The deepest existing object on the path: the volume is judged from it.
uint32_t existing_prefix(const char* path, volume_path& vp) {
    if (uint32_t e = resolve_path(path, vp)) return e;
    if (!vp.exists) {
        vp.components.pop_back();
        vp.native = vp.native_parent();
        if (::lstat(vp.native.c_str(), &vp.st) != 0) return WIN_ERROR_PATH_NOT_FOUND;
        vp.exists = true;
    }
    return WIN_ERROR_SUCCESS;
}

// Number of leading components that form the volume root (0: the drive root).
size_t volume_root_depth(const volume_path& vp) {
    std::string native = vp.native_root.size() > 1 ? vp.native_root.substr(0, vp.native_root.size() - 1) : "";
    std::vector<dev_t> devs;
    struct stat st;
    devs.push_back(::stat(native.empty() ? "/" : native.c_str(), &st) == 0 ? st.st_dev : 0);
    for (const std::string& c : vp.components) {
        native += "/" + c;
        devs.push_back(::stat(native.c_str(), &st) == 0 ? st.st_dev : devs.back());
    }
    for (size_t k = devs.size() - 1; k > 0; --k)
        if (devs[k] != devs[k - 1]) return k;
    return 0;
}

std::string root_text(const volume_path& vp, size_t depth) {
    std::string w = vp.drive + "\\";
    for (size_t i = 0; i < depth; ++i) w += vp.components[i] + "\\";
    return w;
}

bool is_remote(const std::string& native) {
    struct statfs sf;
    if (::statfs(native.c_str(), &sf) != 0) return false;
    const long t = long(sf.f_type);
    return t == kNfsMagic || t == kSmbMagic || t == kCifsMagic || t == kSmb2Magic;
}

}  // namespace

bool wp_get_disk_free_space_ex(const char* path, uint64_t* free_to_caller, uint64_t* total, uint64_t* total_free) {
    volume_path vp;
    if (uint32_t e = resolve_path(path, vp)) return fail(e);
    if (!vp.exists) return fail(WIN_ERROR_PATH_NOT_FOUND);
    struct statvfs sv;
    if (::statvfs(vp.native.c_str(), &sv) != 0) return fail_errno(errno);
    if (free_to_caller) *free_to_caller = uint64_t(sv.f_bavail) * sv.f_frsize;
    if (total) *total = uint64_t(sv.f_blocks) * sv.f_frsize;
    if (total_free) *total_free = uint64_t(sv.f_bfree) * sv.f_frsize;
    return succeed();
}

bool wp_get_volume_path_name(const char* path, char* out, size_t size) {
    if (out && size) out[0] = 0;
    volume_path vp;
    if (uint32_t e = existing_prefix(path, vp)) return fail(e);
    if (!copy_out(root_text(vp, volume_root_depth(vp)), out, size)) return fail(WIN_ERROR_INSUFFICIENT_BUFFER);
    return succeed();
}

bool wp_get_volume_information(const char* root, char* volume_name, size_t volume_name_size, uint32_t* serial,
                               uint32_t* max_component_length, uint32_t* fs_flags, char* fs_name,
                               size_t fs_name_size) {
    volume_path vp;
    if (uint32_t e = resolve_path(root, vp)) return fail(e);
    if (!vp.exists) return fail(WIN_ERROR_PATH_NOT_FOUND);
    struct stat st;
    if (::stat(vp.native.c_str(), &st) != 0) return fail_errno(errno);
    const bool xattrs = volume_keeps_xattrs(vp.native);
    uint32_t flags = WP_FILE_CASE_PRESERVED_NAMES | WP_FILE_UNICODE_ON_DISK | WP_FILE_SUPPORTS_HARD_LINKS;
    if (xattrs) flags |= WP_FILE_SUPPORTS_REPARSE_POINTS;
    if (!copy_out("", volume_name, volume_name_size) || !copy_out(xattrs ? "NTFS" : "FAT", fs_name, fs_name_size))
        return fail(WIN_ERROR_INSUFFICIENT_BUFFER);
    if (serial) *serial = volume_serial_of_device(st.st_dev);
    if (max_component_length) *max_component_length = 255;
    if (fs_flags) *fs_flags = flags;
    return succeed();
}

uint32_t wp_get_drive_type(const char* root) {
    volume_path vp;
    if (resolve_path(root, vp) != 0 || !vp.exists) return WP_DRIVE_NO_ROOT_DIR;
    struct stat st;
    if (::stat(vp.native.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return WP_DRIVE_NO_ROOT_DIR;
    if (volume_root_depth(vp) != vp.components.size()) return WP_DRIVE_NO_ROOT_DIR;
    return is_remote(vp.native) ? WP_DRIVE_REMOTE : WP_DRIVE_FIXED;
}

bool wp_hard_links_available() { return true; }

bool wp_create_hard_link(const char* new_path, const char* existing_path) {
    volume_path from, to;
    if (uint32_t e = resolve_path(existing_path, from)) return fail(e);
    if (!from.exists) return fail(WIN_ERROR_FILE_NOT_FOUND);
    if (S_ISDIR(from.st.st_mode)) return fail(WIN_ERROR_ACCESS_DENIED);
    if (uint32_t e = resolve_path(new_path, to)) return fail(e);
    if (to.exists) return fail(WIN_ERROR_ALREADY_EXISTS);
    if (::link(from.native.c_str(), to.native.c_str()) != 0) {
        if (errno == EXDEV) return fail(WIN_ERROR_NOT_SAME_DEVICE);
        if (errno == EMLINK) return fail(1142);  // ERROR_TOO_MANY_LINKS
        return fail_errno(errno);
    }
    return succeed();
}

// A file id is an inode number, and Linux offers no sound way back from an
// inode number to a name: the group is reported unavailable.
bool wp_file_ids_available() { return false; }

wp_handle wp_open_file_by_id(wp_handle, uint64_t, uint32_t, uint32_t, uint32_t) {
    set_file_error(WIN_ERROR_CALL_NOT_IMPLEMENTED);
    return WP_INVALID_HANDLE;
}

size_t wp_get_final_path_name_by_handle(wp_handle, char* out, size_t size, uint32_t) {
    if (out && size) out[0] = 0;
    set_file_error(WIN_ERROR_CALL_NOT_IMPLEMENTED);
    return 0;
}

// The stand-in volume sets reparse data without a privilege.
void wp_enable_restore_privilege() {}

// It behaves as a Windows with symbolic links.
uint32_t wp_windows_major_version() { return 10; }
