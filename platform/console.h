// Text for the console. The programs' text is UTF-8 throughout (names,
// paths, system messages); a Windows console shows bytes through its own
// code page (often an OEM one), so it is given wide text instead. A pipe or
// a file gets the UTF-8 bytes unchanged.
#pragma once
#include <cstdarg>
#include <cstddef>
#include <cstdio>

// Writes length bytes of UTF-8 text to stream (stdout or stderr, or any
// other stream, which always gets the bytes).
void console_write(FILE* stream, const char* text, size_t length);
// printf to stdout through console_write. The format is the program's own.
void console_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));
void console_vprintf(FILE* stream, const char* format, va_list ap) __attribute__((format(printf, 2, 0)));
