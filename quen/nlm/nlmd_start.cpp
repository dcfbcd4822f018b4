#include "quen/config/settings.h"
#include "quen/inode/handle.h"
#include "quen/nlm/nlm_callback.h"
#include "quen/nlm/nlm_procs.h"
#include "quen/nlm/nlm_wire.h"
#include "quen/nlm/nlmd.h"
#include "platform/thread.h"
#include "rpc/log.h"
#include "rpc/transport.h"

namespace {

bool g_started = false;

// Result: 0, or which of versions 4 and 3 failed.
int register_versions(rpc_handle* h, uint16_t protocol) {
    const server_config& s = g_settings.record;
    if (s.version3 && !rpc_register(h, NLM_PROGRAM, 4, nlm_dispatch, protocol)) return 4;
    if (s.version2) {
        if (!rpc_register(h, NLM_PROGRAM, 3, nlm_dispatch, protocol)) return 3;
        if (!rpc_register(h, NLM_PROGRAM, 1, nlm_dispatch, protocol))
            log_printf(2, "nlmd: cannot register version 1\n");
    }
    return 0;
}

int start_endpoint(uint16_t protocol, uint16_t port) {
    const bool udp = protocol == RPC_UDP;
    net_socket s = udp ? rpc_udp_server_socket(g_settings.local_ip_address, port, false)
                       : rpc_tcp_server_socket(g_settings.local_ip_address, port);
    if (s == NET_INVALID && udp) {
        sleep_ms(1000);
        s = rpc_udp_server_socket(g_settings.local_ip_address, port, false);
    }
    if (s == NET_INVALID) {
        log_printf(2, udp ? "nlmd: cannot bind udp socket\n" : "nlmd: cannot bind tcp socket\n");
        return udp ? NLMD_UDP_BIND : NLMD_TCP_BIND;
    }
    rpc_handle* h = rpc_handle_create(s, protocol, port, RPC_SERVICE_CAPACITY);
    if (!h) {
        rpc_close_socket(s);
        log_printf(2, udp ? "nlmd: cannot create udp handle\n" : "nlmd: cannot create tcp handle\n");
        return udp ? NLMD_UDP_HANDLE : NLMD_TCP_HANDLE;
    }
    rpc_server_add(h);
    const int failed = register_versions(h, protocol);
    if (failed) log_printf(2, "nlmd: cannot register version %d\n", failed);
    if (failed == 4) return udp ? NLMD_UDP_VERSION4 : NLMD_TCP_VERSION4;
    if (failed == 3) return udp ? NLMD_UDP_VERSION3 : NLMD_TCP_VERSION3;
    return NLMD_STARTED;
}

}  // namespace

int nlmd_start(uint16_t port) {
    const server_config& s = g_settings.record;
    nlm_set_handle_size(handle_wire_size(s.fh_size));
    nlm_procs_init();
    if (!nlm_callback_start()) return NLMD_NO_CALLBACKS;
    g_started = true;
    if (s.udp)
        if (const int r = start_endpoint(RPC_UDP, port); r != NLMD_STARTED) return r;
    if (s.tcp)
        if (const int r = start_endpoint(RPC_TCP, port); r != NLMD_STARTED) return r;
    log_event(1, "nlmd   started on %u\n", unsigned(port));
    log_flush();
    return NLMD_STARTED;
}

void nlmd_unregister() {
    for (uint32_t version : {4u, 3u, 1u}) {
        rpc_unregister(NLM_PROGRAM, version, RPC_UDP);
        rpc_unregister(NLM_PROGRAM, version, RPC_TCP);
    }
    if (g_started) nlm_callback_stop();
    g_started = false;
}
