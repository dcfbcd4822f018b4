// Writing and stripping the reparse data of the links and device nodes
// clients make: junctions, Windows symbolic links and the NFS kind.
#pragma once
#include <cstddef>
#include <cstdint>

inline constexpr size_t kReparseTargetMax = 1024;   // UTF-16 characters, prefix included

// kind: REPARSE_JUNCTION ... REPARSE_NFS_BLK (quen/fs/attr.h). data: the
// target text in UTF-8 for links; for devices exactly 8 bytes, the major
// and minor numbers as little-endian 32-bit words. The path names an
// existing empty file or directory. false with file_last_error() set.
bool set_reparse_point(int kind, const char* path, const void* data, size_t length);
// Strips the reparse data of the object at path (its tag learnt first).
bool delete_reparse_point(const char* path);

// The REPARSE_DATA_BUFFER of a kind into out (WP_MAXIMUM_REPARSE_DATA_BUFFER_SIZE
// bytes). Result: its length, 0 when the kind or data does not fit it.
size_t build_reparse_buffer(int kind, const void* data, size_t length, uint8_t* out);
