// The portmapper's sockets, its serving loop and connection threads, and the
// start and stop of both flavours.
#include <atomic>

#include "platform/thread.h"
#include "portmap/pmap_service.h"
#include "portmap/pmap_table.h"
#include "portmap/portmap.h"
#include "rpc/settings.h"

namespace {

constexpr int k_stop_poll_ms = 1000;      // how often blocked connection threads look at the stop flag
constexpr int k_stop_wait_ms = 5000;      // how long a stop waits for the threads to end
constexpr int32_t k_capacity = RPC_SERVICE_CAPACITY;

struct service_state {
    std::atomic<bool> stop{false};
    std::atomic<bool> running{false};
    std::atomic<int> connections{0};   // connection threads alive
    net_socket udp = NET_INVALID;
    net_socket tcp = NET_INVALID;
    rpc_handle* udp_handle = nullptr;
    // A datagram to this socket wakes the loop: closing a socket does not
    // interrupt a wait on every system. Made once and kept for the process.
    net_socket wake = NET_INVALID;
    net_addr4 wake_addr{};
    plat_event* loop_ended = nullptr;   // built-in copy: set when its thread is done
    bool thread_started = false;        // built-in copy: a stop has a thread to wait for
};

service_state& state() {
    static service_state s;
    return s;
}

bool stopping() { return state().stop.load(std::memory_order_acquire); }

// Waits for data in slices so that a stop and an idle peer both end the read.
int connection_recv(void* ctx, uint8_t* dst, int len) {
    auto* h = static_cast<rpc_handle*>(ctx);
    int64_t idle_left = int64_t(g_rpc_settings.tcp_idle_seconds) * 1000;
    for (;;) {
        if (stopping()) return -1;
        int slice = idle_left < k_stop_poll_ms ? int(idle_left) : k_stop_poll_ms;
        int w = net_wait_one(h->socket, slice);
        if (w > 0) return net_recv(h->socket, dst, len);
        if (w < 0 && net_last_error() != NET_WSAEINTR) return -1;
        idle_left -= slice;
        if (idle_left <= 0) return -1;
    }
}

void connection_thread(void* arg) {
    auto* h = static_cast<rpc_handle*>(arg);
    rpc_call call{};
    while (rpc_read_record_from(h, connection_recv, nullptr, h) && rpc_decode_call(h, &call))
        pmap_serve_call(h, &call);
    rpc_close_socket(h->socket);
    rpc_handle_free(h);
    state().connections.fetch_sub(1);
}

void accept_connection(service_state& st) {
    net_addr4 peer{};
    int32_t peer_len = NET_ADDR4_LEN;
    net_socket s = net_accept(st.tcp, &peer, &peer_len);
    if (s == NET_INVALID) {
        int err = net_last_error();
        // Out of descriptors: the listener stays readable, so pause rather than spin.
        if (err == NET_WSAEMFILE || err == NET_WSAENOBUFS) sleep_ms(100);
        return;
    }
    const uint32_t limit = g_rpc_settings.tcp_max_connections;
    if (limit != 0 && uint32_t(st.connections.load()) >= limit) {
        net_close(s);
        return;
    }
    rpc_handle* h = rpc_handle_create(s, RPC_TCP, PMAP_PORT, k_capacity);
    if (!h) {
        pmap_note_event(2, "ostel: out of memory\n");
        net_close(s);
        return;
    }
    h->peer = peer;
    h->peer_len = peer_len;
    st.connections.fetch_add(1);
    if (!thread_start(connection_thread, h)) {
        st.connections.fetch_sub(1);
        rpc_handle_free(h);
        net_close(s);
    }
}

void close_sockets(service_state& st) {
    st.udp = rpc_close_socket(st.udp);
    st.tcp = rpc_close_socket(st.tcp);
    rpc_handle_free(st.udp_handle);
    st.udp_handle = nullptr;
}

// Blocked connection threads notice the stop within a poll slice.
void wait_for_connections(service_state& st) {
    for (int waited = 0; st.connections.load() > 0 && waited < k_stop_wait_ms; waited += 20) sleep_ms(20);
}

void serve_loop(service_state& st) {
    rpc_call call{};
    const net_socket watch[3] = {st.udp, st.tcp, st.wake};
    bool ready[3] = {};
    while (!stopping()) {
        int n = net_wait_readable(watch, 3, ready, -1);
        if (stopping()) break;
        if (n < 0) {
            int err = net_last_error();
            if (err == NET_WSAEINTR) continue;
            pmap_note_event(2, "select failed %d\n", err);
            break;
        }
        if (ready[0] && rpc_receive_datagram(st.udp_handle) && rpc_decode_call(st.udp_handle, &call))
            pmap_serve_call(st.udp_handle, &call);
        if (ready[1]) accept_connection(st);
        if (ready[2]) {
            char drain[16];
            net_recvfrom(st.wake, drain, sizeof drain, nullptr, nullptr);
        }
    }
    close_sockets(st);
    st.running.store(false);
}

bool make_wake_socket(service_state& st) {
    if (st.wake != NET_INVALID) return true;
    net_socket w = rpc_udp_server_socket(0x7F000001u, 0, false);
    if (w == NET_INVALID) return false;
    if (!net_local_address(w, &st.wake_addr)) {
        net_close(w);
        return false;
    }
    st.wake = w;
    return true;
}

// Sockets first, UDP then TCP; then the table and the "ready" line.
bool open_service(service_state& st, bool verbose) {
    if (st.running.load()) return false;
    g_pmap_verbose.store(verbose);
    st.stop.store(false, std::memory_order_release);
    st.udp = rpc_udp_server_socket(0, PMAP_PORT, false);
    if (st.udp != NET_INVALID) st.tcp = rpc_tcp_server_socket(0, PMAP_PORT);
    if (st.udp == NET_INVALID || st.tcp == NET_INVALID) {
        pmap_note_event(1, "bind on port %u failed\n", unsigned(PMAP_PORT));
        close_sockets(st);
        return false;
    }
    st.udp_handle = rpc_handle_create(st.udp, RPC_UDP, PMAP_PORT, k_capacity);
    if (!st.udp_handle || !make_wake_socket(st)) {
        pmap_note_event(2, "ostel: out of memory\n");
        close_sockets(st);
        return false;
    }
    pmap_table_reset();
    log_event(1, "ostel ready on port %u\n", unsigned(PMAP_PORT));
    log_flush();
    st.running.store(true);
    return true;
}

void request_stop(service_state& st) {
    st.stop.store(true, std::memory_order_release);
    if (st.wake != NET_INVALID) net_sendto(st.wake, "", 1, st.wake_addr);
}

void builtin_thread(void* arg) {
    auto* st = static_cast<service_state*>(arg);
    serve_loop(*st);
    event_set(st->loop_ended);
}

}  // namespace

bool pmap_builtin_start() {
    service_state& st = state();
    if (!st.loop_ended) st.loop_ended = event_create(true, false);
    if (!st.loop_ended) return false;
    event_reset(st.loop_ended);
    if (!open_service(st, false)) return false;
    if (thread_start(builtin_thread, &st)) {
        st.thread_started = true;
        return true;
    }
    st.running.store(false);
    close_sockets(st);
    return false;
}

void pmap_builtin_stop() {
    service_state& st = state();
    if (!st.thread_started) return;   // not running, or already stopped
    request_stop(st);
    if (event_wait(st.loop_ended, k_stop_wait_ms)) st.thread_started = false;
    wait_for_connections(st);
}

bool pmap_daemon_start() { return open_service(state(), true); }

void pmap_daemon_serve() {
    service_state& st = state();
    if (!st.running.load()) return;
    serve_loop(st);
    wait_for_connections(st);
}

void pmap_daemon_stop() { request_stop(state()); }

bool pmap_running() { return state().running.load(); }
