// Which bytes Windows accepts in file names.
#pragma once
#include <cstddef>
#include <cstdint>

enum : uint8_t {
    CHAR_INVALID = 0,      // never in a Windows name
    CHAR_SHORT_NAME = 1,   // valid in long and 8.3 names
    CHAR_LONG_NAME = 2,    // valid in long names only
};

uint8_t char_class(uint8_t byte);
inline bool char_valid_in_name(uint8_t byte) { return char_class(byte) != CHAR_INVALID; }

// Whether the first n bytes of a and b agree when ASCII letters are taken
// without case (a NUL in both ends the comparison early with true).
bool ascii_equal_ignoring_case(const char* a, const char* b, size_t n);
