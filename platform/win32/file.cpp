// The wide-path layer on Windows: each wrapper converts its UTF-8 paths to
// UTF-16 at the call (at most 2048 wide characters; a path that does not
// convert becomes empty so that the call fails with the system's error).
#include "platform/file.h"
#include "platform/find_facts.h"
#include "platform/filetime.h"

#include <windows.h>
#include <winioctl.h>

#include <cstring>

namespace {

constexpr int kMaxWide = 2048;

// A UTF-16 copy of a path, empty when the UTF-8 text does not convert.
struct wide_path {
    wchar_t text[kMaxWide + 1];
    explicit wide_path(const char* utf8) {
        text[0] = 0;
        if (!utf8) return;
        const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, text, kMaxWide + 1);
        if (n <= 0) text[0] = 0;
    }
};

// Writes a UTF-16 text as UTF-8 into out; empty (false) when it does not fit.
bool to_utf8(const wchar_t* in, char* out, size_t size) {
    if (!out || size == 0) return false;
    out[0] = 0;
    const int n = WideCharToMultiByte(CP_UTF8, 0, in, -1, out, int(size), nullptr, nullptr);
    if (n <= 0) {
        out[0] = 0;
        return false;
    }
    return true;
}

uint64_t ticks(const FILETIME& t) { return wp_filetime_join(t.dwLowDateTime, t.dwHighDateTime); }
FILETIME filetime(uint64_t v) {
    const wp_filetime_halves h = wp_filetime_split(v);
    return FILETIME{h.low, h.high};
}

void fill_find_data(const WIN32_FIND_DATAW& w, wp_find_data* d) {
    d->attributes = w.dwFileAttributes;
    d->creation_time = ticks(w.ftCreationTime);
    d->last_access_time = ticks(w.ftLastAccessTime);
    d->last_write_time = ticks(w.ftLastWriteTime);
    d->size = (uint64_t(w.nFileSizeHigh) << 32) | w.nFileSizeLow;
    d->reparse_tag = (w.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? w.dwReserved0 : 0;
    to_utf8(w.cFileName, d->name, sizeof d->name);
    to_utf8(w.cAlternateFileName, d->alternate_name, sizeof d->alternate_name);
}

// OpenFileById's descriptor, declared here so that no Windows version macro matters.
struct file_id_descriptor {
    DWORD size;
    int type;  // 0: FileIdType
    union {
        LARGE_INTEGER file_id;
        GUID object_id;
        BYTE extended[16];
    };
};

using create_hard_link_fn = BOOL(WINAPI*)(LPCWSTR, LPCWSTR, LPSECURITY_ATTRIBUTES);
using open_file_by_id_fn = HANDLE(WINAPI*)(HANDLE, file_id_descriptor*, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD);
using final_path_fn = DWORD(WINAPI*)(HANDLE, LPWSTR, DWORD, DWORD);

FARPROC kernel32_entry(const char* name) {
    HMODULE k = GetModuleHandleW(L"kernel32.dll");
    return k ? GetProcAddress(k, name) : nullptr;
}

template <typename F>
F bound(const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void*>(kernel32_entry(name)));
}

create_hard_link_fn create_hard_link_entry() {
    static const create_hard_link_fn f = bound<create_hard_link_fn>("CreateHardLinkW");
    return f;
}
open_file_by_id_fn open_file_by_id_entry() {
    static const open_file_by_id_fn f = bound<open_file_by_id_fn>("OpenFileById");
    return f;
}
final_path_fn final_path_entry() {
    static const final_path_fn f = bound<final_path_fn>("GetFinalPathNameByHandleW");
    return f;
}

}  // namespace

uint32_t file_last_error() { return GetLastError(); }
void file_set_last_error(uint32_t error) { SetLastError(error); }

uint32_t wp_get_file_attributes(const char* path) { return GetFileAttributesW(wide_path(path).text); }

bool wp_get_file_attributes_ex(const char* path, wp_attribute_data* data) {
    WIN32_FILE_ATTRIBUTE_DATA w;
    if (!GetFileAttributesExW(wide_path(path).text, GetFileExInfoStandard, &w)) return false;
    data->attributes = w.dwFileAttributes;
    data->creation_time = ticks(w.ftCreationTime);
    data->last_access_time = ticks(w.ftLastAccessTime);
    data->last_write_time = ticks(w.ftLastWriteTime);
    data->size = (uint64_t(w.nFileSizeHigh) << 32) | w.nFileSizeLow;
    return true;
}

bool wp_set_file_attributes(const char* path, uint32_t attributes) {
    return SetFileAttributesW(wide_path(path).text, attributes) != 0;
}

wp_handle wp_create_file(const char* path, uint32_t access, uint32_t share, uint32_t disposition,
                         uint32_t flags_and_attributes) {
    return CreateFileW(wide_path(path).text, access, share, nullptr, disposition, flags_and_attributes, nullptr);
}

bool wp_delete_file(const char* path) { return DeleteFileW(wide_path(path).text) != 0; }

bool wp_move_file(const char* from, const char* to) {
    return MoveFileW(wide_path(from).text, wide_path(to).text) != 0;
}

bool wp_move_file_ex(const char* from, const char* to, uint32_t flags) {
    return MoveFileExW(wide_path(from).text, wide_path(to).text, flags) != 0;
}

bool wp_copy_file(const char* from, const char* to, bool fail_if_exists) {
    return CopyFileW(wide_path(from).text, wide_path(to).text, fail_if_exists) != 0;
}

bool wp_create_directory(const char* path) { return CreateDirectoryW(wide_path(path).text, nullptr) != 0; }
bool wp_remove_directory(const char* path) { return RemoveDirectoryW(wide_path(path).text) != 0; }

bool wp_read_file(wp_handle h, void* buffer, uint32_t count, uint32_t* done) {
    DWORD n = 0;
    const BOOL ok = ReadFile(h, buffer, count, &n, nullptr);
    if (done) *done = n;
    return ok != 0;
}

bool wp_write_file(wp_handle h, const void* data, uint32_t count, uint32_t* done) {
    DWORD n = 0;
    const BOOL ok = WriteFile(h, data, count, &n, nullptr);
    if (done) *done = n;
    return ok != 0;
}

uint32_t wp_set_file_pointer(wp_handle h, int32_t distance_low, int32_t* distance_high, uint32_t method) {
    LONG high = distance_high ? *distance_high : 0;
    const DWORD r = SetFilePointer(h, distance_low, distance_high ? &high : nullptr, method);
    if (distance_high) *distance_high = high;
    return r;
}

uint32_t wp_get_file_size(wp_handle h, uint32_t* high) {
    DWORD hi = 0;
    const DWORD r = GetFileSize(h, &hi);
    if (high) *high = hi;
    return r;
}

bool wp_flush_file_buffers(wp_handle h) { return FlushFileBuffers(h) != 0; }
bool wp_set_end_of_file(wp_handle h) { return SetEndOfFile(h) != 0; }

bool wp_get_file_information_by_handle(wp_handle h, wp_file_information* info) {
    BY_HANDLE_FILE_INFORMATION w;
    if (!GetFileInformationByHandle(h, &w)) return false;
    info->attributes = w.dwFileAttributes;
    info->creation_time = ticks(w.ftCreationTime);
    info->last_access_time = ticks(w.ftLastAccessTime);
    info->last_write_time = ticks(w.ftLastWriteTime);
    info->volume_serial = w.dwVolumeSerialNumber;
    info->size = (uint64_t(w.nFileSizeHigh) << 32) | w.nFileSizeLow;
    info->number_of_links = w.nNumberOfLinks;
    info->file_index = (uint64_t(w.nFileIndexHigh) << 32) | w.nFileIndexLow;
    return true;
}

bool wp_get_file_time(wp_handle h, uint64_t* creation, uint64_t* last_access, uint64_t* last_write) {
    FILETIME c, a, w;
    if (!GetFileTime(h, &c, &a, &w)) return false;
    if (creation) *creation = ticks(c);
    if (last_access) *last_access = ticks(a);
    if (last_write) *last_write = ticks(w);
    return true;
}

bool wp_set_file_time(wp_handle h, const uint64_t* creation, const uint64_t* last_access,
                      const uint64_t* last_write) {
    FILETIME c, a, w;
    if (creation) c = filetime(*creation);
    if (last_access) a = filetime(*last_access);
    if (last_write) w = filetime(*last_write);
    return SetFileTime(h, creation ? &c : nullptr, last_access ? &a : nullptr, last_write ? &w : nullptr) != 0;
}

bool wp_lock_file(wp_handle h, uint64_t offset, uint64_t length) {
    return LockFile(h, DWORD(offset), DWORD(offset >> 32), DWORD(length), DWORD(length >> 32)) != 0;
}

bool wp_lock_file_ex(wp_handle h, bool exclusive, uint64_t offset, uint64_t length) {
    OVERLAPPED at{};
    at.Offset = DWORD(offset);
    at.OffsetHigh = DWORD(offset >> 32);
    const DWORD flags = LOCKFILE_FAIL_IMMEDIATELY | (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0);
    return LockFileEx(h, flags, 0, DWORD(length), DWORD(length >> 32), &at) != 0;
}

bool wp_unlock_file(wp_handle h, uint64_t offset, uint64_t length) {
    return UnlockFile(h, DWORD(offset), DWORD(offset >> 32), DWORD(length), DWORD(length >> 32)) != 0;
}

bool wp_device_io_control(wp_handle h, uint32_t code, const void* in, uint32_t in_size, void* out,
                          uint32_t out_size, uint32_t* returned) {
    DWORD n = 0;
    const BOOL ok = DeviceIoControl(h, code, const_cast<void*>(in), in_size, out, out_size, &n, nullptr);
    if (returned) *returned = n;
    return ok != 0;
}

bool wp_close_handle(wp_handle h) { return CloseHandle(h) != 0; }

wp_find_handle wp_find_first(const char* path, uint32_t info_level, wp_find_data* data, uint32_t search_op,
                             uint32_t flags) {
    WIN32_FIND_DATAW w;
    HANDLE h = FindFirstFileExW(wide_path(path).text, FINDEX_INFO_LEVELS(info_level), &w,
                                FINDEX_SEARCH_OPS(search_op), nullptr, flags);
    if (h == INVALID_HANDLE_VALUE) return WP_INVALID_FIND_HANDLE;
    fill_find_data(w, data);
    return h;
}

bool wp_find_next(wp_find_handle h, wp_find_data* data) {
    WIN32_FIND_DATAW w;
    if (!FindNextFileW(h, &w)) return false;
    fill_find_data(w, data);
    return true;
}

bool wp_find_close(wp_find_handle h) { return FindClose(h) != 0; }

// WIN32_FIND_DATAW has no link count: the file must be opened for it.
bool wp_find_facts(wp_find_handle, wp_file_information*) { return false; }

bool wp_get_disk_free_space_ex(const char* path, uint64_t* free_to_caller, uint64_t* total, uint64_t* total_free) {
    ULARGE_INTEGER a, t, f;
    if (!GetDiskFreeSpaceExW(wide_path(path).text, &a, &t, &f)) return false;
    if (free_to_caller) *free_to_caller = a.QuadPart;
    if (total) *total = t.QuadPart;
    if (total_free) *total_free = f.QuadPart;
    return true;
}

bool wp_get_volume_path_name(const char* path, char* out, size_t size) {
    if (out && size) out[0] = 0;
    wchar_t buf[kMaxWide + 1];
    if (!GetVolumePathNameW(wide_path(path).text, buf, kMaxWide + 1)) return false;
    if (!to_utf8(buf, out, size)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return false;
    }
    return true;
}

bool wp_get_volume_information(const char* root, char* volume_name, size_t volume_name_size, uint32_t* serial,
                               uint32_t* max_component_length, uint32_t* fs_flags, char* fs_name,
                               size_t fs_name_size) {
    wchar_t name[MAX_PATH + 1], fs[MAX_PATH + 1];
    DWORD s = 0, m = 0, f = 0;
    if (!GetVolumeInformationW(wide_path(root).text, name, MAX_PATH + 1, &s, &m, &f, fs, MAX_PATH + 1))
        return false;
    if (volume_name) to_utf8(name, volume_name, volume_name_size);
    if (fs_name) to_utf8(fs, fs_name, fs_name_size);
    if (serial) *serial = s;
    if (max_component_length) *max_component_length = m;
    if (fs_flags) *fs_flags = f;
    return true;
}

wp_handle wp_find_first_change_notification(const char* path, bool watch_subtree, uint32_t filter) {
    HANDLE h = FindFirstChangeNotificationW(wide_path(path).text, watch_subtree, filter);
    return h == INVALID_HANDLE_VALUE || h == nullptr ? WP_INVALID_HANDLE : h;
}
bool wp_find_next_change_notification(wp_handle h) { return FindNextChangeNotification(h) != 0; }
bool wp_find_close_change_notification(wp_handle h) { return FindCloseChangeNotification(h) != 0; }
bool wp_change_notification_signalled(wp_handle h) { return WaitForSingleObject(h, 0) == WAIT_OBJECT_0; }

uint32_t wp_get_drive_type(const char* root) { return GetDriveTypeW(wide_path(root).text); }

bool wp_hard_links_available() { return create_hard_link_entry() != nullptr; }

bool wp_create_hard_link(const char* new_path, const char* existing_path) {
    const create_hard_link_fn f = create_hard_link_entry();
    if (!f) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return false;
    }
    return f(wide_path(new_path).text, wide_path(existing_path).text, nullptr) != 0;
}

bool wp_file_ids_available() { return open_file_by_id_entry() && final_path_entry(); }

wp_handle wp_open_file_by_id(wp_handle volume_hint, uint64_t file_id, uint32_t access, uint32_t share,
                             uint32_t flags) {
    const open_file_by_id_fn f = open_file_by_id_entry();
    if (!f) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return WP_INVALID_HANDLE;
    }
    file_id_descriptor d;
    std::memset(&d, 0, sizeof d);
    d.size = sizeof d;
    d.type = 0;
    d.file_id.QuadPart = LONGLONG(file_id);
    return f(volume_hint, &d, access, share, nullptr, flags);
}

size_t wp_get_final_path_name_by_handle(wp_handle h, char* out, size_t size, uint32_t flags) {
    if (out && size) out[0] = 0;
    const final_path_fn f = final_path_entry();
    if (!f) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return 0;
    }
    wchar_t buf[kMaxWide + 1];
    const DWORD n = f(h, buf, kMaxWide + 1, flags);
    if (n == 0 || n > kMaxWide) {
        if (n > kMaxWide) SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (!to_utf8(buf, out, size)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    return std::strlen(out);
}

void wp_enable_restore_privilege() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return;
    TOKEN_PRIVILEGES tp{};
    tp.PrivilegeCount = 1;
    tp.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (LookupPrivilegeValueA(nullptr, "SeRestorePrivilege", &tp.Privileges[0].Luid))
        AdjustTokenPrivileges(token, FALSE, &tp, sizeof tp, nullptr, nullptr);
    CloseHandle(token);
}

uint32_t wp_windows_major_version() {
    // GetVersion keeps answering for the manifested version; its low byte
    // is the major number, which is all that is asked here.
    return uint32_t(GetVersion() & 0xFF);
}
