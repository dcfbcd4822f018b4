// Little-endian bytes for reparse buffers built by the tests.
#pragma once
#include "platform/utf16.h"

#include <cstdint>
#include <string>

inline void put16(std::string& s, uint32_t v) {
    s.push_back(char(v & 0xFF));
    s.push_back(char((v >> 8) & 0xFF));
}
inline void put32(std::string& s, uint32_t v) {
    put16(s, v & 0xFFFF);
    put16(s, v >> 16);
}
// UTF-16LE of UTF-8 text (empty for text that is not UTF-8).
inline std::string utf16le(const std::string& text) {
    std::u16string w;
    utf8_to_utf16(text, w);
    std::string b;
    for (char16_t c : w) put16(b, uint16_t(c));
    return b;
}
