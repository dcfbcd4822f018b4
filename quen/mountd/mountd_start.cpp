#include "quen/config/settings.h"
#include "quen/mount/mount_file.h"
#include "quen/mount/mount_table.h"
#include "quen/mountd/mountd.h"
#include "platform/net.h"
#include "rpc/log.h"
#include "rpc/service_open.h"

namespace {

// The endpoints' table. Version 1 is only a warning when it fails: clients
// of version 1 are rare and versions 2 and 3 still serve.
const rpc_service_spec& mount_service() {
    const server_config& s = g_settings.record;
    static rpc_service_version versions[3];
    versions[0] = {mountd_program(3), s.version3 != 0,
                   {"mountd: cannot register version 3\n", "mountd: cannot register version 3\n"},
                   {MOUNTD_UDP_VERSION3, MOUNTD_TCP_VERSION3}};
    versions[1] = {mountd_program(2), true,
                   {"mountd: cannot register version 2\n", "mountd: cannot register version 2\n"},
                   {MOUNTD_UDP_VERSION2, MOUNTD_TCP_VERSION2}};
    versions[2] = {mountd_program(1), s.version2 != 0,
                   {"mountd: warning, cannot register version 1\n", "mountd: warning, cannot register version 1\n"},
                   {0, 0}};
    static rpc_service_spec spec;
    spec = {MOUNT_PROGRAM, g_settings.local_ip_address, RPC_SERVICE_CAPACITY, false, true, 0, nullptr,
            {"mountd: cannot bind udp socket\n", "mountd: cannot bind tcp socket\n"},
            {MOUNTD_UDP_BIND, MOUNTD_TCP_BIND},
            {"mountd: cannot create udp handle\n", "mountd: cannot create tcp handle\n"},
            {MOUNTD_UDP_HANDLE, MOUNTD_TCP_HANDLE},
            versions, 3};
    return spec;
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
            if (const int r = rpc_service_open(mount_service(), RPC_UDP, port); r != MOUNTD_STARTED) return r;
        if (s.tcp)
            if (const int r = rpc_service_open(mount_service(), RPC_TCP, port); r != MOUNTD_STARTED) return r;
    }
    if (s.mount) log_event(1, "mountd started on %u\n", unsigned(port));
    else if (!s.webnfs) log_event(1, "mountd disabled but NO webnfs access defined\n");
    return MOUNTD_STARTED;
}

void mountd_unregister() { rpc_service_withdraw(mount_service()); }
