// The sheet's local RPC query against a small service of the test's own on
// 127.0.0.1: the reply found by its transaction id over UDP, and a reply
// in two record fragments over TCP.
#include "lumeno/core/panel_rpc.h"
#include "platform/net.h"
#include "platform/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

namespace {

uint32_t be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }
void put_be32(std::vector<uint8_t>& b, uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) b.push_back(uint8_t(v >> s));
}

// An accepted reply to xid with one result word.
std::vector<uint8_t> reply(uint32_t xid, uint32_t result) {
    std::vector<uint8_t> b;
    for (uint32_t w : {xid, 1u, 0u, 0u, 0u, 0u, result}) put_be32(b, w);
    return b;
}

struct service {
    net_socket s = NET_INVALID;
    uint16_t port = 0;
    std::atomic<bool> done{false};
    uint32_t program = 0;
};

void serve_udp(void* arg) {
    auto* sv = static_cast<service*>(arg);
    uint8_t call[512];
    net_addr4 peer{};
    int32_t len = NET_ADDR4_LEN;
    const int n = net_recvfrom(sv->s, call, sizeof call, &peer, &len);
    if (n >= 24) {
        sv->program = be32(call + 12);
        const uint32_t xid = be32(call);
        const std::vector<uint8_t> stale = reply(xid - 1, 1), good = reply(xid, 42);
        net_sendto(sv->s, stale.data(), int(stale.size()), peer);   // another call's answer comes first
        net_sendto(sv->s, good.data(), int(good.size()), peer);
    }
    sv->done = true;
}

void serve_tcp(void* arg) {
    auto* sv = static_cast<service*>(arg);
    net_addr4 peer{};
    int32_t len = NET_ADDR4_LEN;
    const net_socket c = net_accept(sv->s, &peer, &len);
    uint8_t call[512];
    int got = 0;
    while (c != NET_INVALID && got < 44) {
        const int n = net_recv(c, call + got, int(sizeof call) - got);
        if (n <= 0) break;
        got += n;
    }
    if (got >= 44) {
        sv->program = be32(call + 16);
        const std::vector<uint8_t> r = reply(be32(call + 4), 7);
        std::vector<uint8_t> out;
        put_be32(out, 12);   // a first fragment of 12 bytes
        out.insert(out.end(), r.begin(), r.begin() + 12);
        put_be32(out, 0x80000000u | uint32_t(r.size() - 12));
        out.insert(out.end(), r.begin() + 12, r.end());
        net_send(c, out.data(), int(out.size()));
    }
    if (c != NET_INVALID) net_close(c);
    sv->done = true;
}

bool open_service(service& sv, bool tcp) {
    sv.s = tcp ? net_tcp_socket() : net_udp_socket(false);
    net_addr4 local{};
    if (sv.s == NET_INVALID || !net_bind(sv.s, net_make_addr(0x7F000001u, 0)) || (tcp && !net_listen(sv.s, 1)) ||
        !net_local_address(sv.s, &local))
        return false;
    sv.port = net_port_host(local);
    return true;
}

}  // namespace

TEST(panel_rpc_query, over_udp_and_tcp) {
    ASSERT_TRUE(net_startup());
    for (bool tcp : {false, true}) {
        service sv;
        ASSERT_TRUE(open_service(sv, tcp));
        ASSERT_TRUE(thread_start(tcp ? serve_tcp : serve_udp, &sv));
        std::vector<uint8_t> result;
        const int rc = panel_rpc_query(kRpcMount, 2, 5, sv.port, tcp, &result);
        while (!sv.done) sleep_ms(10);
        net_close(sv.s);
        EXPECT_EQ(rc, 1) << (tcp ? "tcp" : "udp");
        EXPECT_EQ(sv.program, kRpcMount);
        ASSERT_EQ(result.size(), 4u);
        EXPECT_EQ(be32(result.data()), tcp ? 7u : 42u) << "the reply of this call, not the stale one";
    }
    net_cleanup();
}
