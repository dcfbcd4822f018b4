// A file mapped into memory, read and written in place. The file is opened
// for reading and writing and not shared with anyone (a second opener fails);
// mapping it at a size beyond its end extends it; a new mapping replaces the
// old one only once it is in place, so a failed growth leaves the old view
// usable. The view's address may change at every mapping.
#pragma once
#include <cstddef>
#include <cstdint>

struct mapped_file {
    intptr_t file = -1;         // HANDLE or file descriptor; -1 when closed
    void* mapping = nullptr;    // the mapping object where the OS has one
    uint8_t* view = nullptr;
    size_t view_size = 0;
};

// Opens (creating when absent) the file at a Windows-form path. On failure
// *error (when given) holds the Win32 error number.
bool map_file_open(mapped_file& f, const char* path, uint32_t* error);
// The file's current size in bytes.
bool map_file_size(const mapped_file& f, uint64_t* size);
// Maps the first `size` bytes writable, extending the file (with zeros, the
// space reserved on disk where the OS can) when it is shorter.
bool map_file_map(mapped_file& f, size_t size);
// Starts writing the view's changed pages in [offset, offset + length) to
// the file; does not wait for the disk.
bool map_file_flush(const mapped_file& f, size_t offset, size_t length);
// Unmaps the view and closes the file (harmless when closed).
void map_file_close(mapped_file& f);
