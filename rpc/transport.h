// The RPC transport: handles with their message buffers, server sockets, the
// server list and main loop, UDP workers, TCP connection threads with record
// marking, and the loopback client.
#pragma once
#include <atomic>
#include <cstdint>

#include "platform/net.h"

enum : uint16_t {
    RPC_UDP = 17,
    RPC_TCP = 6,
};

struct conn_group;
struct conn_entry;

// One per socket and serving thread. The fixed part, the 4-byte record-mark
// slot and `capacity` bytes of buffer are one allocation.
struct rpc_handle {
    rpc_handle* next;     // link in the server list
    net_socket socket;
    uint16_t port;        // local port of the service (host order)
    uint16_t protocol;    // RPC_UDP or RPC_TCP
    int32_t peer_len;
    net_addr4 peer;       // UDP: sender of the current datagram; TCP: the accepted peer
    conn_group* group;    // threads sharing one TCP connection, or none
    conn_entry* entry;    // an accepted connection's place in the connection table, or none
    int32_t thread_index;
    uint32_t xid;         // transaction id of the message being handled
    int32_t msg_len;      // valid bytes in buffer
    int32_t capacity;     // size of buffer
    uint8_t* mark_slot;   // the 4 bytes immediately in front of buffer
    uint8_t* buffer;
};

constexpr int32_t RPC_CLIENT_CAPACITY = 1500;    // portmapper client calls
constexpr int32_t RPC_SERVICE_CAPACITY = 8192;   // MOUNT, NLM, built-in portmapper
constexpr int RPC_MAX_SERVER_SOCKETS = 64;
constexpr int RPC_MAX_TCP_THREADS = 8;

// Server sockets; addr and port in host order. Invalid on any failure.
net_socket rpc_udp_server_socket(uint32_t local_addr, uint16_t port, bool overlapped);
net_socket rpc_tcp_server_socket(uint32_t local_addr, uint16_t port);
net_socket rpc_close_socket(net_socket s);   // closes a valid socket; yields NET_INVALID

rpc_handle* rpc_handle_create(net_socket s, uint16_t protocol, uint16_t port, int32_t capacity);
void rpc_handle_free(rpc_handle* h);   // frees the handle, not its socket

void rpc_server_add(rpc_handle* h);
// n <= 1 starts nothing: the caller adds the handle to the server list instead.
bool rpc_start_udp_workers(int n, rpc_handle* h);

bool rpc_receive_datagram(rpc_handle* h);

// Record marking. A receive function returns bytes read (> 0) or <= 0 on
// failure, as recv does; `between` (optional) waits before each further
// fragment and fails on time-out.
using rpc_recv_fn = int (*)(void* ctx, uint8_t* dst, int len);
using rpc_wait_fn = bool (*)(void* ctx);
bool rpc_read_record_from(rpc_handle* h, rpc_recv_fn recv, rpc_wait_fn between, void* ctx);
// From the handle's socket. Every receive waits at most idle_ms (< 0: no limit);
// between_ms >= 0 also waits that long before each further fragment (client use).
bool rpc_read_record(rpc_handle* h, int idle_ms, int between_ms);

// Sends msg_len bytes of the buffer to the peer. Result: bytes of the last send,
// 0 when a TCP send failed, -1 when a UDP send failed three times.
int rpc_send(rpc_handle* h);
// For TCP: sends the record through `send` in fragments of at most capacity - 4
// bytes, framing them in place.
using rpc_send_fn = int (*)(void* ctx, const uint8_t* src, int len);
int rpc_send_record_with(rpc_handle* h, rpc_send_fn send, void* ctx);

bool rpc_loopback_connect(rpc_handle* h, uint16_t protocol, uint16_t port);
int rpc_wait_reply(rpc_handle* h);   // checked reply length, or 0
bool rpc_is_local_address(uint32_t addr_net);

// The main loop serves the server list until rpc_close_all.
void rpc_main_loop();
void rpc_close_all();
void rpc_reset();

// Consecutive main-loop time-outs since the last dispatched request (advisory).
extern std::atomic<int> g_idle_counter;
// Serving threads (UDP workers and connection threads) alive now.
int rpc_serving_threads();
