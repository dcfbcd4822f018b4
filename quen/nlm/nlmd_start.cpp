#include "quen/config/settings.h"
#include "quen/inode/handle.h"
#include "quen/nlm/nlm_callback.h"
#include "quen/nlm/nlm_procs.h"
#include "quen/nlm/nlm_wire.h"
#include "quen/nlm/nlmd.h"
#include "rpc/log.h"
#include "rpc/service_open.h"

namespace {

bool g_started = false;

// The endpoints' table; version 1 is only a warning when it fails.
const rpc_service_spec& nlm_service() {
    const server_config& s = g_settings.record;
    static rpc_service_version versions[3];
    versions[0] = {nlm_program(4), s.version3 != 0,
                   {"nlmd: cannot register version 4\n", "nlmd: cannot register version 4\n"},
                   {NLMD_UDP_VERSION4, NLMD_TCP_VERSION4}};
    versions[1] = {nlm_program(3), s.version2 != 0,
                   {"nlmd: cannot register version 3\n", "nlmd: cannot register version 3\n"},
                   {NLMD_UDP_VERSION3, NLMD_TCP_VERSION3}};
    versions[2] = {nlm_program(1), s.version2 != 0,
                   {"nlmd: cannot register version 1\n", "nlmd: cannot register version 1\n"}, {0, 0}};
    static rpc_service_spec spec;
    spec = {NLM_PROGRAM, g_settings.local_ip_address, RPC_SERVICE_CAPACITY, false, true, 0, nullptr,
            {"nlmd: cannot bind udp socket\n", "nlmd: cannot bind tcp socket\n"},
            {NLMD_UDP_BIND, NLMD_TCP_BIND},
            {"nlmd: cannot create udp handle\n", "nlmd: cannot create tcp handle\n"},
            {NLMD_UDP_HANDLE, NLMD_TCP_HANDLE},
            versions, 3};
    return spec;
}

}  // namespace

int nlmd_start(uint16_t port) {
    const server_config& s = g_settings.record;
    nlm_set_handle_size(handle_wire_size(s.fh_size));
    nlm_procs_init();
    if (!nlm_callback_start()) return NLMD_NO_CALLBACKS;
    g_started = true;
    if (s.udp)
        if (const int r = rpc_service_open(nlm_service(), RPC_UDP, port); r != NLMD_STARTED) return r;
    if (s.tcp)
        if (const int r = rpc_service_open(nlm_service(), RPC_TCP, port); r != NLMD_STARTED) return r;
    log_event(1, "nlmd   started on %u\n", unsigned(port));
    log_flush();
    return NLMD_STARTED;
}

void nlmd_unregister() {
    rpc_service_withdraw(nlm_service());
    if (g_started) nlm_callback_stop();
    g_started = false;
}
