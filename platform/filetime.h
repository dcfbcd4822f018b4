// A FILETIME as Win32 passes it: two 32-bit halves, the low one first.
#pragma once
#include <cstdint>

struct wp_filetime_halves {
    uint32_t low, high;
};
constexpr wp_filetime_halves wp_filetime_split(uint64_t t) { return {uint32_t(t), uint32_t(t >> 32)}; }
constexpr uint64_t wp_filetime_join(uint32_t low, uint32_t high) { return uint64_t(high) << 32 | low; }
