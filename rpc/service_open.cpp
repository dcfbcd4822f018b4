#include "rpc/service_open.h"

#include "platform/thread.h"
#include "rpc/log.h"

int rpc_service_open(const rpc_service_spec& spec, uint16_t protocol, uint16_t port) {
    const bool udp = protocol == RPC_UDP;
    const int on = udp ? RPC_ON_UDP : RPC_ON_TCP;
    auto open_socket = [&] {
        return udp ? rpc_udp_server_socket(spec.local_addr, port, spec.udp_overlapped)
                   : rpc_tcp_server_socket(spec.local_addr, port);
    };
    net_socket s = open_socket();
    if (s == NET_INVALID && udp && spec.udp_bind_retry) {
        sleep_ms(1000);
        s = open_socket();
    }
    if (s == NET_INVALID) {
        log_printf(2, "%s", spec.bind_failure[on]);
        return spec.bind_code[on];
    }
    if (spec.prepare) spec.prepare(s, protocol);
    rpc_handle* h = rpc_handle_create(s, protocol, port, spec.capacity);
    if (!h) {
        rpc_close_socket(s);
        log_printf(2, "%s", spec.handle_failure[on]);
        return spec.handle_code[on];
    }
    if (!udp || !rpc_start_udp_workers(spec.udp_workers, h)) rpc_server_add(h);
    for (int i = 0; i < spec.version_count; ++i) {
        const rpc_service_version& v = spec.versions[i];
        if (!v.offered || rpc_register(h, v.table, protocol)) continue;
        log_printf(2, "%s", v.failure[on]);
        if (v.code[on]) return v.code[on];
    }
    return 0;
}

void rpc_service_withdraw(const rpc_service_spec& spec) {
    for (int i = 0; i < spec.version_count; ++i) {
        rpc_unregister(spec.program, spec.versions[i].table->version, RPC_UDP);
        rpc_unregister(spec.program, spec.versions[i].table->version, RPC_TCP);
    }
}
