// Paths as the code above this seam sees them: UTF-8 in Windows form
// ("C:\data\quen\"). These helpers turn configured text into that form, open
// standard C streams by such a path and tell where the program lives.
#pragma once
#include <cstddef>
#include <cstdio>

// Copies a path setting into Windows form. On POSIX a path written the POSIX
// way ("/var/lib/quen/") becomes one on drive Z:, the root of the file system.
// Result: the length, or 0 when it does not fit (out is then empty).
size_t path_from_setting(const char* text, char* out, size_t size);

// fopen by a Windows-form path; on POSIX the drive letter is looked up in the
// drive map (Z: is "/", other letters are values of the key Drives).
FILE* path_fopen(const char* path, const char* mode);

// The program's directory in Windows form with a trailing backslash.
// Result: the length, or 0 on failure.
size_t program_directory(char* out, size_t size);
