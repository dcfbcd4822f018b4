// The transport end to end on 127.0.0.1: a small program served by the main
// loop (UDP and a TCP listener), by UDP workers, and by connection threads,
// called through the loopback client.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>

#include "platform/thread.h"
#include "rpc/proc_table.h"
#include "rpc/settings.h"
#include "unit_support.h"

namespace {

constexpr uint32_t TEST_PROG = 0x20000151;
constexpr uint32_t TEST_VERS = 1;
constexpr uint32_t PROC_ECHO = 1;
constexpr uint32_t PROC_SUM = 2;

struct blob {
    uint32_t len;
    uint8_t data[4000];
};
struct sum_result {
    uint32_t count, total;
};

bool decode_blob(xdr_cursor* c, void* rec) {
    auto* b = static_cast<blob*>(rec);
    return xdr_get_u32(c, &b->len) && b->len <= sizeof b->data && xdr_get_bytes(c, b->data, b->len);
}
bool handle_echo(rpc_handle*, rpc_call*, const void* args, void* result) {
    const auto* in = static_cast<const blob*>(args);
    auto* out = static_cast<blob*>(result);
    if (in->len > 1024) return false;   // replies stay small
    out->len = in->len;
    std::memcpy(out->data, in->data, in->len);
    return true;
}
size_t encode_blob(uint8_t* dst, const void* result) {
    const auto* b = static_cast<const blob*>(result);
    return xdr_enc_opaque(dst, b->data, b->len);
}
bool handle_sum(rpc_handle*, rpc_call*, const void* args, void* result) {
    const auto* in = static_cast<const blob*>(args);
    auto* out = static_cast<sum_result*>(result);
    out->count = in->len;
    out->total = 0;
    for (uint32_t i = 0; i < in->len; ++i) out->total += in->data[i];
    return true;
}
size_t encode_sum(uint8_t* dst, const void* result) {
    const auto* r = static_cast<const sum_result*>(result);
    return xdr_enc_u32(dst, r->count) + xdr_enc_u32(dst + 4, r->total);
}

const rpc_proc k_procs[] = {
    {"test_null", nullptr, rpc_proc_void, nullptr, 0, 0},
    {"test_echo", decode_blob, handle_echo, encode_blob, sizeof(blob), sizeof(blob)},
    {"test_sum", decode_blob, handle_sum, encode_sum, sizeof(blob), sizeof(sum_result)},
};
const rpc_program k_program = {TEST_PROG, TEST_VERS, k_procs, 3};

void main_loop_thread(void* done) {
    rpc_main_loop();
    event_set(static_cast<plat_event*>(done));
}

bool no_serving_threads() { return rpc_serving_threads() == 0; }

uint16_t local_port(net_socket s) {
    net_addr4 a{};
    return net_local_address(s, &a) ? net_port_host(a) : 0;
}

// The outcome of one loopback call.
struct outcome {
    int check = 0;   // rpc_wait_reply: checked length or a negative code, 0 for none
    bytes results;
};

struct Loopback : testing::Test {
    rpc_settings saved = g_rpc_settings;
    uint16_t udp_port = 0, tcp_port = 0;
    plat_event* loop_done = nullptr;
    bool loop_running = false;

    void SetUp() override {
        g_rpc_settings.portmapper_registration = 0;   // no portmapper in unit tests
        g_rpc_settings.rpc_timeout = 2;
        ASSERT_EQ(rpc_serving_threads(), 0);
        rpc_reset();
    }

    // Builds the services and starts the main loop; udp_workers > 1 serves the
    // UDP socket with workers instead of the main loop.
    void start(int udp_workers = 0) {
        net_socket u = rpc_udp_server_socket(0x7F000001u, 0, udp_workers > 1);
        ASSERT_NE(u, NET_INVALID);
        udp_port = local_port(u);
        rpc_handle* uh = rpc_handle_create(u, RPC_UDP, udp_port, RPC_SERVICE_CAPACITY);
        ASSERT_NE(uh, nullptr);
        net_socket t = rpc_tcp_server_socket(0x7F000001u, 0);
        ASSERT_NE(t, NET_INVALID);
        tcp_port = local_port(t);
        rpc_handle* th = rpc_handle_create(t, RPC_TCP, tcp_port, RPC_SERVICE_CAPACITY);
        ASSERT_NE(th, nullptr);
        ASSERT_NE(udp_port, 0);
        ASSERT_NE(tcp_port, 0);
        ASSERT_TRUE(rpc_register(uh, &k_program, RPC_UDP));
        ASSERT_TRUE(rpc_register(th, &k_program, RPC_TCP));
        if (udp_workers > 1)
            ASSERT_TRUE(rpc_start_udp_workers(udp_workers, uh));
        else
            rpc_server_add(uh);
        rpc_server_add(th);
        loop_done = event_create(true, false);
        ASSERT_NE(loop_done, nullptr);
        ASSERT_TRUE(thread_start(main_loop_thread, loop_done));
        loop_running = true;
    }

    void TearDown() override {
        rpc_close_all();
        if (loop_running) {
            EXPECT_TRUE(event_wait(loop_done, 10000)) << "main loop did not end";
            event_close(loop_done);   // (leaked on failure: the loop may still set it)
        }
        EXPECT_TRUE(wait_until(no_serving_threads, 10000)) << rpc_serving_threads() << " serving threads left";
        rpc_unregister(TEST_PROG, TEST_VERS, RPC_UDP);
        g_rpc_settings = saved;
    }

    outcome call(uint16_t protocol, uint32_t version, uint32_t proc, const bytes& args,
                 int32_t capacity = RPC_CLIENT_CAPACITY) {
        outcome o;
        rpc_handle* h = rpc_handle_create(NET_INVALID, protocol, 0, capacity);
        if (!h) return o;
        size_t n = rpc_build_call(h, TEST_PROG, version, proc);
        if (n + args.size() <= size_t(capacity)) {
            if (!args.empty()) std::memcpy(h->buffer + n, args.data(), args.size());
            h->msg_len = int32_t(n + args.size());
            if (rpc_loopback_connect(h, protocol, protocol == RPC_TCP ? tcp_port : udp_port)) {
                if (rpc_send(h) > 0) {
                    o.check = rpc_wait_reply(h);
                    if (o.check >= RPC_REPLY_RESULTS) o.results.assign(h->buffer + RPC_REPLY_RESULTS, h->buffer + o.check);
                }
                h->socket = rpc_close_socket(h->socket);
            }
        }
        rpc_handle_free(h);
        return o;
    }
};

// A raw TCP connection to the test service, for records the client would not send.
struct raw_connection {
    net_socket s = NET_INVALID;
    rpc_handle* h = nullptr;
    explicit raw_connection(uint16_t port) {
        socket_guard g(net_tcp_socket());
        if (g.s == NET_INVALID || !net_connect(g.s, net_make_addr(0x7F000001u, port))) return;
        h = rpc_handle_create(g.s, RPC_TCP, 0, RPC_SERVICE_CAPACITY);
        if (h) s = g.release();
    }
    ~raw_connection() {
        rpc_close_socket(s);
        rpc_handle_free(h);
    }
    bool ok() const { return h != nullptr; }
    bool send_record(const bytes& m) {
        std::memcpy(h->buffer, m.data(), m.size());
        h->msg_len = int32_t(m.size());
        return rpc_send(h) > 0;
    }
    bool send_raw(const bytes& m) { return net_send(s, m.data(), int(m.size())) == int(m.size()); }
    bool read_record() { return rpc_read_record(h, 3000, 3000); }
    // The server closed its end: readable, and a receive returns 0.
    bool closed_by_server() {
        uint8_t b[16];
        return net_wait_one(s, 3000) == 1 && net_recv(s, b, sizeof b) == 0;
    }
};

call_spec test_call(uint32_t xid, uint32_t proc, const bytes& args) {
    call_spec c;
    c.xid = xid;
    c.program = TEST_PROG;
    c.version = TEST_VERS;
    c.procedure = proc;
    c.args = args;
    return c;
}

TEST_F(Loopback, NullAndEchoOverUdp) {
    start();
    g_idle_counter.store(7);
    outcome n = call(RPC_UDP, TEST_VERS, 0, {});
    EXPECT_EQ(n.check, RPC_REPLY_RESULTS);
    EXPECT_TRUE(n.results.empty());
    EXPECT_EQ(g_idle_counter.load(), 0) << "a served request resets the idle counter";
    outcome e = call(RPC_UDP, TEST_VERS, PROC_ECHO, wire{}.opaque("hello, loopback").b);
    EXPECT_EQ(e.results, wire{}.opaque("hello, loopback").b);
}

TEST_F(Loopback, NullAndEchoOverTcp) {
    start();
    outcome n = call(RPC_TCP, TEST_VERS, 0, {});
    EXPECT_EQ(n.check, RPC_REPLY_RESULTS);
    EXPECT_TRUE(n.results.empty());
    outcome e = call(RPC_TCP, TEST_VERS, PROC_ECHO, wire{}.opaque("over a stream").b);
    EXPECT_EQ(e.results, wire{}.opaque("over a stream").b);
}

TEST_F(Loopback, ErrorsReachTheClientAsCheckCodes) {
    start();
    EXPECT_EQ(call(RPC_UDP, TEST_VERS, 9, {}).check, -8);   // PROC_UNAVAIL
    EXPECT_EQ(call(RPC_TCP, 4, 0, {}).check, -6);           // PROG_MISMATCH
    EXPECT_EQ(call(RPC_UDP, TEST_VERS, PROC_ECHO, wire{}.u32(200).b).check, -9);   // GARBAGE_ARGS
}

TEST_F(Loopback, CallFillingTheClientBufferIsSentInTwoFragments) {
    start();
    bytes payload(20);
    uint32_t total = 0;
    for (size_t i = 0; i < payload.size(); ++i) total += payload[i] = uint8_t(i * 3 + 1);
    // 40 header bytes and 24 of arguments fill a 64-byte client buffer: 60 + 4.
    outcome o = call(RPC_TCP, TEST_VERS, PROC_SUM, wire{}.opaque(payload).b, 64);
    EXPECT_EQ(o.check, 32);
    EXPECT_EQ(o.results, wire{}.u32(20).u32(total).b);
}

TEST_F(Loopback, ServerJoinsTheFragmentsOfACall) {
    start();
    bytes payload(300);
    uint32_t total = 0;
    for (size_t i = 0; i < payload.size(); ++i) total += payload[i] = uint8_t(i * 7 + 3);
    bytes m = build_call(test_call(0x777, PROC_SUM, wire{}.opaque(payload).b));
    // Fragments of 100, 100 and the rest, each its own send.
    raw_connection c(tcp_port);
    ASSERT_TRUE(c.ok());
    for (size_t at = 0; at < m.size(); at += 100) {
        size_t n = std::min<size_t>(100, m.size() - at);
        bool last = at + n == m.size();
        ASSERT_TRUE(c.send_raw(wire{}.u32(uint32_t(n) | (last ? 0x80000000u : 0u)).raw(m.data() + at, n).b));
    }
    ASSERT_TRUE(c.read_record());
    EXPECT_EQ(message_of(c.h), wire{}.u32(0x777).u32(1).u32(0).u32(0).u32(0).u32(0).u32(300).u32(total).b);
}

TEST_F(Loopback, OneConnectionServesCallsBackToBack) {
    start();
    raw_connection c(tcp_port);
    ASSERT_TRUE(c.ok());
    std::set<uint32_t> sent, answered;
    for (uint32_t xid = 0x100; xid < 0x108; ++xid) {
        ASSERT_TRUE(c.send_record(build_call(test_call(xid, PROC_ECHO, wire{}.opaque("x").b))));
        sent.insert(xid);
    }
    // The group's threads may answer in either order; every call once.
    for (size_t i = 0; i < sent.size(); ++i) {
        ASSERT_TRUE(c.read_record()) << "reply " << i;
        ASSERT_EQ(c.h->msg_len, 32);
        EXPECT_TRUE(answered.insert(xdr_load32(c.h->buffer)).second) << "duplicate reply";
        EXPECT_EQ(bytes(c.h->buffer + 24, c.h->buffer + 32), wire{}.opaque("x").b);
    }
    EXPECT_EQ(answered, sent);
}

TEST_F(Loopback, RpcVersion3EndsTheConnectionAfterRpcMismatch) {
    start();
    raw_connection c(tcp_port);
    ASSERT_TRUE(c.ok());
    call_spec bad = test_call(0x3333, 0, {});
    bad.rpc_version = 3;
    ASSERT_TRUE(c.send_record(build_call(bad)));
    ASSERT_TRUE(c.read_record());
    EXPECT_EQ(message_of(c.h), wire{}.u32(0x3333).u32(1).u32(1).u32(0).u32(2).u32(2).b);
    EXPECT_TRUE(c.closed_by_server());
}

TEST_F(Loopback, EmptyOrOversizedRecordEndsTheConnectionWithoutReply) {
    start();
    {
        raw_connection c(tcp_port);
        ASSERT_TRUE(c.ok());
        ASSERT_TRUE(c.send_raw(wire{}.u32(0x80000000u).b));
        EXPECT_TRUE(c.closed_by_server());
    }
    {
        raw_connection c(tcp_port);
        ASSERT_TRUE(c.ok());
        ASSERT_TRUE(c.send_raw(wire{}.u32(0x80000000u | (RPC_SERVICE_CAPACITY + 4)).b));
        EXPECT_TRUE(c.closed_by_server());
    }
    // The service itself carries on.
    EXPECT_EQ(call(RPC_TCP, TEST_VERS, 0, {}).check, RPC_REPLY_RESULTS);
}

TEST_F(Loopback, UdpWorkersServeTheSocket) {
    start(3);
    EXPECT_GE(rpc_serving_threads(), 3);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(call(RPC_UDP, TEST_VERS, 0, {}).check, RPC_REPLY_RESULTS) << i;
    outcome e = call(RPC_UDP, TEST_VERS, PROC_ECHO, wire{}.opaque("worker").b);
    EXPECT_EQ(e.results, wire{}.opaque("worker").b);
}

TEST_F(Loopback, SingleThreadConnections) {
    g_rpc_settings.tcp_threads = 1;
    start();
    outcome e = call(RPC_TCP, TEST_VERS, PROC_ECHO, wire{}.opaque("single").b);
    EXPECT_EQ(e.results, wire{}.opaque("single").b);
}

bool two_serving_threads() { return rpc_serving_threads() == 2; }
bool eight_or_more_serving_threads() { return rpc_serving_threads() >= 8; }

TEST_F(Loopback, ConnectionThreadsAreCappedAtEight) {
    g_rpc_settings.tcp_threads = 20;
    start();
    {
        raw_connection c(tcp_port);
        ASSERT_TRUE(c.ok());
        ASSERT_TRUE(c.send_record(build_call(test_call(0x45, 0, {}))));
        ASSERT_TRUE(c.read_record());
        ASSERT_TRUE(wait_until(eight_or_more_serving_threads, 3000)) << rpc_serving_threads();
        sleep_ms(200);   // a group still being started would grow past 8 by now
        EXPECT_EQ(rpc_serving_threads(), 8);
    }
    // The client's close ends the whole group.
    EXPECT_TRUE(wait_until(no_serving_threads, 5000)) << rpc_serving_threads();
}

TEST_F(Loopback, CloseAllEndsThreadsOfAnIdleConnection) {
    g_rpc_settings.tcp_threads = 2;
    start();
    raw_connection c(tcp_port);
    ASSERT_TRUE(c.ok());
    ASSERT_TRUE(c.send_record(build_call(test_call(0x44, 0, {}))));
    ASSERT_TRUE(c.read_record());
    EXPECT_TRUE(wait_until(two_serving_threads, 3000)) << rpc_serving_threads();
    rpc_close_all();
    EXPECT_TRUE(wait_until(no_serving_threads, 5000)) << rpc_serving_threads() << " threads still serve";
    EXPECT_TRUE(c.closed_by_server());
}

}  // namespace

// A datagram larger than the handle's buffer is dropped whole (never served
// cut short), and the next call is answered without the one-second pause of
// a failed receive.
void oversized_datagram_is_dropped(Loopback& t) {
    socket_guard u(net_udp_socket(false));
    ASSERT_NE(u.s, NET_INVALID);
    bytes big = build_call(test_call(0x0B16, 0, {}));
    big.resize(RPC_SERVICE_CAPACITY + 100, 0);
    const net_addr4 to = net_make_addr(0x7F000001u, t.udp_port);
    ASSERT_EQ(net_sendto(u.s, big.data(), int(big.size()), to), int(big.size()));
    EXPECT_EQ(net_wait_one(u.s, 1500), 0) << "the cut datagram was answered";
    const bytes small = build_call(test_call(0x5A11, 0, {}));
    ASSERT_EQ(net_sendto(u.s, small.data(), int(small.size()), to), int(small.size()));
    ASSERT_EQ(net_wait_one(u.s, 900), 1) << "no answer to the next call";
    uint8_t reply[64];
    ASSERT_GE(net_recvfrom(u.s, reply, sizeof reply, nullptr, nullptr), 4);
    EXPECT_EQ(xdr_load32(reply), 0x5A11u);
}

TEST_F(Loopback, OversizedDatagramIsDroppedByTheMainLoop) {
    start();
    oversized_datagram_is_dropped(*this);
}

TEST_F(Loopback, OversizedDatagramIsDroppedByWorkers) {
    start(2);
    oversized_datagram_is_dropped(*this);
}

// The reverse lookup that fills the host names of mounts.
TEST(host_name_of, loopback_has_a_name_that_leads_back_to_it) {
    const uint8_t bytes[4] = {127, 0, 0, 1};
    uint32_t loopback;
    std::memcpy(&loopback, bytes, 4);
    char name[512];
    ASSERT_TRUE(net_host_name_of(loopback, name, sizeof name));
    ASSERT_NE(name[0], 0);
    uint32_t back[8];
    const int n = net_resolve_ipv4(name, back, 8);
    bool found = false;
    for (int i = 0; i < n; ++i) found |= reinterpret_cast<const uint8_t*>(&back[i])[0] == 127;  // any 127.x.y.z
    EXPECT_TRUE(found) << name;
    char tiny[2] = {'x', 'x'};
    EXPECT_FALSE(net_host_name_of(loopback, tiny, sizeof tiny)) << "a cut name would be another host";
    EXPECT_EQ(tiny[0], 0);
}

// A reply to a client that has gone away draws an ICMP port-unreachable; the
// next datagram on the socket must still be received, not an error. (Linux
// reports no such errors on unconnected sockets, nor does Wine: the case
// bites on Windows itself.)
TEST(udp_socket, an_unreachable_peer_does_not_fail_the_next_receive) {
    const uint32_t loopback = 0x7F000001u;
    socket_guard server(net_udp_socket(false));
    ASSERT_NE(server.s, NET_INVALID);
    ASSERT_TRUE(net_bind(server.s, net_make_addr(loopback, 0)));
    net_addr4 server_addr{};
    ASSERT_TRUE(net_local_address(server.s, &server_addr));
    net_addr4 gone{};
    {
        socket_guard client(net_udp_socket(false));
        ASSERT_TRUE(net_bind(client.s, net_make_addr(loopback, 0)));
        ASSERT_TRUE(net_local_address(client.s, &gone));
    }
    ASSERT_EQ(net_sendto(server.s, "late reply", 10, gone), 10);
    ASSERT_EQ(net_wait_one(server.s, 200), 0) << "nothing to read yet";
    socket_guard other(net_udp_socket(false));
    ASSERT_EQ(net_sendto(other.s, "next call", 9, server_addr), 9);
    ASSERT_EQ(net_wait_one(server.s, 2000), 1);
    char buffer[64];
    net_addr4 peer{};
    int32_t peer_len = sizeof peer;
    EXPECT_EQ(net_recvfrom(server.s, buffer, sizeof buffer, &peer, &peer_len), 9) << "error " << net_last_error();
}
