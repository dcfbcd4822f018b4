#include "quen/nfs/file_service.h"

#include "portmap/portmap.h"
#include "quen/config/settings.h"
#include "rpc/log.h"
#include "rpc/transport.h"

namespace {

bool g_portmap_running = false;

}  // namespace

int file_service_start() {
    const server_config& r = g_settings.record;
    rpc_reset();
    // The file system layer and the inode table start here (code 6 on failure),
    // then the exports are loaded.
    bool portmap_failed = false;
    if (r.portmapper) {
        g_portmap_running = pmap_builtin_start();
        portmap_failed = !g_portmap_running;
    }
    if (g_settings.local_ip_address) log_event(1, "quen   server on %s\n", g_settings.local_ip_text);
    // MOUNT starts here, then the NFS sockets are created (code 2 on failure).
    if (portmap_failed) return FILE_SERVICE_PORTMAP_FAILED;
    // The "started on" line and the lock manager follow the NFS sockets.
    return FILE_SERVICE_STARTED;
}

void file_service_stop() {
    // The lock manager stops first, then the NFS registrations are withdrawn
    // and MOUNT stops.
    if (g_portmap_running) {
        pmap_builtin_stop();
        g_portmap_running = false;
    }
}
