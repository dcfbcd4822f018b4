// The small client that talks to RPC services on this machine.
#include "rpc/message.h"
#include "rpc/settings.h"

bool rpc_loopback_connect(rpc_handle* h, uint16_t protocol, uint16_t port) {
    h->peer = net_make_addr(0x7F000001u, port);
    h->peer_len = NET_ADDR4_LEN;
    h->protocol = protocol;
    socket_guard s(protocol == RPC_TCP ? net_tcp_socket() : net_udp_socket(false));
    if (s.s == NET_INVALID) return false;
    if (protocol == RPC_TCP) {
        if (!net_connect(s.s, h->peer)) return false;
    } else if (!net_set_option(s.s, NET_SO_BROADCAST, 1) || !net_bind(s.s, net_make_addr(0, 0))) {
        return false;
    }
    h->socket = s.release();
    return true;
}

int rpc_wait_reply(rpc_handle* h) {
    const int timeout_ms = int(g_rpc_settings.rpc_timeout) * 1000;
    for (int pass = 0; pass < 20; ++pass) {
        int w = net_wait_one(h->socket, timeout_ms);
        if (w == 0) break;
        if (w < 0) continue;
        bool got = h->protocol == RPC_TCP ? rpc_read_record(h, timeout_ms, timeout_ms) : rpc_receive_datagram(h);
        h->socket = rpc_close_socket(h->socket);
        return got ? rpc_reply_check(h) : 0;
    }
    h->socket = rpc_close_socket(h->socket);
    return 0;
}

bool rpc_is_local_address(uint32_t addr_net) {
    if (addr_net == net_make_addr(0x7F000001u, 0).addr) return true;
    uint32_t local[64];
    int n = net_local_ipv4_list(local, 64);
    for (int i = 0; i < n; ++i)
        if (local[i] == addr_net) return true;
    return false;
}
