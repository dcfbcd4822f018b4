// The server list and the main loop that watches its sockets.
#include <cstring>

#include "rpc/log.h"
#include "rpc/serving.h"
#include "rpc/settings.h"

std::atomic<int> g_idle_counter{0};

namespace {

struct server_list {
    crit_section lock;   // the list, the set and the wake socket
    rpc_handle* head = nullptr;
    int count = 0;
    net_socket sockets[RPC_MAX_SERVER_SOCKETS];
    net_socket wake = NET_INVALID;   // rpc_close_all interrupts the wait through it
    std::atomic<bool> stop{false};

    server_list() { crit_init(&lock, 4000); }
};

server_list& list() {
    static server_list l;
    return l;
}

std::atomic<int> g_serving{0};

int set_index(const server_list& l, net_socket s) {
    for (int i = 0; i < l.count; ++i)
        if (l.sockets[i] == s) return i;
    return -1;
}

void free_all(server_list& l) {
    for (rpc_handle* h = l.head; h;) {
        rpc_handle* next = h->next;
        rpc_close_socket(h->socket);
        rpc_handle_free(h);
        h = next;
    }
    l.head = nullptr;
    l.count = 0;
}

// Keeps the machine awake while requests arrive; changes the state only when
// the condition changes.
void govern_sleep(int* state) {
    bool busy = uint32_t(g_idle_counter.load(std::memory_order_relaxed)) < g_rpc_settings.rpc_idle;
    int want = busy ? 1 : 0;
    if (*state == want) return;
    *state = want;
    set_thread_execution_state(busy ? (EXEC_STATE_CONTINUOUS | EXEC_STATE_SYSTEM_REQUIRED) : EXEC_STATE_CONTINUOUS);
}

void accept_connection(rpc_handle* listener) {
    net_addr4 peer{};
    int32_t peer_len = NET_ADDR4_LEN;
    net_socket s = net_accept(listener->socket, &peer, &peer_len);
    if (s == NET_INVALID) {
        int err = net_last_error();
        // Out of descriptors: the listener stays readable, so pause rather than spin.
        if (err == NET_WSAEMFILE || err == NET_WSAENOBUFS) sleep_ms(100);
        return;
    }
    if (!net_set_option(s, NET_SO_KEEPALIVE, 1))
        log_printf(0, "quen: keepalive failed %u\n", unsigned(net_last_error()));
    // Replies go out as whole records in one send each: without this, the
    // second of two pipelined replies waits for the client's delayed ACK.
    net_set_option(s, NET_TCP_NODELAY, 1);
    conn_entry* e = connection_admit(peer.addr, s);
    if (!e) {
        log_printf(2, "quen: too many connections\n");
        net_close(s);
        return;
    }
    start_connection_threads(listener, s, peer, peer_len, e);
}

}  // namespace

bool rpc_stopping() { return list().stop.load(std::memory_order_acquire); }

void serving_thread_enter() { g_serving.fetch_add(1); }
void serving_thread_leave() { g_serving.fetch_sub(1); }
int rpc_serving_threads() { return g_serving.load(); }

bool serve_message(rpc_handle* h, rpc_call* call) {
    if (!rpc_decode_call(h, call)) return false;
    g_idle_counter.store(0, std::memory_order_relaxed);
    rpc_dispatch(h, call);
    return true;
}

void rpc_server_add(rpc_handle* h) {
    server_list& l = list();
    crit_guard g(&l.lock);
    if (set_index(l, h->socket) < 0 && l.count < RPC_MAX_SERVER_SOCKETS) l.sockets[l.count++] = h->socket;
    h->next = l.head;
    l.head = h;
}

void rpc_reset() {
    server_list& l = list();
    crit_guard g(&l.lock);
    l.stop.store(false, std::memory_order_release);
    l.count = 0;
}

void rpc_close_all() {
    server_list& l = list();
    crit_guard g(&l.lock);
    l.stop.store(true, std::memory_order_release);
    if (l.wake != NET_INVALID) {
        net_addr4 to{};
        if (net_local_address(l.wake, &to)) net_sendto(l.wake, "", 1, to);
    }
    free_all(l);
}

void rpc_main_loop() {
    server_list& l = list();
    {
        crit_guard g(&l.lock);
        if (l.stop.load()) return;
        l.wake = rpc_udp_server_socket(0x7F000001u, 0, false);
    }
    rpc_call call{};
    int sleep_state = -1;
    net_socket watch[RPC_MAX_SERVER_SOCKETS + 1];
    bool ready[RPC_MAX_SERVER_SOCKETS + 1];
    for (;;) {
        govern_sleep(&sleep_state);
        int count;
        {
            crit_guard g(&l.lock);
            if (l.stop.load()) break;
            count = l.count;
            std::memcpy(watch, l.sockets, sizeof(net_socket) * size_t(count));
            if (l.wake != NET_INVALID) watch[count++] = l.wake;
        }
        int n = net_wait_readable(watch, count, ready, int(g_rpc_settings.rpc_timeout) * 1000);
        if (rpc_stopping()) break;
        if (n == 0) {
            g_idle_counter.fetch_add(1, std::memory_order_relaxed);
            continue;
        }
        if (n < 0) {
            int err = net_last_error();
            if (err == NET_WSAEINTR || err == NET_WSAEWOULDBLOCK) continue;
            log_printf(2, "quen: fatal read error %d\n", err);
            break;
        }
        crit_guard g(&l.lock);
        for (rpc_handle* h = l.head; h; h = h->next) {
            if (l.stop.load()) break;
            int i = set_index(l, h->socket);
            // The set may have changed since the wait; only sockets watched then count.
            if (i < 0 || watch[i] != h->socket || !ready[i]) continue;
            ready[i] = false;   // one service per readiness, even when handles share a socket
            if (h->protocol == RPC_UDP) {
                if (rpc_receive_datagram(h)) serve_message(h, &call);
            } else {
                accept_connection(h);
            }
        }
        if (l.wake != NET_INVALID && ready[count - 1]) {
            char drain[16];
            net_recvfrom(l.wake, drain, sizeof drain, nullptr, nullptr);
        }
    }
    crit_guard g(&l.lock);
    l.wake = rpc_close_socket(l.wake);
}
