// The wide-path file layer: one wrapper per Win32 file call. Paths are UTF-8
// in Windows form ("C:\dir\name", "\\?\C:\dir"); results follow the Win32
// calls, and after a failure file_last_error() gives the Win32 error number
// (platform/win_error.h). On Windows the
// calls are the system's; on POSIX they are served by an NTFS-like volume
// over the Linux tree (drive letters from platform/posix/drive_map.h).
#pragma once
#include "platform/win_error.h"

#include <cstddef>
#include <cstdint>

// ---- handles ---------------------------------------------------------------

// A raw file handle, as HANDLE on Windows. WP_INVALID_HANDLE marks failure.
using wp_handle = void*;
inline wp_handle const WP_INVALID_HANDLE = reinterpret_cast<wp_handle>(intptr_t(-1));
// A directory search opened by wp_find_first.
using wp_find_handle = void*;
inline wp_find_handle const WP_INVALID_FIND_HANDLE = reinterpret_cast<wp_find_handle>(intptr_t(-1));

// The error of the last failed call of this thread (GetLastError). As on
// Windows, a call that succeeds leaves it alone, except where Win32 reports
// success through it: wp_create_file (0, or ERROR_ALREADY_EXISTS for
// OPEN_ALWAYS / CREATE_ALWAYS on an existing file), wp_set_file_pointer and
// wp_get_file_size (0). On POSIX the value is thread-local.
uint32_t file_last_error();
// Sets it (SetLastError), for a wrapper that fails on its own account.
void file_set_last_error(uint32_t error);

// ---- constants (their Win32 values) -----------------------------------------

enum : uint32_t {
    // Access rights.
    WP_FILE_READ_DATA = 0x0001,
    WP_FILE_WRITE_DATA = 0x0002,
    WP_FILE_APPEND_DATA = 0x0004,
    WP_FILE_EXECUTE = 0x0020,
    WP_FILE_READ_ATTRIBUTES = 0x0080,
    WP_FILE_WRITE_ATTRIBUTES = 0x0100,
    WP_DELETE = 0x00010000,
    WP_SYNCHRONIZE = 0x00100000,
    WP_GENERIC_ALL = 0x10000000,
    WP_GENERIC_EXECUTE = 0x20000000,
    WP_GENERIC_WRITE = 0x40000000,
    WP_GENERIC_READ = 0x80000000,
    // Share modes.
    WP_FILE_SHARE_READ = 1,
    WP_FILE_SHARE_WRITE = 2,
    WP_FILE_SHARE_DELETE = 4,
    WP_FILE_SHARE_ALL = 7,
    // Creation dispositions.
    WP_CREATE_NEW = 1,
    WP_CREATE_ALWAYS = 2,
    WP_OPEN_EXISTING = 3,
    WP_OPEN_ALWAYS = 4,
    WP_TRUNCATE_EXISTING = 5,
    // Flags of wp_create_file (combined with attribute bits).
    WP_FILE_FLAG_WRITE_THROUGH = 0x80000000,
    WP_FILE_FLAG_SEQUENTIAL_SCAN = 0x08000000,
    WP_FILE_FLAG_BACKUP_SEMANTICS = 0x02000000,
    WP_FILE_FLAG_OPEN_REPARSE_POINT = 0x00200000,
    // Attribute bits.
    WP_FILE_ATTRIBUTE_READONLY = 0x0001,
    WP_FILE_ATTRIBUTE_HIDDEN = 0x0002,
    WP_FILE_ATTRIBUTE_SYSTEM = 0x0004,
    WP_FILE_ATTRIBUTE_DIRECTORY = 0x0010,
    WP_FILE_ATTRIBUTE_ARCHIVE = 0x0020,
    WP_FILE_ATTRIBUTE_NORMAL = 0x0080,
    WP_FILE_ATTRIBUTE_REPARSE_POINT = 0x0400,
    WP_INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF,
    // wp_set_file_pointer.
    WP_FILE_BEGIN = 0,
    WP_FILE_CURRENT = 1,
    WP_FILE_END = 2,
    WP_INVALID_SET_FILE_POINTER = 0xFFFFFFFF,
    WP_INVALID_FILE_SIZE = 0xFFFFFFFF,
    // wp_move_file_ex.
    WP_MOVEFILE_REPLACE_EXISTING = 1,
    WP_MOVEFILE_COPY_ALLOWED = 2,
    WP_MOVEFILE_WRITE_THROUGH = 8,  // returns once the move is on the disk
    // wp_find_first: information levels, search operations, flags.
    WP_FIND_EX_INFO_STANDARD = 0,
    WP_FIND_EX_INFO_BASIC = 1,
    WP_FIND_EX_SEARCH_NAME_MATCH = 0,
    WP_FIND_EX_SEARCH_LIMIT_TO_DIRECTORIES = 1,
    WP_FIND_FIRST_EX_CASE_SENSITIVE = 1,
    WP_FIND_FIRST_EX_LARGE_FETCH = 2,
    // Reparse point control codes and tags.
    WP_FSCTL_SET_REPARSE_POINT = 0x000900A4,
    WP_FSCTL_GET_REPARSE_POINT = 0x000900A8,
    WP_FSCTL_DELETE_REPARSE_POINT = 0x000900AC,
    WP_IO_REPARSE_TAG_MOUNT_POINT = 0xA0000003,
    WP_IO_REPARSE_TAG_SYMLINK = 0xA000000C,
    WP_IO_REPARSE_TAG_NFS = 0x80000014,
    WP_SYMLINK_FLAG_RELATIVE = 1,
    WP_MAXIMUM_REPARSE_DATA_BUFFER_SIZE = 16384,
    // wp_get_drive_type.
    WP_DRIVE_UNKNOWN = 0,
    WP_DRIVE_NO_ROOT_DIR = 1,
    WP_DRIVE_REMOVABLE = 2,
    WP_DRIVE_FIXED = 3,
    WP_DRIVE_REMOTE = 4,
    WP_DRIVE_CDROM = 5,
    WP_DRIVE_RAMDISK = 6,
    // File system flags of wp_get_volume_information.
    WP_FILE_CASE_SENSITIVE_SEARCH = 0x00000001,
    WP_FILE_CASE_PRESERVED_NAMES = 0x00000002,
    WP_FILE_UNICODE_ON_DISK = 0x00000004,
    WP_FILE_PERSISTENT_ACLS = 0x00000008,
    WP_FILE_SUPPORTS_REPARSE_POINTS = 0x00000080,
    WP_FILE_SUPPORTS_HARD_LINKS = 0x00400000,
    // wp_find_first_change_notification filters.
    WP_FILE_NOTIFY_CHANGE_FILE_NAME = 0x0001,
    WP_FILE_NOTIFY_CHANGE_DIR_NAME = 0x0002,
    // wp_get_final_path_name_by_handle.
    WP_VOLUME_NAME_DOS = 0,
    WP_VOLUME_NAME_GUID = 1,
};

// ---- records -----------------------------------------------------------------

// Times are FILETIME values: 100-ns ticks since 1601-01-01 UTC.
constexpr uint64_t WP_FILETIME_UNIX_EPOCH = 116444736000000000ull;

// GetFileAttributesExW, standard level.
struct wp_attribute_data {
    uint32_t attributes;
    uint64_t creation_time;
    uint64_t last_access_time;
    uint64_t last_write_time;
    uint64_t size;
};

// GetFileInformationByHandle.
struct wp_file_information {
    uint32_t attributes;
    uint64_t creation_time;
    uint64_t last_access_time;
    uint64_t last_write_time;
    uint32_t volume_serial;
    uint64_t size;
    uint32_t number_of_links;
    uint64_t file_index;
};

// One entry of a directory search.
struct wp_find_data {
    uint32_t attributes;
    uint64_t creation_time;
    uint64_t last_access_time;
    uint64_t last_write_time;
    uint64_t size;
    uint32_t reparse_tag;     // dwReserved0: the tag when attributes has REPARSE_POINT
    char name[260];           // UTF-8; empty when the UTF-8 form does not fit
    char alternate_name[14];  // the 8.3 name, empty when the volume keeps none
};

// ---- path calls ----------------------------------------------------------------

uint32_t wp_get_file_attributes(const char* path);  // WP_INVALID_FILE_ATTRIBUTES on failure
bool wp_get_file_attributes_ex(const char* path, wp_attribute_data* data);
bool wp_set_file_attributes(const char* path, uint32_t attributes);
wp_handle wp_create_file(const char* path, uint32_t access, uint32_t share, uint32_t disposition,
                         uint32_t flags_and_attributes);
bool wp_delete_file(const char* path);
bool wp_move_file(const char* from, const char* to);
bool wp_move_file_ex(const char* from, const char* to, uint32_t flags);
bool wp_copy_file(const char* from, const char* to, bool fail_if_exists);
bool wp_create_directory(const char* path);
bool wp_remove_directory(const char* path);

// ---- handle calls ----------------------------------------------------------------

bool wp_read_file(wp_handle h, void* buffer, uint32_t count, uint32_t* done);
bool wp_write_file(wp_handle h, const void* data, uint32_t count, uint32_t* done);
// As SetFilePointer: distance_high may be null (then the distance is a signed
// 32-bit value); returns the new position's low word, or
// WP_INVALID_SET_FILE_POINTER with a non-zero file_last_error() on failure.
uint32_t wp_set_file_pointer(wp_handle h, int32_t distance_low, int32_t* distance_high, uint32_t method);
// As GetFileSize: low word returned, high word in *high when given.
uint32_t wp_get_file_size(wp_handle h, uint32_t* high);
bool wp_flush_file_buffers(wp_handle h);
bool wp_set_end_of_file(wp_handle h);
bool wp_get_file_information_by_handle(wp_handle h, wp_file_information* info);
// Null pointers leave a time unread / unchanged.
bool wp_get_file_time(wp_handle h, uint64_t* creation, uint64_t* last_access, uint64_t* last_write);
bool wp_set_file_time(wp_handle h, const uint64_t* creation, const uint64_t* last_access,
                      const uint64_t* last_write);
bool wp_lock_file(wp_handle h, uint64_t offset, uint64_t length);
// LockFileEx with LOCKFILE_FAIL_IMMEDIATELY: a shared lock may overlap other
// shared locks and its own handle's exclusive ones (and bars writing through
// every handle); an exclusive one overlaps no lock at all.
bool wp_lock_file_ex(wp_handle h, bool exclusive, uint64_t offset, uint64_t length);
// Lifts the lock of exactly this range; of an exclusive and a shared one on
// it, the exclusive one first.
bool wp_unlock_file(wp_handle h, uint64_t offset, uint64_t length);
bool wp_device_io_control(wp_handle h, uint32_t code, const void* in, uint32_t in_size, void* out,
                          uint32_t out_size, uint32_t* returned);
bool wp_close_handle(wp_handle h);

// ---- directory search --------------------------------------------------------------

// `path` is a directory followed by a pattern with Windows wildcards.
wp_find_handle wp_find_first(const char* path, uint32_t info_level, wp_find_data* data, uint32_t search_op,
                             uint32_t flags);
bool wp_find_next(wp_find_handle h, wp_find_data* data);  // false with WIN_ERROR_NO_MORE_FILES at the end
bool wp_find_close(wp_find_handle h);

// ---- change notifications ------------------------------------------------------------

// FindFirstChangeNotificationW: a handle that becomes signalled when a change of
// the kinds in `filter` happens in the directory (WP_INVALID_HANDLE on failure).
// It stays signalled until wp_find_next_change_notification re-arms it.
wp_handle wp_find_first_change_notification(const char* path, bool watch_subtree, uint32_t filter);
bool wp_find_next_change_notification(wp_handle h);
bool wp_find_close_change_notification(wp_handle h);
// WaitForSingleObject(h, 0) == WAIT_OBJECT_0: a change was seen since the last arming.
bool wp_change_notification_signalled(wp_handle h);

// ---- volumes -------------------------------------------------------------------------

bool wp_get_disk_free_space_ex(const char* path, uint64_t* free_to_caller, uint64_t* total, uint64_t* total_free);
// The root of the volume holding `path`, with a trailing backslash, into out;
// out is empty on failure.
bool wp_get_volume_path_name(const char* path, char* out, size_t size);
// `root` is a volume root as given by wp_get_volume_path_name. Any output may be null.
bool wp_get_volume_information(const char* root, char* volume_name, size_t volume_name_size, uint32_t* serial,
                               uint32_t* max_component_length, uint32_t* fs_flags, char* fs_name,
                               size_t fs_name_size);
uint32_t wp_get_drive_type(const char* root);

// ---- groups bound at run time ----------------------------------------------------------

// CreateHardLinkW.
bool wp_hard_links_available();
bool wp_create_hard_link(const char* new_path, const char* existing_path);
// OpenFileById together with GetFinalPathNameByHandleW.
bool wp_file_ids_available();
wp_handle wp_open_file_by_id(wp_handle volume_hint, uint64_t file_id, uint32_t access, uint32_t share,
                             uint32_t flags);
// Returns the path's length (UTF-8 bytes), or 0 on failure (out then empty).
size_t wp_get_final_path_name_by_handle(wp_handle h, char* out, size_t size, uint32_t flags);

// ---- the process ------------------------------------------------------------------------

// Enables SeRestorePrivilege in the process token, which setting reparse
// points needs; failures are left to the reparse call to report.
void wp_enable_restore_privilege();
// The major version of the running Windows (below 6: junctions only).
uint32_t wp_windows_major_version();

// ---- RAII holder ----------------------------------------------------------------------------

// Owns one raw handle and closes it when it goes.
struct file_handle {
    wp_handle raw = WP_INVALID_HANDLE;

    file_handle() = default;
    explicit file_handle(wp_handle h) : raw(h) {}
    file_handle(const file_handle&) = delete;
    file_handle& operator=(const file_handle&) = delete;
    file_handle(file_handle&& o) noexcept : raw(o.release()) {}
    file_handle& operator=(file_handle&& o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    ~file_handle() { reset(); }

    bool valid() const { return raw != WP_INVALID_HANDLE; }
    wp_handle get() const { return raw; }
    wp_handle release() {
        wp_handle h = raw;
        raw = WP_INVALID_HANDLE;
        return h;
    }
    void reset(wp_handle h = WP_INVALID_HANDLE) {
        if (raw != WP_INVALID_HANDLE) wp_close_handle(raw);
        raw = h;
    }
};
