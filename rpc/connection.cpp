// Threads of accepted TCP connections: one thread, or a group taking turns
// to read whole records and serving them in parallel.
#include <cstdlib>
#include <new>
#include <unordered_map>

#include "rpc/log.h"
#include "rpc/serving.h"
#include "rpc/settings.h"

namespace {

// Connections being served, in all and by peer address.
struct connection_counts {
    crit_section lock;
    uint32_t all = 0;
    std::unordered_map<uint32_t, uint32_t> by_peer;
    connection_counts() { crit_init(&lock); }
};

// Never destroyed: connection threads may still end while the process exits.
connection_counts& counts() {
    static connection_counts* c = new connection_counts;
    return *c;
}

// One record being read from a connection. Silence before a record may last
// the idle time; once a record has begun it must be whole within the record
// time, so a peer trickling a byte now and then cannot hold its slot.
struct record_read {
    rpc_handle* h;
    bool begun = false;
    uint32_t begun_at = 0;
};

// Waits for data in slices so that a stopping server, an idle peer and a
// record past its time all end the read; then receives like recv.
int connection_recv(void* ctx, uint8_t* dst, int len) {
    auto* r = static_cast<record_read*>(ctx);
    rpc_handle* h = r->h;
    int64_t idle_left = int64_t(g_rpc_settings.tcp_idle_seconds) * 1000;
    for (;;) {
        if (rpc_stopping()) return -1;
        if (h->group && h->group->ended.load()) return -1;
        int64_t left = idle_left;
        if (r->begun) left = int64_t(g_rpc_settings.tcp_record_seconds) * 1000 - int64_t(tick_count_ms() - r->begun_at);
        if (left <= 0) return -1;
        const int slice = left < RPC_STOP_POLL_MS ? int(left) : RPC_STOP_POLL_MS;
        const int w = net_wait_one(h->socket, slice);
        if (w > 0) {
            const int n = net_recv(h->socket, dst, len);
            if (n > 0 && !r->begun) {
                r->begun = true;
                r->begun_at = tick_count_ms();
            }
            return n;
        }
        if (w < 0 && net_last_error() != NET_WSAEINTR) return -1;
        idle_left -= slice;
    }
}

bool read_request(rpc_handle* h) {
    record_read r{h};
    return rpc_read_record_from(h, connection_recv, nullptr, &r);
}

void connection_thread(void* arg) {
    auto* h = static_cast<rpc_handle*>(arg);
    rpc_call call{};
    while (read_request(h) && serve_message(h, &call)) {
    }
    rpc_close_socket(h->socket);
    const uint32_t peer = h->peer.addr;
    rpc_handle_free(h);
    connection_release(peer);
    serving_thread_leave();
}

// Marks the connection finished once and wakes the threads blocked on it; the
// socket itself stays open until the last thread of the group has ended, so
// no thread ever uses a socket value that a later accept has reused.
void end_connection(conn_group* g, net_socket s) {
    if (!g->ended.exchange(true)) net_shutdown(s);
}

void release_group(conn_group* g, net_socket s, uint32_t peer) {
    if (g->threads.fetch_sub(1) > 1) return;
    rpc_close_socket(s);
    crit_delete(&g->read_lock);
    crit_delete(&g->send_lock);
    g->~conn_group();
    std::free(g);
    connection_release(peer);
}

void group_thread(void* arg) {
    auto* h = static_cast<rpc_handle*>(arg);
    conn_group* g = h->group;
    rpc_call call{};
    for (;;) {
        crit_enter(&g->read_lock);
        bool got = !g->ended.load() && read_request(h);
        crit_leave(&g->read_lock);
        if (!got || !serve_message(h, &call)) break;
    }
    end_connection(g, h->socket);
    net_socket s = h->socket;
    const uint32_t peer = h->peer.addr;
    rpc_handle_free(h);
    release_group(g, s, peer);
    serving_thread_leave();
}

rpc_handle* connection_handle(rpc_handle* listener, net_socket s, const net_addr4& peer, int32_t peer_len) {
    rpc_handle* h = rpc_handle_create(s, RPC_TCP, listener->port, listener->capacity);
    if (!h) {
        log_printf(2, "quen: tcp create error\n");
        return nullptr;
    }
    h->peer = peer;
    h->peer_len = peer_len;
    return h;
}

bool start_thread(void (*fn)(void*), rpc_handle* h) {
    serving_thread_enter();
    if (thread_start(fn, h)) return true;
    serving_thread_leave();
    log_printf(2, "quen: tcp thread create error\n");
    return false;
}

void start_single(rpc_handle* listener, net_socket s, const net_addr4& peer, int32_t peer_len) {
    rpc_handle* h = connection_handle(listener, s, peer, peer_len);
    if (h && start_thread(connection_thread, h)) return;
    rpc_close_socket(s);
    rpc_handle_free(h);
    connection_release(peer.addr);
}

}  // namespace

bool connection_admit(uint32_t peer) {
    connection_counts& c = counts();
    crit_guard guard(&c.lock);
    const uint32_t all_limit = g_rpc_settings.tcp_max_connections, peer_limit = g_rpc_settings.tcp_per_client;
    if (all_limit && c.all >= all_limit) return false;
    auto at = c.by_peer.find(peer);
    if (peer_limit && at != c.by_peer.end() && at->second >= peer_limit) return false;
    ++c.all;
    ++c.by_peer[peer];
    return true;
}

void connection_release(uint32_t peer) {
    connection_counts& c = counts();
    crit_guard guard(&c.lock);
    auto at = c.by_peer.find(peer);
    if (at == c.by_peer.end()) return;
    --c.all;
    if (--at->second == 0) c.by_peer.erase(at);
}

void start_connection_threads(rpc_handle* listener, net_socket s, const net_addr4& peer, int32_t peer_len) {
    uint32_t n = g_rpc_settings.tcp_threads;
    if (n > RPC_MAX_TCP_THREADS) n = RPC_MAX_TCP_THREADS;
    conn_group* g = nullptr;
    if (n > 1) {
        void* mem = std::calloc(1, sizeof(conn_group));
        if (mem) {
            g = new (mem) conn_group{};
            crit_init(&g->read_lock);
            crit_init(&g->send_lock);
        }
    }
    if (!g) {
        start_single(listener, s, peer, peer_len);
        return;
    }
    // One reference for the starting loop keeps early-ending threads from
    // freeing the group while the rest are still being started.
    g->threads.store(1);
    for (uint32_t i = 0; i < n; ++i) {
        rpc_handle* h = connection_handle(listener, s, peer, peer_len);
        if (!h) break;
        h->group = g;
        h->thread_index = int32_t(i);
        g->threads.fetch_add(1);
        if (!start_thread(group_thread, h)) {
            g->threads.fetch_sub(1);
            rpc_handle_free(h);
            break;
        }
    }
    if (g->threads.load() == 1) end_connection(g, s);   // not a single thread started
    release_group(g, s, peer.addr);
}
