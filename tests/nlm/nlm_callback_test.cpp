// The callback sender's order: what a serving thread queues while it holds
// goes out only after the hold ends, while other threads' calls go at once.
#include "quen/nlm/nlm_callback.h"

#include "platform/net.h"
#include "platform/thread.h"
#include "rpc/xdr.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

namespace {

// The version a GETPORT to the test's portmapper asks for; each is answered
// "no such program", which ends that call. 0: none came.
uint32_t next_getport_version(net_socket s) {
    uint8_t buf[512];
    net_addr4 peer{};
    int32_t peer_len = NET_ADDR4_LEN;
    if (net_wait_one(s, 10000) <= 0) return 0;
    const int n = net_recvfrom(s, buf, sizeof buf, &peer, &peer_len);
    if (n < 48) return 0;
    uint8_t reply[28] = {};
    std::memcpy(reply, buf, 4);   // xid; REPLY, accepted, null verifier, SUCCESS, port 0
    reply[7] = 1;
    net_sendto(s, reply, sizeof reply, peer);
    return xdr_load32(buf + 44);   // after ten header words: program, version
}

nlm_outgoing call_to(uint32_t addr, uint32_t version, uint32_t procedure) {
    nlm_outgoing c{};
    c.addr = addr;
    c.version = version;
    c.procedure = procedure;
    return c;
}

// The sender started against a portmapper of the test's own on loopback.
struct NlmCallback : testing::Test {
    socket_guard portmap{NET_INVALID};
    const uint32_t loopback = net_make_addr(0x7F000001u, 0).addr;
    void SetUp() override {
        ASSERT_TRUE(net_startup());
        portmap.s = net_udp_socket(false);
        net_addr4 local = net_make_addr(0x7F000001u, 0);
        ASSERT_TRUE(net_bind(portmap.s, local) && net_local_address(portmap.s, &local));
        nlm_callback_set_portmap_port(net_port_host(local));
        ASSERT_TRUE(nlm_callback_start());
    }
    void TearDown() override {
        nlm_callback_stop();
        nlm_callback_set_portmap_port(0);
        net_cleanup();
    }
};

TEST_F(NlmCallback, HeldCallsWaitForTheHoldToEnd) {
    static nlm_outgoing held{}, other{};
    held = call_to(loopback, 1, 5);
    other = call_to(loopback, 4, 5);
    {
        const nlm_callback_hold hold;
        ASSERT_TRUE(nlm_callback_queue(held));
        std::thread([] { EXPECT_TRUE(nlm_callback_queue(other)); }).join();
        EXPECT_EQ(next_getport_version(portmap.s), 4u);
    }
    EXPECT_EQ(next_getport_version(portmap.s), 1u);
}

// A destination whose portmapper never answers (a forged source, say) is
// asked once for its port, holds a few results of the queue, and leaves the
// grants their own room.
TEST_F(NlmCallback, ASilentDestinationIsAskedOnceAndHoldsAFewResults) {
    static nlm_outgoing result;
    result = call_to(loopback, 4, 11);   // TEST_RES
    int queued = 0;
    for (int i = 0; i < 3 * kCallbackResultsPerDestination; ++i) queued += nlm_callback_queue(result);
    EXPECT_EQ(queued, kCallbackResultsPerDestination);
    result = call_to(loopback, 4, 5);   // GRANTED
    EXPECT_TRUE(nlm_callback_queue(result)) << "grants have their own room";
    int getports = 0;
    uint8_t buf[512];
    for (uint32_t start = tick_count_ms(); tick_count_ms() - start < 1500;) {
        if (net_wait_one(portmap.s, 100) <= 0) continue;
        net_addr4 peer{};
        int32_t peer_len = NET_ADDR4_LEN;
        getports += net_recvfrom(portmap.s, buf, sizeof buf, &peer, &peer_len) > 0;
    }
    EXPECT_EQ(getports, 1) << "one short GETPORT, remembered for the rest";
}

}  // namespace
