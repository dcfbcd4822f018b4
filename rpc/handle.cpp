// Handles and server sockets.
#include <cstdlib>
#include <new>

#include "rpc/log.h"
#include "rpc/transport.h"

namespace {

// Fixed part rounded up so that the mark slot and the buffer stay word aligned.
constexpr size_t fixed_part = (sizeof(rpc_handle) + 7) & ~size_t(7);

net_socket bound_socket(net_socket s, uint32_t local_addr, uint16_t port) {
    if (s == NET_INVALID) return NET_INVALID;
    if (!net_bind(s, net_make_addr(local_addr, port))) return rpc_close_socket(s);
    return s;
}

}  // namespace

net_socket rpc_close_socket(net_socket s) {
    if (s != NET_INVALID) net_close(s);
    return NET_INVALID;
}

net_socket rpc_udp_server_socket(uint32_t local_addr, uint16_t port, bool overlapped) {
    net_socket s = bound_socket(net_udp_socket(overlapped), local_addr, port);
    if (s != NET_INVALID && !net_set_option(s, NET_SO_BROADCAST, 1)) return rpc_close_socket(s);
    return s;
}

net_socket rpc_tcp_server_socket(uint32_t local_addr, uint16_t port) {
    net_socket s = net_tcp_socket();
    if (s == NET_INVALID) return s;
    // A restarted server must be able to bind again while old connections linger.
    net_set_option(s, NET_SO_REUSEADDR, 1);
    s = bound_socket(s, local_addr, port);
    // The largest backlog: the system clamps it to its own maximum, so a burst
    // of connects waits in the queue instead of retrying for seconds.
    constexpr int kLargestBacklog = 0x7FFFFFFF;
    if (s != NET_INVALID && !net_listen(s, kLargestBacklog)) return rpc_close_socket(s);
    return s;
}

rpc_handle* rpc_handle_create(net_socket s, uint16_t protocol, uint16_t port, int32_t capacity) {
    if (capacity < 0) capacity = 0;
    size_t extra = capacity > 0 ? 4 + size_t(capacity) : 0;
    void* mem = std::calloc(1, fixed_part + extra);
    if (!mem) {
        log_printf(2, "quen: out of memory\n");
        return nullptr;
    }
    auto* h = new (mem) rpc_handle{};
    h->socket = s;
    h->protocol = protocol;
    h->port = port;
    h->peer_len = NET_ADDR4_LEN;
    h->capacity = capacity;
    if (capacity > 0) {
        h->mark_slot = static_cast<uint8_t*>(mem) + fixed_part;
        h->buffer = h->mark_slot + 4;
    }
    return h;
}

void rpc_handle_free(rpc_handle* h) { std::free(h); }
