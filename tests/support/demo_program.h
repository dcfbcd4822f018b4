// A small RPC program for tests and benchmarks: NULL and ECHO in versions 1 and 2.
#pragma once
#include <cstdint>

#include "rpc/message.h"

constexpr uint32_t DEMO_PROGRAM = 536870913;
constexpr uint32_t DEMO_VERSION_LOW = 1;
constexpr uint32_t DEMO_VERSION_HIGH = 2;
constexpr uint32_t DEMO_ECHO_MAX = 1024;   // ECHO takes and returns opaque<1024>

enum : uint32_t {
    DEMO_PROC_NULL = 0,
    DEMO_PROC_ECHO = 1,
};

struct rpc_program;
// The procedure tables of versions 1 and 2.
const rpc_program* demo_program(uint32_t version);

// Adds both versions to the program list and registers them with the
// portmapper for h's protocol and port. Result: every registration succeeded.
bool demo_register(rpc_handle* h);
// Withdraws both versions for `protocol`.
void demo_unregister(uint16_t protocol);
