// Conversions between internal Windows paths and the slash form clients see
// (C:\dir is /c/dir), and the checks of export folder paths.
#pragma once
#include <cstddef>

// Windows form -> slash form. source may be null (dest is converted in
// place); otherwise it is copied to dest (dest_size bytes) first. A drive
// letter is lowercased when the setting "Lowercase" is on. Result: the
// length; 0 with dest empty when source does not fit.
size_t windows_path_to_nfs(const char* source, char* dest, size_t dest_size);

// Slash form -> Windows form, as above. Bare drives and server names get
// their trailing backslash. Result: the length; 0 with dest empty when the
// result does not fit.
size_t nfs_path_to_windows(const char* source, char* dest, size_t dest_size);

// Whether the path starts with the long-path prefix "\\?\".
bool has_long_path_prefix(const char* path);

// Whether the path starts with a volume: a drive letter and colon, a
// "Volume{...}" name, or "\\server", optionally after "\\?\", followed by
// the end or a backslash.
bool is_windows_root_path(const char* path);

// Normalises the path in place (path_size bytes) and returns the length of
// its volume prefix with the separator: 3 for "C:\dir", 15 for
// "\\server\share\dir". The drive letter is uppercased, a missing separator
// after the prefix is added and one trailing backslash after it removed.
// 0 for an empty path, a "\\" path without a share, or no room.
size_t root_prefix_length(char* path, size_t path_size);
