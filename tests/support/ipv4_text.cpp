#include "tests/support/ipv4_text.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

uint32_t ip(const char* dotted) {
    unsigned a = 0, b = 0, c = 0, d = 0;
    EXPECT_EQ(std::sscanf(dotted, "%u.%u.%u.%u", &a, &b, &c, &d), 4) << dotted;
    const unsigned char bytes[4] = {uint8_t(a), uint8_t(b), uint8_t(c), uint8_t(d)};
    uint32_t v;
    std::memcpy(&v, bytes, 4);
    return v;
}
