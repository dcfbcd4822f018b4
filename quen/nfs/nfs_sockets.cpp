#include "quen/nfs/nfs_sockets.h"

#include "quen/config/settings.h"
#include "quen/nfs/nfs_service.h"
#include "rpc/log.h"
#include "rpc/message.h"
#include "rpc/settings.h"
#include "rpc/transport.h"

namespace {

// Asks for `wanted` bytes when the socket has less, halving after each
// refusal while the half stays above what it has. Result: the size the
// halving ended with, where the next buffer starts.
uint32_t set_buffer(net_socket s, net_option option, uint32_t wanted, const char* protocol) {
    int current = 0;
    if (!net_get_buffer_size(s, option, &current) || current < 0) current = 0;
    if (wanted <= uint32_t(current)) return wanted;
    const char* name = option == NET_SO_RCVBUF ? "rcvbuf" : "sndbuf";
    while (!net_set_option(s, option, int(wanted))) {
        log_printf(2, "quen: set %s socket option %s=%u failed\n", protocol, name, wanted);
        wanted /= 2;
        if (wanted <= uint32_t(current)) break;
    }
    return wanted;
}

void set_buffers(net_socket s, uint32_t wanted, const char* protocol) {
    set_buffer(s, NET_SO_SNDBUF, set_buffer(s, NET_SO_RCVBUF, wanted, protocol), protocol);
}

int32_t capacity() { return int32_t(g_settings.record.datasize + 512); }

// Each version is registered when its setting is on. Result: 0, 2 for a
// failed version 2 registration, 3 for version 3.
int register_versions(rpc_handle* h, uint16_t protocol) {
    const server_config& r = g_settings.record;
    if (r.version2 && !rpc_register(h, NFS_PROGRAM, 2, nfs2_dispatch, protocol)) return 2;
    if (r.version3 && !rpc_register(h, NFS_PROGRAM, 3, nfs3_dispatch, protocol)) return 3;
    return 0;
}

int create_udp(uint16_t port) {
    const server_config& r = g_settings.record;
    const net_socket s = rpc_udp_server_socket(g_settings.local_ip_address, port, true);
    if (s == NET_INVALID) {
        log_printf(2, "quen: cannot create nfs socket\n");
        return 1;
    }
    set_buffers(s, r.so_rcvbuf, "udp");
    rpc_handle* h = rpc_handle_create(s, RPC_UDP, port, capacity());
    if (!h) {
        rpc_close_socket(s);
        log_printf(2, "quen: cannot create udp handle\n");
        return 2;
    }
    if (!rpc_start_udp_workers(int(r.threads), h)) rpc_server_add(h);
    if (const int failed = register_versions(h, RPC_UDP)) {
        log_printf(2, "quen: cannot register nfs%d\n", failed);
        return failed == 2 ? 3 : 4;
    }
    return 0;
}

int create_tcp(uint16_t port) {
    const net_socket s = rpc_tcp_server_socket(g_settings.local_ip_address, port);
    if (s == NET_INVALID) {
        log_printf(2, "quen: cannot create nfs socket\n");
        return 6;
    }
    set_buffers(s, g_settings.record.so_tcpbuf, "tcp");
    rpc_handle* h = rpc_handle_create(s, RPC_TCP, port, capacity());
    if (!h) {
        rpc_close_socket(s);
        log_printf(2, "quen: cannot create tcp handle\n");
        return 7;
    }
    rpc_server_add(h);
    if (const int failed = register_versions(h, RPC_TCP)) {
        log_printf(2, "quen: cannot register handle\n");
        return failed == 2 ? 8 : 9;
    }
    return 0;
}

}  // namespace

int nfs_sockets_create(uint16_t port) {
    if (g_settings.record.udp)
        if (const int failed = create_udp(port)) return failed;
    if (g_settings.record.tcp)
        if (const int failed = create_tcp(port)) return failed;
    return 0;
}

void nfs_unregister() {
    rpc_unregister(NFS_PROGRAM, 2, RPC_UDP);
    rpc_unregister(NFS_PROGRAM, 2, RPC_TCP);
    rpc_unregister(NFS_PROGRAM, 3, RPC_UDP);
    rpc_unregister(NFS_PROGRAM, 3, RPC_TCP);
}
