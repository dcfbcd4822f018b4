// rpcdemo: the demo program served over UDP and TCP by the RPC layer, for
// protocol tests with real clients. Stops on SIGTERM or SIGINT and exits 0.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/net.h"
#include "platform/thread.h"
#include "rpc/log.h"
#include "rpc/settings.h"
#include "rpc/transport.h"
#include "tests/support/demo_program.h"

namespace {

struct demo_options {
    uint16_t port = 5599;
    bool portmap = true;
};

std::atomic<bool> g_stop_requested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler needs a lock-free flag");

// Only a lock-free store is safe here; the stop itself runs on the watcher thread.
extern "C" void on_stop_signal(int) { g_stop_requested.store(true); }

struct watcher_state {
    plat_event* done;
};

void stop_watcher(void* arg) {
    auto* w = static_cast<watcher_state*>(arg);
    while (!g_stop_requested.load()) sleep_ms(50);
    rpc_close_all();
    event_set(w->done);
}

void usage() {
    std::fprintf(stderr,
                 "usage: rpcdemo [-port N] [-noportmap] [-threads N] [-tcpthreads N] [-log N] [-idle SECONDS]\n"
                 "       [-recordtime SECONDS] [-maxconn N] [-perclient N]\n");
}

bool parse_number(const char* text, uint32_t max, uint32_t* out) {
    if (!text || !*text) return false;
    char* end = nullptr;
    unsigned long v = std::strtoul(text, &end, 10);
    if (*end != '\0' || text[0] == '-' || v > max) return false;
    *out = uint32_t(v);
    return true;
}

bool parse_options(int argc, char** argv, demo_options* o) {
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        uint32_t n = 0;
        if (std::strcmp(a, "-noportmap") == 0) {
            o->portmap = false;
            continue;
        }
        if (std::strcmp(a, "-port") == 0 && parse_number(value, 65535, &n) && n > 0) {
            o->port = uint16_t(n);
        } else if (std::strcmp(a, "-threads") == 0 && parse_number(value, 64, &n)) {
            g_rpc_settings.threads = n;
        } else if (std::strcmp(a, "-tcpthreads") == 0 && parse_number(value, 64, &n)) {
            g_rpc_settings.tcp_threads = n;
        } else if (std::strcmp(a, "-log") == 0 && parse_number(value, 100, &n)) {
            g_log_level = int(n);
        } else if (std::strcmp(a, "-idle") == 0 && parse_number(value, 86400, &n) && n > 0) {
            g_rpc_settings.tcp_idle_seconds = n;
        } else if (std::strcmp(a, "-recordtime") == 0 && parse_number(value, 86400, &n) && n > 0) {
            g_rpc_settings.tcp_record_seconds = n;
        } else if (std::strcmp(a, "-maxconn") == 0 && parse_number(value, 100000, &n)) {
            g_rpc_settings.tcp_max_connections = n;
        } else if (std::strcmp(a, "-perclient") == 0 && parse_number(value, 100000, &n)) {
            g_rpc_settings.tcp_per_client = n;
        } else {
            return false;
        }
        ++i;
    }
    return true;
}

// Serving threads notice the stop within a second; give them a few.
void wait_for_serving_threads() {
    for (int waited = 0; rpc_serving_threads() > 0 && waited < 5000; waited += 20) sleep_ms(20);
}

struct registration {
    uint32_t version;
};
const registration demo_versions[] = {{1}, {2}};
constexpr int version_count = 2;

constexpr int registration_count = 2 * version_count;   // UDP, then TCP

// Withdraws the first `count` registrations made by register_all. Only the
// protocols are needed: the handles may already be gone.
void withdraw(int count) {
    for (int i = 0; i < count; ++i)
        rpc_unregister(DEMO_PROGRAM, demo_versions[i % version_count].version, i < version_count ? RPC_UDP : RPC_TCP);
}

// Every version on both protocols; a failure withdraws what was registered,
// so that a refused start leaves nothing behind at the portmapper.
bool register_all(rpc_handle* udp, rpc_handle* tcp) {
    for (int i = 0; i < registration_count; ++i) {
        rpc_handle* h = i < version_count ? udp : tcp;
        const registration& r = demo_versions[i % version_count];
        if (!rpc_register(h, demo_program(r.version), h->protocol)) {
            withdraw(i);
            return false;
        }
    }
    return true;
}

int serve(const demo_options& o) {
    rpc_reset();
    net_socket us = rpc_udp_server_socket(0, o.port, true);
    net_socket ts = rpc_tcp_server_socket(0, o.port);
    if (us == NET_INVALID || ts == NET_INVALID) {
        std::fprintf(stderr, "rpcdemo: cannot bind port %u (error %d)\n", unsigned(o.port), net_last_error());
        rpc_close_socket(us);
        rpc_close_socket(ts);
        return 1;
    }
    rpc_handle* udp = rpc_handle_create(us, RPC_UDP, o.port, RPC_SERVICE_CAPACITY);
    rpc_handle* tcp = rpc_handle_create(ts, RPC_TCP, o.port, RPC_SERVICE_CAPACITY);
    if (!udp || !tcp) {
        rpc_handle_free(udp);
        rpc_handle_free(tcp);
        rpc_close_socket(us);
        rpc_close_socket(ts);
        return 1;
    }
    if (!register_all(udp, tcp)) {
        std::fprintf(stderr, "rpcdemo: cannot register with the portmapper\n");
        rpc_handle_free(udp);
        rpc_handle_free(tcp);
        rpc_close_socket(us);
        rpc_close_socket(ts);
        return 1;
    }
    if (!rpc_start_udp_workers(int(g_rpc_settings.threads), udp)) rpc_server_add(udp);
    rpc_server_add(tcp);

    watcher_state w{event_create(true, false)};
    if (!w.done || !thread_start(stop_watcher, &w)) {
        std::fprintf(stderr, "rpcdemo: cannot start the stop watcher\n");
        rpc_close_all();
        wait_for_serving_threads();
        withdraw(registration_count);
        return 1;
    }
    std::printf("rpcdemo: serving program %u versions %u-%u on port %u\n", unsigned(DEMO_PROGRAM),
                unsigned(DEMO_VERSION_LOW), unsigned(DEMO_VERSION_HIGH), unsigned(o.port));
    std::fflush(stdout);

    rpc_main_loop();
    bool requested = g_stop_requested.load();
    // The loop may also have ended on its own (a fatal wait error): stop the rest.
    g_stop_requested.store(true);
    event_wait(w.done, -1);
    event_close(w.done);
    rpc_close_all();
    wait_for_serving_threads();
    withdraw(registration_count);
    if (!requested) std::fprintf(stderr, "rpcdemo: main loop ended without a stop request\n");
    return requested ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    demo_options o;
    if (!parse_options(argc, argv, &o)) {
        usage();
        return 2;
    }
    g_rpc_settings.portmapper_registration = o.portmap ? 1 : 0;
    std::signal(SIGTERM, on_stop_signal);
    std::signal(SIGINT, on_stop_signal);
    if (!net_startup()) {
        std::fprintf(stderr, "rpcdemo: cannot start sockets\n");
        return 1;
    }
    int rc = serve(o);
    net_cleanup();
    return rc;
}
