#include "quen/file_service.h"

#include "platform/thread.h"
#include "portmap/portmap.h"
#include "quen/config/settings.h"
#include "quen/fs/fs_start.h"
#include "quen/inode/inode_table.h"
#include "quen/mount/exports.h"
#include "quen/mountd/mountd.h"
#include "quen/nfs/nfs_request.h"
#include "quen/nfs/nfs_sockets.h"
#include "quen/nlm/nlmd.h"
#include "rpc/log.h"
#include "rpc/settings.h"
#include "rpc/transport.h"

#include <cstdio>

namespace {

bool g_portmap_running = false;
bool g_inode_table_open = false;
bool g_fs_layer_started = false;
bool g_mountd_started = false;
bool g_nfs_registered = false;
bool g_nlmd_started = false;

// "started on <port>", and the thread counts when any is above one.
void log_started(uint16_t port) {
    const uint32_t udp = g_settings.record.threads;
    const uint32_t tcp = uint32_t(g_settings.tcp_threads);
    char threads[64] = "";
    if (udp > 1 || tcp > 1) {
        int n = std::snprintf(threads, sizeof threads, ", threads");
        if (udp > 1) n += std::snprintf(threads + n, sizeof threads - size_t(n), " udp %u", udp);
        if (tcp > 1) std::snprintf(threads + n, sizeof threads - size_t(n), " tcp %u/c", tcp);
    }
    log_event(1, "quen   started on %u%s\n", unsigned(port), threads);
    log_flush();
}

bool mountd_unregistered(int result) {
    return result == MOUNTD_UDP_VERSION3 || result == MOUNTD_UDP_VERSION2 || result == MOUNTD_TCP_VERSION3 ||
           result == MOUNTD_TCP_VERSION2;
}

}  // namespace

int file_service_start() {
    const server_config& r = g_settings.record;
    rpc_reset();
    // The file system layer starts here with the inode table.
    g_inode_table_open = inode_table_open(r.inode_reset != 0);
    if (!g_inode_table_open) {
        log_event(1, "quen: Inode table initialization failed\n");
        return inode_table_held_elsewhere() ? FILE_SERVICE_INODE_TABLE_IN_USE : FILE_SERVICE_INODE_TABLE_FAILED;
    }
    g_fs_layer_started = fs_layer_start();
    if (!g_fs_layer_started) {
        log_event(1, "quen: file system layer start failed\n");
        return FILE_SERVICE_INODE_TABLE_FAILED;
    }
    exports_load();
    bool portmap_failed = false;
    if (r.portmapper) {
        g_portmap_running = pmap_builtin_start();
        portmap_failed = !g_portmap_running;
    }
    if (g_settings.local_ip_address) log_event(1, "quen   server on %s\n", g_settings.local_ip_text);
    // A MOUNT start that failed has reached no portmapper (or none that took
    // its registrations): withdrawing them again would only wait out a
    // time-out per registration.
    const int mount = mountd_start(r.mount_port);
    const bool mount_failed = mount != MOUNTD_STARTED;
    g_mountd_started = !mount_failed;
    nfs_verifier_init();
    g_nfs_registered = true;
    // Without a portmapper the NFS registrations fail as MOUNT's did: say
    // what is missing rather than which socket step gave up.
    const bool no_portmapper = mount_failed && mountd_unregistered(mount);
    if (nfs_sockets_create(r.port) != 0) return no_portmapper ? FILE_SERVICE_NO_PORTMAPPER : FILE_SERVICE_NO_SOCKETS;
    if (no_portmapper) return FILE_SERVICE_NO_PORTMAPPER;
    if (mount_failed) return FILE_SERVICE_MOUNT_FAILED;
    if (portmap_failed) return FILE_SERVICE_PORTMAP_FAILED;
    log_started(r.port);
    // The file service runs without the lock manager, whose start logs why it failed.
    if (r.nlm) {
        g_nlmd_started = true;
        nlmd_start(r.nlm_port);
    }
    return FILE_SERVICE_STARTED;
}

void file_service_stop() {
    // The lock manager stops first, then the NFS registrations are withdrawn.
    if (g_nlmd_started) {
        nlmd_unregister();
        g_nlmd_started = false;
    }
    if (g_nfs_registered) {
        nfs_unregister();
        g_nfs_registered = false;
    }
    if (g_mountd_started) {
        mountd_unregister();
        g_mountd_started = false;
    }
    if (g_portmap_running) {
        pmap_builtin_stop();
        g_portmap_running = false;
    }
}

void file_service_shutdown() {
    // Requests still being served resolve handles through the table: it is
    // unmapped only once every serving thread has ended, else just written
    // back. Cached files are closed once no request can use them.
    if (!g_inode_table_open) return;
    for (int waited = 0; rpc_serving_threads() > 0 && waited < 5000; waited += 50) sleep_ms(50);
    if (g_fs_layer_started && rpc_serving_threads() == 0) {
        fs_layer_stop();
        g_fs_layer_started = false;
    }
    if (rpc_serving_threads() > 0) {
        flush_if_dirty(0);
        return;
    }
    inode_table_close();
    g_inode_table_open = false;
}
