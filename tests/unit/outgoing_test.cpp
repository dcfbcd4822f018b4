// Outgoing calls, handles and the small transport helpers.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/thread.h"
#include "rpc/settings.h"
#include "unit_support.h"

namespace {

TEST(OutgoingXid, NeverZeroAndCounting) {
    uint32_t a = rpc_next_xid();
    uint32_t b = rpc_next_xid();
    EXPECT_NE(a, 0u);
    EXPECT_EQ(b, a + 1);
}

TEST(OutgoingCall, HeaderWithAuthNullIsFortyBytes) {
    rpc_handle* h = rpc_handle_create(NET_INVALID, RPC_UDP, 0, RPC_CLIENT_CAPACITY);
    ASSERT_NE(h, nullptr);
    std::memset(h->buffer, 0xAA, 64);
    size_t n = rpc_build_call(h, PMAP_PROGRAM, PMAP_VERSION, PMAPPROC_SET);
    ASSERT_EQ(n, 40u);
    EXPECT_NE(h->xid, 0u);
    EXPECT_EQ(bytes(h->buffer, h->buffer + 40),
              wire{}.u32(h->xid).u32(0).u32(2).u32(100000).u32(2).u32(1).u32(0).u32(0).u32(0).u32(0).b);
    EXPECT_EQ(h->buffer[40], 0xAA);
    uint32_t first = h->xid;
    rpc_build_call(h, 1, 2, 3);
    EXPECT_NE(h->xid, first) << "every call takes a new xid";
    rpc_handle_free(h);
}

size_t encode_word_pair(uint8_t* dst, const void* args) {
    const auto* v = static_cast<const uint32_t*>(args);
    return xdr_enc_u32(dst, v[0]) + xdr_enc_u32(dst + 4, v[1]);
}

TEST(OutgoingCall, SendCallCarriesTheReceivedCredentialInWireForm) {
    reply_capture cap;
    ASSERT_TRUE(cap.ok());
    call_spec in;
    in.xid = 0x99;
    in.program = 100021;
    in.version = 4;
    in.procedure = 7;
    in.cred_flavor = AUTH_UNIX;
    in.cred = auth_unix_body(77, "client", 1000, 100, {10, 11});
    in.verf_flavor = 5;
    in.verf = {'a', 'b', 'c'};
    load_message(cap.h, build_call(in));
    rpc_call received{};
    ASSERT_TRUE(rpc_decode_call(cap.h, &received));

    const uint32_t args[2] = {0x01020304, 5};
    ASSERT_TRUE(rpc_send_call(cap.h, &received, 16, encode_word_pair, args));
    bytes got;
    ASSERT_TRUE(cap.next(&got));
    ASSERT_GE(got.size(), 4u);
    EXPECT_NE(cap.h->xid, 0x99u) << "a new call must not reuse the received xid";
    call_spec out = in;
    out.xid = cap.h->xid;
    out.procedure = 16;
    out.args = wire{}.u32(0x01020304).u32(5).b;
    EXPECT_EQ(got, build_call(out));
    EXPECT_EQ(cap.h->msg_len, int32_t(got.size()));
}

TEST(PortmapClient, RegistrationOffNeedsNoPortmapper) {
    uint32_t saved = g_rpc_settings.portmapper_registration;
    g_rpc_settings.portmapper_registration = 0;
    uint32_t start = tick_count_ms();
    EXPECT_TRUE(pmap_client_set(0x20000199, 1, RPC_UDP, 4711));
    EXPECT_TRUE(pmap_client_set(0x20000199, 1, RPC_UDP, 0));
    EXPECT_LT(tick_count_ms() - start, 1000u) << "waited for a portmapper that was never asked";
    g_rpc_settings.portmapper_registration = saved;
}

TEST(Handle, BufferFollowsTheMarkSlotInOneAllocation) {
    rpc_handle* h = rpc_handle_create(NET_INVALID, RPC_TCP, 2049, 8704);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->capacity, 8704);
    EXPECT_EQ(h->port, 2049);
    EXPECT_EQ(h->protocol, RPC_TCP);
    EXPECT_EQ(h->peer_len, NET_ADDR4_LEN);
    EXPECT_EQ(h->group, nullptr);
    EXPECT_EQ(h->msg_len, 0);
    ASSERT_NE(h->buffer, nullptr);
    EXPECT_EQ(h->mark_slot + 4, h->buffer);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(h->buffer) % 4, 0u);
    // The whole buffer is usable (the sanitizer catches a short allocation).
    std::memset(h->mark_slot, 0x5C, 4 + size_t(h->capacity));
    rpc_handle_free(h);

    rpc_handle* listener = rpc_handle_create(NET_INVALID, RPC_TCP, 111, 0);
    ASSERT_NE(listener, nullptr);
    EXPECT_EQ(listener->buffer, nullptr);
    EXPECT_EQ(listener->mark_slot, nullptr);
    rpc_handle_free(listener);
}

TEST(ServerSockets, BindToLoopbackAndReportThePort) {
    net_socket u = rpc_udp_server_socket(0x7F000001u, 0, false);
    net_socket t = rpc_tcp_server_socket(0x7F000001u, 0);
    ASSERT_NE(u, NET_INVALID);
    ASSERT_NE(t, NET_INVALID);
    net_addr4 ua{}, ta{};
    ASSERT_TRUE(net_local_address(u, &ua));
    ASSERT_TRUE(net_local_address(t, &ta));
    EXPECT_EQ(net_addr_host(ua), 0x7F000001u);
    EXPECT_NE(net_port_host(ua), 0);
    EXPECT_NE(net_port_host(ta), 0);
    // The same UDP port cannot be taken twice.
    EXPECT_EQ(rpc_udp_server_socket(0x7F000001u, net_port_host(ua), false), NET_INVALID);
    EXPECT_EQ(rpc_close_socket(u), NET_INVALID);
    EXPECT_EQ(rpc_close_socket(t), NET_INVALID);
    EXPECT_EQ(rpc_close_socket(NET_INVALID), NET_INVALID);
}

TEST(LocalAddress, LoopbackAndOwnAddressesAreLocal) {
    EXPECT_TRUE(rpc_is_local_address(net_make_addr(0x7F000001u, 0).addr));
    EXPECT_FALSE(rpc_is_local_address(net_make_addr(0xC0000201u, 0).addr));   // 192.0.2.1, documentation range
    uint32_t own[16];
    int n = net_local_ipv4_list(own, 16);
    for (int i = 0; i < n; ++i) EXPECT_TRUE(rpc_is_local_address(own[i]));
}

TEST(Datagram, ReceiveRecordsThePeerAndRefusesEmptyDatagrams) {
    reply_capture cap;
    ASSERT_TRUE(cap.ok());
    net_addr4 own{};
    ASSERT_TRUE(net_local_address(cap.h->socket, &own));
    net_addr4 sender{};
    ASSERT_TRUE(net_local_address(cap.peer, &sender));

    ASSERT_EQ(net_sendto(cap.peer, "abcdefgh", 8, own), 8);
    ASSERT_EQ(net_wait_one(cap.h->socket, 2000), 1);
    cap.h->peer = net_addr4{};
    ASSERT_TRUE(rpc_receive_datagram(cap.h));
    EXPECT_EQ(cap.h->msg_len, 8);
    EXPECT_EQ(message_of(cap.h), (bytes{'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'}));
    EXPECT_EQ(cap.h->peer.addr, sender.addr);
    EXPECT_EQ(cap.h->peer.port, sender.port);
    EXPECT_EQ(cap.h->peer_len, NET_ADDR4_LEN);

    ASSERT_EQ(net_sendto(cap.peer, "", 0, own), 0);
    ASSERT_EQ(net_wait_one(cap.h->socket, 2000), 1);
    EXPECT_FALSE(rpc_receive_datagram(cap.h));
    EXPECT_EQ(cap.h->msg_len, 0) << "the previous datagram's length was left behind";
}

}  // namespace
