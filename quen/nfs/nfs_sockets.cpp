#include "quen/nfs/nfs_sockets.h"

#include "quen/config/settings.h"
#include "quen/nfs/nfs_service.h"
#include "rpc/log.h"
#include "rpc/message.h"
#include "rpc/settings.h"
#include "rpc/service_open.h"

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

void prepare_socket(net_socket s, uint16_t protocol) {
    const server_config& r = g_settings.record;
    if (protocol == RPC_UDP) set_buffers(s, r.so_rcvbuf, "udp");
    else set_buffers(s, r.so_tcpbuf, "tcp");
}

// The endpoints' table: each version is registered when its setting is on.
const rpc_service_spec& nfs_service() {
    const server_config& r = g_settings.record;
    static rpc_service_version versions[2];
    versions[0] = {nfs2_program(), r.version2 != 0, {"quen: cannot register nfs2\n", "quen: cannot register handle\n"}, {3, 8}};
    versions[1] = {nfs3_program(), r.version3 != 0, {"quen: cannot register nfs3\n", "quen: cannot register handle\n"}, {4, 9}};
    static rpc_service_spec spec;
    spec = {NFS_PROGRAM, g_settings.local_ip_address, int32_t(r.datasize + 512), true, false, int(r.threads),
            prepare_socket,
            {"quen: cannot create nfs socket\n", "quen: cannot create nfs socket\n"}, {1, 6},
            {"quen: cannot create udp handle\n", "quen: cannot create tcp handle\n"}, {2, 7},
            versions, 2};
    return spec;
}

}  // namespace

int nfs_sockets_create(uint16_t port) {
    if (g_settings.record.udp)
        if (const int failed = rpc_service_open(nfs_service(), RPC_UDP, port)) return failed;
    if (g_settings.record.tcp)
        if (const int failed = rpc_service_open(nfs_service(), RPC_TCP, port)) return failed;
    return 0;
}

void nfs_unregister() { rpc_service_withdraw(nfs_service()); }
