// File mapping with CreateFileMappingA and MapViewOfFile over a file opened
// without sharing.
#include "platform/file_map.h"

#include "platform/utf16.h"

#include <windows.h>

#include <string>

namespace {
HANDLE handle_of(const mapped_file& f) { return reinterpret_cast<HANDLE>(f.file); }
}  // namespace

bool map_file_open(mapped_file& f, const char* path, uint32_t* error) {
    std::u16string wide;
    if (!path || !utf8_to_utf16(path, wide)) {
        if (error) *error = ERROR_INVALID_NAME;
        return false;
    }
    HANDLE h = CreateFileW(reinterpret_cast<const wchar_t*>(wide.c_str()), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        if (error) *error = GetLastError();
        return false;
    }
    f = mapped_file{};
    f.file = reinterpret_cast<intptr_t>(h);
    return true;
}

bool map_file_size(const mapped_file& f, uint64_t* size) {
    if (f.file == -1) return false;
    DWORD high = 0;
    const DWORD low = GetFileSize(handle_of(f), &high);
    if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return false;
    *size = (uint64_t(high) << 32) | low;
    return true;
}

bool map_file_map(mapped_file& f, size_t size) {
    if (f.file == -1 || size == 0) return false;
    const uint64_t wide_size = size;
    // A mapping object larger than the file extends the file.
    HANDLE mapping = CreateFileMappingA(handle_of(f), nullptr, PAGE_READWRITE, DWORD(wide_size >> 32),
                                        DWORD(wide_size & 0xFFFFFFFFu), nullptr);
    if (!mapping) return false;
    void* view = MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, size);
    if (!view) {
        CloseHandle(mapping);
        return false;
    }
    if (f.view) UnmapViewOfFile(f.view);
    if (f.mapping) CloseHandle(f.mapping);
    f.mapping = mapping;
    f.view = static_cast<uint8_t*>(view);
    f.view_size = size;
    return true;
}

bool map_file_flush(const mapped_file& f, size_t offset, size_t length) {
    if (!f.view || offset > f.view_size) return false;
    if (length > f.view_size - offset) length = f.view_size - offset;
    return FlushViewOfFile(f.view + offset, length) != 0;
}

void map_file_close(mapped_file& f) {
    if (f.view) UnmapViewOfFile(f.view);
    if (f.mapping) CloseHandle(f.mapping);
    if (f.file != -1) CloseHandle(handle_of(f));
    f = mapped_file{};
}
