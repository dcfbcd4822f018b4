#include "quen/config/char_class.h"

#include <array>

namespace {

constexpr std::array<uint8_t, 256> make_table() {
    std::array<uint8_t, 256> t{};
    for (auto& c : t) c = CHAR_SHORT_NAME;
    for (int b = 0; b < 32; ++b) t[b] = CHAR_INVALID;
    for (uint8_t b : {34, 42, 47, 58, 60, 62, 63, 92, 124, 127}) t[b] = CHAR_INVALID;
    for (uint8_t b : {32, 43, 44, 59, 61, 91, 93}) t[b] = CHAR_LONG_NAME;
    return t;
}

constexpr std::array<uint8_t, 256> kClass = make_table();

}  // namespace

uint8_t char_class(uint8_t byte) { return kClass[byte]; }

bool ascii_equal_ignoring_case(const char* a, const char* b, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z') x = char(x - 32);
        if (y >= 'a' && y <= 'z') y = char(y - 32);
        if (x != y) return false;
        if (x == 0) return true;
    }
    return true;
}
