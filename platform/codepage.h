// Conversion between Windows code pages and UTF-8, in place on a caller's
// NUL-terminated buffer. Code pages are named by their Windows numbers: 0 is
// the system ANSI code page; the others supported are 437, 850, 852, 866,
// 874, 932, 936, 949, 950, 1250-1258 and 65001 (UTF-8).
#pragma once
#include <cstddef>
#include <cstdint>

// Converts the text in buffer (NUL-terminated within size bytes) from the
// code page to UTF-8. Result: the converted length; 0 when the text does not
// convert, is empty, or would not fit in size bytes with its NUL (a cut name
// would be another name). On failure the buffer is left unchanged.
size_t codepage_to_utf8(uint32_t code_page, char* buffer, size_t size);

// The reverse: UTF-8 to the code page. A character the code page cannot
// represent fails the conversion (no replacement or best-fit characters).
// On failure the buffer keeps the UTF-8 text. Result as above.
size_t utf8_to_codepage(uint32_t code_page, char* buffer, size_t size);

// The number that code page 0 stands for on this system.
uint32_t codepage_system_ansi();

// Whether the number (0 included) is a code page these conversions know.
bool codepage_supported(uint32_t code_page);
