// Message buffers of accepted TCP connections: taken when a record begins,
// given back after its reply, so that a connection between requests holds
// none. Freed buffers are kept for the next records, at most RPC_POOL_KEEP of
// each capacity; the rest go back to the system.
#pragma once
#include <cstdint>

constexpr uint32_t RPC_POOL_KEEP = 8;

// 4 + capacity bytes: the record-mark slot, then the buffer. Null without memory.
uint8_t* rpc_pool_take(int32_t capacity);
void rpc_pool_give(uint8_t* block, int32_t capacity);   // null is ignored

// Freed buffers of that capacity kept now; blocks taken and not given back.
uint32_t rpc_pool_kept(int32_t capacity);
uint32_t rpc_pool_out();
