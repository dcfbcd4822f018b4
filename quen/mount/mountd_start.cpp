#include "quen/config/settings.h"
#include "quen/mount/mount_file.h"
#include "quen/mount/mount_table.h"
#include "quen/mount/mountd.h"
#include "platform/net.h"
#include "platform/thread.h"
#include "rpc/log.h"
#include "rpc/transport.h"

namespace {

// Registers the versions the settings allow on one endpoint. Result: 0, or
// which of versions 3 and 2 failed (3 or 2).
int register_versions(rpc_handle* h, uint16_t protocol) {
    const server_config& s = g_settings.record;
    if (s.version3 && !rpc_register(h, MOUNT_PROGRAM, 3, mountd_dispatch, protocol)) return 3;
    if (!rpc_register(h, MOUNT_PROGRAM, 2, mountd_dispatch, protocol)) return 2;
    if (s.version2 && !rpc_register(h, MOUNT_PROGRAM, 1, mountd_dispatch, protocol))
        log_printf(2, "mountd: warning, cannot register version 1\n");
    return 0;
}

int start_udp(uint16_t port) {
    net_socket s = rpc_udp_server_socket(g_settings.local_ip_address, port, false);
    if (s == NET_INVALID) {
        sleep_ms(1000);
        s = rpc_udp_server_socket(g_settings.local_ip_address, port, false);
    }
    if (s == NET_INVALID) {
        log_printf(2, "mountd: cannot bind udp socket\n");
        return MOUNTD_UDP_BIND;
    }
    rpc_handle* h = rpc_handle_create(s, RPC_UDP, port, RPC_SERVICE_CAPACITY);
    if (!h) {
        rpc_close_socket(s);
        log_printf(2, "mountd: cannot create udp handle\n");
        return MOUNTD_UDP_HANDLE;
    }
    rpc_server_add(h);
    const int failed = register_versions(h, RPC_UDP);
    if (failed == 3) log_printf(2, "mountd: cannot register version 3\n");
    if (failed == 2) log_printf(2, "mountd: cannot register version 2\n");
    return failed == 3 ? MOUNTD_UDP_VERSION3 : failed == 2 ? MOUNTD_UDP_VERSION2 : MOUNTD_STARTED;
}

int start_tcp(uint16_t port) {
    net_socket s = rpc_tcp_server_socket(g_settings.local_ip_address, port);
    if (s == NET_INVALID) {
        log_printf(2, "mountd: cannot bind tcp socket\n");
        return MOUNTD_TCP_BIND;
    }
    rpc_handle* h = rpc_handle_create(s, RPC_TCP, port, RPC_SERVICE_CAPACITY);
    if (!h) {
        rpc_close_socket(s);
        log_printf(2, "mountd: cannot create tcp handle\n");
        return MOUNTD_TCP_HANDLE;
    }
    rpc_server_add(h);
    const int failed = register_versions(h, RPC_TCP);
    if (failed == 3) log_printf(2, "mountd: cannot register version 3\n");
    if (failed == 2) log_printf(2, "mountd: cannot register version 2\n");
    return failed == 3 ? MOUNTD_TCP_VERSION3 : failed == 2 ? MOUNTD_TCP_VERSION2 : MOUNTD_STARTED;
}

}  // namespace

int mountd_start(uint16_t port) {
    mount_table_init();
    mount_set_name_resolver(net_host_name_of);
    const server_config& s = g_settings.record;
    // The table is back before any endpoint opens: a MNT served earlier
    // would make a new entry that the reload then refreshes, and the
    // handles of the stored identifier would be stale.
    if (!s.inode_reset) mounttab_load(mounttab_path().c_str());
    if (s.mount) {
        if (s.udp)
            if (const int r = start_udp(port); r != MOUNTD_STARTED) return r;
        if (s.tcp)
            if (const int r = start_tcp(port); r != MOUNTD_STARTED) return r;
    }
    if (s.mount) log_event(1, "mountd started on %u\n", unsigned(port));
    else if (!s.webnfs) log_event(1, "mountd disabled but NO webnfs access defined\n");
    return MOUNTD_STARTED;
}

void mountd_unregister() {
    for (uint32_t version : {3u, 2u, 1u}) {
        rpc_unregister(MOUNT_PROGRAM, version, RPC_UDP);
        rpc_unregister(MOUNT_PROGRAM, version, RPC_TCP);
    }
}
