// Threads of accepted TCP connections: one thread, or a group taking turns
// to read whole records and serving them in parallel.
#include <cstdlib>
#include <new>
#include <unordered_map>
#include <vector>

#include "rpc/log.h"
#include "rpc/serving.h"
#include "rpc/settings.h"
#include "rpc/share.h"

struct conn_entry {
    net_socket socket;
    uint32_t peer;
    std::atomic<int> busy{0};              // requests begun and not yet answered
    std::atomic<uint32_t> idle_since{0};   // tick when the last one was answered, or of the accept
    bool listed = true;                    // in the table; false once closed to make room
};

namespace {

// Connections being served, in all and by peer address.
struct connection_counts {
    crit_section lock;
    uint32_t all = 0;
    std::unordered_map<uint32_t, uint32_t> by_peer;
    std::vector<conn_entry*> live;
    connection_counts() { crit_init(&lock); }
};

// Never destroyed: connection threads may still end while the process exits.
connection_counts& counts() {
    static connection_counts* c = new connection_counts;
    return *c;
}

uint32_t held_by(const connection_counts& c, uint32_t peer) {
    const auto at = c.by_peer.find(peer);
    return at == c.by_peer.end() ? 0 : at->second;
}

// Under the lock: takes the entry out of the counts and the list.
void unlist(connection_counts& c, conn_entry* e) {
    if (!e->listed) return;
    e->listed = false;
    --c.all;
    auto at = c.by_peer.find(e->peer);
    if (at != c.by_peer.end() && --at->second == 0) c.by_peer.erase(at);
    for (size_t i = 0; i < c.live.size(); ++i) {
        if (c.live[i] != e) continue;
        c.live[i] = c.live.back();
        c.live.pop_back();
        break;
    }
}

// Under the lock: the connection idle between requests the longest (of the
// peer only when own), or null.
conn_entry* longest_idle(const connection_counts& c, bool own, uint32_t peer) {
    const uint32_t now = tick_count_ms();
    conn_entry* found = nullptr;
    uint32_t longest = 0;
    for (conn_entry* e : c.live) {
        if (e->busy.load() != 0 || (own && e->peer != peer)) continue;
        const uint32_t idle = now - e->idle_since.load();
        if (!found || idle > longest) {
            found = e;
            longest = idle;
        }
    }
    return found;
}

void request_begun(conn_entry* e) {
    if (e) e->busy.fetch_add(1);
}

void request_ended(conn_entry* e) {
    if (!e) return;
    e->idle_since.store(tick_count_ms());
    e->busy.fetch_sub(1);
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
                request_begun(h->entry);   // no longer idle: never closed to make room now
            }
            return n;
        }
        if (w < 0 && net_last_error() != NET_WSAEINTR) return -1;
        idle_left -= slice;
    }
}

// Reads a record; *begun: bytes of one arrived, so the request counts as
// begun until request_ended.
bool read_request(rpc_handle* h, bool* begun) {
    record_read r{h};
    const bool got = rpc_read_record_from(h, connection_recv, nullptr, &r);
    *begun = r.begun;
    return got;
}

void connection_thread(void* arg) {
    auto* h = static_cast<rpc_handle*>(arg);
    rpc_call call{};
    for (;;) {
        bool begun = false;
        const bool served = read_request(h, &begun) && serve_message(h, &call);
        if (begun) request_ended(h->entry);
        if (!served) break;
    }
    // Out of the table before the socket closes: nobody shuts a socket value a later accept reuses.
    connection_release(h->entry);
    rpc_close_socket(h->socket);
    rpc_handle_free(h);
    serving_thread_leave();
}

// Marks the connection finished once and wakes the threads blocked on it; the
// socket itself stays open until the last thread of the group has ended, so
// no thread ever uses a socket value that a later accept has reused.
void end_connection(conn_group* g, net_socket s) {
    if (!g->ended.exchange(true)) net_shutdown(s);
}

void release_group(conn_group* g, net_socket s, conn_entry* e) {
    if (g->threads.fetch_sub(1) > 1) return;
    connection_release(e);
    rpc_close_socket(s);
    crit_delete(&g->read_lock);
    crit_delete(&g->send_lock);
    g->~conn_group();
    std::free(g);
}

void group_thread(void* arg) {
    auto* h = static_cast<rpc_handle*>(arg);
    conn_group* g = h->group;
    rpc_call call{};
    for (;;) {
        bool begun = false;
        crit_enter(&g->read_lock);
        const bool got = !g->ended.load() && read_request(h, &begun);
        crit_leave(&g->read_lock);
        const bool served = got && serve_message(h, &call);
        if (begun) request_ended(h->entry);
        if (!served) break;
    }
    end_connection(g, h->socket);
    net_socket s = h->socket;
    conn_entry* e = h->entry;
    rpc_handle_free(h);
    release_group(g, s, e);
    serving_thread_leave();
}

rpc_handle* connection_handle(rpc_handle* listener, net_socket s, const net_addr4& peer, int32_t peer_len,
                              conn_entry* e) {
    rpc_handle* h = rpc_handle_create(s, RPC_TCP, listener->port, listener->capacity);
    if (!h) {
        log_printf(2, "quen: tcp create error\n");
        return nullptr;
    }
    h->peer = peer;
    h->peer_len = peer_len;
    h->entry = e;
    return h;
}

bool start_thread(void (*fn)(void*), rpc_handle* h) {
    serving_thread_enter();
    if (thread_start(fn, h)) return true;
    serving_thread_leave();
    log_printf(2, "quen: tcp thread create error\n");
    return false;
}

void start_single(rpc_handle* listener, net_socket s, const net_addr4& peer, int32_t peer_len, conn_entry* e) {
    rpc_handle* h = connection_handle(listener, s, peer, peer_len, e);
    if (h && start_thread(connection_thread, h)) return;
    connection_release(e);
    rpc_close_socket(s);
    rpc_handle_free(h);
}

}  // namespace

conn_entry* connection_admit(uint32_t peer, net_socket s) {
    connection_counts& c = counts();
    crit_guard guard(&c.lock);
    share_state state{g_rpc_settings.tcp_max_connections, g_rpc_settings.tcp_per_client, c.all, held_by(c, peer), 0, 0};
    for (const conn_entry* e : c.live) {
        if (e->busy.load() != 0) continue;
        ++state.idle;
        if (e->peer == peer) ++state.idle_of_client;
    }
    const share_verdict verdict = share_decide(state);
    if (verdict == share_verdict::refuse) return nullptr;
    conn_entry* e = new (std::nothrow) conn_entry;
    if (!e) return nullptr;
    if (verdict != share_verdict::admit) {
        conn_entry* idle = longest_idle(c, verdict == share_verdict::reclaim_own, peer);
        if (!idle) {
            delete e;
            return nullptr;
        }
        // Its threads see the end of the stream; the entry is theirs to free.
        unlist(c, idle);
        net_shutdown(idle->socket);
        log_printf(2, "quen: idle connection closed for a new one\n");
    }
    e->socket = s;
    e->peer = peer;
    e->idle_since.store(tick_count_ms());
    c.live.push_back(e);
    ++c.all;
    ++c.by_peer[peer];
    return e;
}

void connection_release(conn_entry* e) {
    if (!e) return;
    connection_counts& c = counts();
    {
        crit_guard guard(&c.lock);
        unlist(c, e);
    }
    delete e;
}

void start_connection_threads(rpc_handle* listener, net_socket s, const net_addr4& peer, int32_t peer_len,
                              conn_entry* e) {
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
        start_single(listener, s, peer, peer_len, e);
        return;
    }
    // One reference for the starting loop keeps early-ending threads from
    // freeing the group while the rest are still being started.
    g->threads.store(1);
    for (uint32_t i = 0; i < n; ++i) {
        rpc_handle* h = connection_handle(listener, s, peer, peer_len, e);
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
    release_group(g, s, e);
}
