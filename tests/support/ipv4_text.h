// IPv4 addresses in tests, written as text.
#pragma once
#include <cstdint>

// "a.b.c.d" to the address in network order; a malformed text fails the test.
uint32_t ip(const char* dotted);
