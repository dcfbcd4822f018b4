// NULL calls per second against the demo program served in this process over
// loopback UDP and TCP, with 1 and with 8 calls outstanding, and over TCP in
// bursts of 8 answered in full before the next. Prints figures.
//
// usage: bench_rpc_null [seconds per figure, default 1.2]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/net.h"
#include "platform/thread.h"
#include "rpc/log.h"
#include "rpc/message.h"
#include "rpc/settings.h"
#include "tests/support/demo_program.h"

namespace {

using bench_clock = std::chrono::steady_clock;

struct server {
    uint16_t udp_port = 0;
    uint16_t tcp_port = 0;
    plat_event* loop_done = nullptr;
};

void main_loop_thread(void* arg) {
    rpc_main_loop();
    event_set(static_cast<server*>(arg)->loop_done);
}

uint16_t bound_port(net_socket s) {
    net_addr4 a{};
    return net_local_address(s, &a) ? net_port_host(a) : 0;
}

bool start_server(server* srv) {
    g_rpc_settings.portmapper_registration = 0;
    g_log_level = 0;
    rpc_reset();
    net_socket us = rpc_udp_server_socket(0x7F000001u, 0, true);
    net_socket ts = rpc_tcp_server_socket(0x7F000001u, 0);
    if (us == NET_INVALID || ts == NET_INVALID) return false;
    srv->udp_port = bound_port(us);
    srv->tcp_port = bound_port(ts);
    rpc_handle* udp = rpc_handle_create(us, RPC_UDP, srv->udp_port, RPC_SERVICE_CAPACITY);
    rpc_handle* tcp = rpc_handle_create(ts, RPC_TCP, srv->tcp_port, RPC_SERVICE_CAPACITY);
    if (!udp || !tcp || !demo_register(udp) || !demo_register(tcp)) return false;
    if (!rpc_start_udp_workers(int(g_rpc_settings.threads), udp)) rpc_server_add(udp);
    rpc_server_add(tcp);
    srv->loop_done = event_create(true, false);
    return srv->loop_done && thread_start(main_loop_thread, srv);
}

void stop_server(server* srv) {
    rpc_close_all();
    event_wait(srv->loop_done, 5000);
    for (int waited = 0; rpc_serving_threads() > 0 && waited < 5000; waited += 10) sleep_ms(10);
    event_close(srv->loop_done);
}

// A NULL call with AUTH_NULL credential and verifier, after a record mark.
struct null_call {
    uint8_t bytes[44];
};

null_call make_call(uint32_t xid) {
    static const uint32_t empty = 0;
    null_call c{};
    size_t n = xdr_put(c.bytes + 4, "qqqqqqqoqo", xid, RPC_CALL, RPC_PROTOCOL_VERSION, DEMO_PROGRAM, 1u, DEMO_PROC_NULL,
                       AUTH_NULL, &empty, AUTH_NULL, &empty);
    xdr_store32(c.bytes, 0x80000000u | uint32_t(n));
    return c;
}

struct figures {
    long calls = 0;
    long resent = 0;
    double seconds = 0;
};

constexpr int reply_timeout_ms = 200;

// Keeps `window` calls outstanding; a window that goes silent is sent again.
figures run_udp(uint16_t port, int window, double seconds) {
    figures f;
    socket_guard s(net_udp_socket(false));
    net_addr4 peer = net_make_addr(0x7F000001u, port);
    if (s.s == NET_INVALID || !net_bind(s.s, net_make_addr(0x7F000001u, 0))) return f;
    uint32_t xid = 1;
    auto send_one = [&] {
        null_call c = make_call(xid++);
        net_sendto(s.s, c.bytes + 4, 40, peer);
    };
    for (int i = 0; i < window; ++i) send_one();
    auto start = bench_clock::now();
    auto end = start + std::chrono::duration<double>(seconds);
    uint8_t reply[512];
    while (bench_clock::now() < end) {
        if (net_wait_one(s.s, reply_timeout_ms) <= 0) {
            f.resent += window;
            for (int i = 0; i < window; ++i) send_one();
            continue;
        }
        if (net_recvfrom(s.s, reply, sizeof reply, nullptr, nullptr) >= 24) {
            ++f.calls;
            send_one();
        }
    }
    f.seconds = std::chrono::duration<double>(bench_clock::now() - start).count();
    return f;
}

// Reads replies from a stream and counts whole records.
struct record_counter {
    uint8_t buf[8192];
    int have = 0;

    int take(int n) {
        have += n;
        int records = 0, at = 0;
        while (have - at >= 4) {
            int len = int(xdr_load32(buf + at) & 0x7FFFFFFFu);
            if (have - at < 4 + len) break;
            at += 4 + len;
            ++records;
        }
        std::memmove(buf, buf + at, size_t(have - at));
        have -= at;
        return records;
    }
};

// burst: send `window` calls, then wait for all their replies before the next
// burst (a client reading ahead); otherwise every reply is followed by a new call.
figures run_tcp(uint16_t port, int window, bool burst, double seconds) {
    figures f;
    socket_guard s(net_tcp_socket());
    if (s.s == NET_INVALID || !net_connect(s.s, net_make_addr(0x7F000001u, port))) return f;
    net_set_option(s.s, NET_TCP_NODELAY, 1);
    uint32_t xid = 1;
    auto send_calls = [&](int n) {
        for (int i = 0; i < n; ++i) {
            null_call c = make_call(xid++);
            if (net_send(s.s, c.bytes, 44) != 44) return false;
        }
        return true;
    };
    if (!send_calls(window)) return f;
    int in_flight = window;
    record_counter rc;
    auto start = bench_clock::now();
    auto end = start + std::chrono::duration<double>(seconds);
    while (bench_clock::now() < end) {
        if (net_wait_one(s.s, 2000) <= 0) break;   // a stream does not lose calls
        int n = net_recv(s.s, rc.buf + rc.have, int(sizeof rc.buf) - rc.have);
        if (n <= 0) break;
        int done = rc.take(n);
        f.calls += done;
        if (burst) {
            in_flight -= done;
            if (in_flight == 0 && !send_calls(window)) break;
            if (in_flight == 0) in_flight = window;
        } else if (!send_calls(done)) {
            break;
        }
    }
    f.seconds = std::chrono::duration<double>(bench_clock::now() - start).count();
    return f;
}

void print(const char* what, int window, const figures& f) {
    double rate = f.seconds > 0 ? double(f.calls) / f.seconds : 0;
    double latency_us = rate > 0 ? 1e6 * window / rate : 0;
    std::printf("%-10s %d outstanding: %9.0f calls/s  (mean round trip %8.1f us", what, window, rate, latency_us);
    if (f.resent) std::printf(", %ld resent", f.resent);
    std::printf(")\n");
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = argc > 1 ? std::atof(argv[1]) : 1.2;
    if (seconds <= 0) seconds = 1.2;
    if (!net_startup()) return 1;
    server srv;
    if (!start_server(&srv)) {
        std::fprintf(stderr, "bench_rpc_null: cannot start the in-process server\n");
        return 1;
    }
    std::printf("NULL calls to the demo program on 127.0.0.1 (%u UDP workers, %u threads per TCP connection)\n",
                unsigned(g_rpc_settings.threads), unsigned(g_rpc_settings.tcp_threads));
    std::fflush(stdout);
    for (int window : {1, 8}) {
        print("UDP", window, run_udp(srv.udp_port, window, seconds));
        std::fflush(stdout);
    }
    for (int window : {1, 8}) {
        print("TCP", window, run_tcp(srv.tcp_port, window, false, seconds));
        std::fflush(stdout);
    }
    print("TCP burst", 8, run_tcp(srv.tcp_port, 8, true, seconds));
    stop_server(&srv);
    net_cleanup();
    return 0;
}
