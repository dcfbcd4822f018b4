#include "unit_support.h"

#include <gtest/gtest.h>

#include <cstring>

#include "platform/thread.h"

namespace {

// Windows Sockets must be started once per process before any socket call.
struct net_environment : testing::Environment {
    void SetUp() override { ASSERT_TRUE(net_startup()); }
    void TearDown() override { net_cleanup(); }
};
[[maybe_unused]] testing::Environment* const g_net_environment =
    testing::AddGlobalTestEnvironment(new net_environment);

}  // namespace

wire& wire::u32(uint32_t v) {
    uint8_t w[4] = {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
    b.insert(b.end(), w, w + 4);
    return *this;
}

wire& wire::u64(uint64_t v) { return u32(uint32_t(v >> 32)).u32(uint32_t(v)); }

wire& wire::raw(const void* p, size_t n) {
    const auto* c = static_cast<const uint8_t*>(p);
    b.insert(b.end(), c, c + n);
    return *this;
}

wire& wire::opaque(const void* p, uint32_t n) {
    u32(n);
    raw(p, n);
    while (b.size() % 4) b.push_back(0);
    return *this;
}

bytes auth_unix_body(uint32_t stamp, const std::string& name, uint32_t uid, uint32_t gid,
                     const std::vector<uint32_t>& gids) {
    wire w;
    w.u32(stamp).opaque(name).u32(uid).u32(gid).u32(uint32_t(gids.size()));
    for (uint32_t g : gids) w.u32(g);
    return w.b;
}

bytes build_call(const call_spec& c) {
    wire w;
    w.u32(c.xid).u32(c.msg_type).u32(c.rpc_version).u32(c.program).u32(c.version).u32(c.procedure);
    w.u32(c.cred_flavor).opaque(c.cred);
    w.u32(c.verf_flavor).opaque(c.verf);
    w.raw(c.args);
    return w.b;
}

void load_message(rpc_handle* h, const bytes& m) {
    ASSERT_LE(m.size(), size_t(h->capacity));
    if (!m.empty()) std::memcpy(h->buffer, m.data(), m.size());
    h->msg_len = int32_t(m.size());
}

bytes message_of(const rpc_handle* h) {
    if (h->msg_len <= 0) return {};
    return bytes(h->buffer, h->buffer + h->msg_len);
}

reply_capture::reply_capture(int32_t capacity) {
    net_socket own = rpc_udp_server_socket(0x7F000001u, 0, false);
    peer = rpc_udp_server_socket(0x7F000001u, 0, false);
    net_addr4 to{};
    if (own == NET_INVALID || peer == NET_INVALID || !net_local_address(peer, &to)) {
        rpc_close_socket(own);
        peer = rpc_close_socket(peer);
        return;
    }
    h = rpc_handle_create(own, RPC_UDP, 0, capacity);
    if (!h) {
        rpc_close_socket(own);
        return;
    }
    h->peer = to;
    h->peer_len = NET_ADDR4_LEN;
}

reply_capture::~reply_capture() {
    if (h) {
        rpc_close_socket(h->socket);
        rpc_handle_free(h);
    }
    rpc_close_socket(peer);
}

bool reply_capture::next(bytes* out, int timeout_ms) {
    out->clear();
    if (net_wait_one(peer, timeout_ms) <= 0) return false;
    uint8_t buf[65536];
    int n = net_recvfrom(peer, buf, int(sizeof buf), nullptr, nullptr);
    if (n < 0) return false;
    out->assign(buf, buf + n);
    return true;
}

bool reply_capture::silent(int wait_ms) { return net_wait_one(peer, wait_ms) == 0; }

bool wait_until(bool (*cond)(), int timeout_ms) {
    uint32_t start = tick_count_ms();
    for (;;) {
        if (cond()) return true;
        if (int(tick_count_ms() - start) >= timeout_ms) return false;
        sleep_ms(10);
    }
}
