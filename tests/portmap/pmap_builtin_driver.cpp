// Runs the server's built-in portmapper the way the server does, for the
// protocol tests: start, serve until SIGTERM or SIGINT, stop; with -restart
// once more. Prints what happened; exit code 3 when a start failed.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/net.h"
#include "platform/thread.h"
#include "portmap/portmap.h"
#include "rpc/log.h"
#include "rpc/transport.h"

namespace {

std::atomic<int> g_signals{0};
extern "C" void on_signal(int) { g_signals.fetch_add(1); }

void wait_for_signal(int count) {
    while (g_signals.load() < count) sleep_ms(20);
}

// Both sockets of port 111 can be had again.
bool port_free() {
    net_socket u = rpc_udp_server_socket(0, 111, false);
    net_socket t = rpc_tcp_server_socket(0, 111);
    bool free = u != NET_INVALID && t != NET_INVALID;
    rpc_close_socket(u);
    rpc_close_socket(t);
    return free;
}

bool start(const char* what) {
    if (!pmap_builtin_start()) {
        std::printf("start failed\n");
        std::fflush(stdout);
        return false;
    }
    std::printf("%s, running %d\n", what, int(pmap_running()));
    std::fflush(stdout);
    return true;
}

void stop() {
    pmap_builtin_stop();
    pmap_builtin_stop();   // a second stop finds nothing to do
    std::printf("stopped, running %d, port %s\n", int(pmap_running()), port_free() ? "free" : "busy");
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    bool restart = false;
    g_log_level = 2;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-restart") == 0) restart = true;
        else if (std::strcmp(argv[i], "-log") == 0 && i + 1 < argc) g_log_level = std::atoi(argv[++i]);
    }
    log_set_stream(stdout);
    std::signal(SIGTERM, on_signal);
    std::signal(SIGINT, on_signal);
    if (!net_startup()) return 1;
    pmap_builtin_stop();   // before any start: nothing to stop, must not hang
    int rc = 0;
    if (!start("started")) {
        rc = 3;
    } else {
        wait_for_signal(1);
        stop();
        if (restart) {
            if (!start("restarted")) {
                rc = 3;
            } else {
                wait_for_signal(2);
                stop();
            }
        }
    }
    net_cleanup();
    return rc;
}
