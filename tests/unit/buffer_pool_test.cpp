// The pool of request buffers: freed buffers are reused, at most
// RPC_POOL_KEEP of a capacity are kept, and capacities never mix.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "rpc/buffer_pool.h"

namespace {

// Capacities no other code of this program uses.
constexpr int32_t kSmall = 1000;
constexpr int32_t kLarge = 70000;   // large enough to come from the system's pages

TEST(BufferPool, GivenBuffersAreReusedAndTheKeptOnesBounded) {
    const uint32_t out_before = rpc_pool_out();
    std::vector<uint8_t*> blocks;
    for (uint32_t i = 0; i < RPC_POOL_KEEP + 3; ++i) {
        uint8_t* b = rpc_pool_take(kSmall);
        ASSERT_NE(b, nullptr);
        std::memset(b, 0xA5, 4 + size_t(kSmall));   // the whole block is the caller's
        blocks.push_back(b);
    }
    EXPECT_EQ(rpc_pool_out(), out_before + RPC_POOL_KEEP + 3);
    for (uint8_t* b : blocks) rpc_pool_give(b, kSmall);
    EXPECT_EQ(rpc_pool_out(), out_before);
    EXPECT_EQ(rpc_pool_kept(kSmall), RPC_POOL_KEEP);

    for (uint32_t i = 0; i < RPC_POOL_KEEP; ++i) {
        uint8_t* b = rpc_pool_take(kSmall);
        EXPECT_NE(std::find(blocks.begin(), blocks.end(), b), blocks.end()) << "take " << i;
        rpc_pool_give(b, kSmall);
    }
    EXPECT_EQ(rpc_pool_kept(kSmall), RPC_POOL_KEEP);
}

TEST(BufferPool, ABufferOfOneCapacityIsNeverHandedOutForAnother) {
    uint8_t* small = rpc_pool_take(kSmall);
    ASSERT_NE(small, nullptr);
    rpc_pool_give(small, kSmall);
    uint8_t* large = rpc_pool_take(kLarge);
    ASSERT_NE(large, nullptr);
    EXPECT_NE(large, small);
    std::memset(large, 0x5A, 4 + size_t(kLarge));
    rpc_pool_give(large, kLarge);
    EXPECT_EQ(rpc_pool_kept(kLarge), 1u);
    EXPECT_EQ(rpc_pool_take(kLarge), large);
    rpc_pool_give(large, kLarge);
}

}  // namespace
