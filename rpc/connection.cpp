// Threads of accepted TCP connections. The thread that reads a request runs
// and answers it itself, so a short request costs no wake-up of another
// thread; work that has been taking long goes on while a further thread of
// the connection reads the next request. A request's buffer comes from the
// pool when its record begins and goes back after the reply: between
// requests a connection holds its socket, one thread and a small record.
#include <cstdlib>
#include <cstring>
#include <new>
#include <unordered_map>
#include <vector>

#include "platform/memory.h"
#include "rpc/buffer_pool.h"
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
    uint32_t peak = 0;   // most connections at once since the heap was last trimmed
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

// How long each procedure has been taking, as a running average. Work
// expected to take longer than RPC_LONG_WORK_US is run after handing the read
// turn on; a wake-up costs less than that wait for the next request.
constexpr uint32_t RPC_LONG_WORK_US = 150;
constexpr int kWorkSlots = 64;

struct work_time {
    std::atomic<uint32_t> key{0};   // hash of program, version and procedure
    std::atomic<uint32_t> average_us{0};
};
work_time g_work_times[kWorkSlots];

uint32_t work_key(const rpc_call& call) {
    const uint32_t k = (call.program * 0x9E3779B1u) ^ (call.version * 0x85EBCA77u) ^ (call.procedure * 0xC2B2AE3Du);
    return k ? k : 1;
}

work_time& work_slot(uint32_t key) { return g_work_times[key >> 26]; }

bool expected_long(const rpc_call& call) {
    const uint32_t key = work_key(call);
    const work_time& w = work_slot(key);
    return w.key.load(std::memory_order_relaxed) == key &&
           w.average_us.load(std::memory_order_relaxed) > RPC_LONG_WORK_US;
}

// Racing updates may lose one another's sample: the figure is a hint.
void note_work_time(const rpc_call& call, uint64_t took_us) {
    const uint32_t key = work_key(call);
    work_time& w = work_slot(key);
    const uint32_t sample = took_us > 0xFFFFFFu ? 0xFFFFFFu : uint32_t(took_us);
    if (w.key.load(std::memory_order_relaxed) != key) {
        w.key.store(key, std::memory_order_relaxed);
        w.average_us.store(sample, std::memory_order_relaxed);
        return;
    }
    const uint32_t old = w.average_us.load(std::memory_order_relaxed);
    w.average_us.store(uint32_t((uint64_t(old) * 3 + sample) / 4), std::memory_order_relaxed);
}

// One record being read. Silence before a record may last the idle time;
// once a record has begun it must be whole within the record time, so a peer
// trickling a byte now and then cannot hold its slot.
struct record_read {
    conn_group* g;
    uint32_t begun_at;
};

bool stopped(const conn_group* g) { return rpc_stopping() || g->ended.load(); }

// Waits until the socket is readable within `left_ms`, in slices so that a
// stopping server and an ended connection end the wait. Result: 1 readable,
// 0 not within the time, -1 the connection ends.
int wait_readable(conn_group* g, int64_t left_ms) {
    for (;;) {
        if (stopped(g)) return -1;
        if (left_ms <= 0) return 0;
        const int slice = left_ms < RPC_STOP_POLL_MS ? int(left_ms) : RPC_STOP_POLL_MS;
        const int w = net_wait_one(g->socket, slice);
        if (w > 0) return 1;
        if (w < 0 && net_last_error() != NET_WSAEINTR) return -1;
        left_ms -= slice;
    }
}

// The one thread left parks the connection; other threads waiting for the
// turn are first told to leave. false: not parked (yet).
bool try_park(conn_group* g) {
    {
        crit_guard guard(&g->lock);
        if (g->threads > 1) {
            g->dismiss = true;
            event_set(g->turn_free);
            return false;
        }
        g->dismiss = false;
    }
    return connection_park(g);
}

void keep_threads(conn_group* g) {
    crit_guard guard(&g->lock);
    g->dismiss = false;
}

enum class between { record, parked, ended };

between wait_record(conn_group* g) {
    if (g->stash_len) return between::record;
    int64_t left = int64_t(g_rpc_settings.tcp_idle_seconds) * 1000;
    bool waited = false;
    for (int64_t span = RPC_PARK_MS;; span = RPC_PARK_MS / 20) {   // then while the others leave
        if (span > left) span = left;
        const int w = wait_readable(g, span);
        if (w < 0) return between::ended;
        if (w > 0) break;
        left -= span;
        if (left <= 0) return between::ended;
        if (try_park(g)) return between::parked;
        waited = true;
    }
    if (waited) keep_threads(g);
    const int n = net_recv(g->socket, g->stash, RPC_STASH_BYTES);
    if (n <= 0) return between::ended;
    g->stash_at = 0;
    g->stash_len = uint32_t(n);
    return between::record;
}

int from_stash(conn_group* g, uint8_t* dst, int len) {
    const int n = len < int(g->stash_len) ? len : int(g->stash_len);
    std::memcpy(dst, g->stash + g->stash_at, size_t(n));
    g->stash_at += uint32_t(n);
    g->stash_len -= uint32_t(n);
    return n;
}

// Receives like recv for the record reader: stashed bytes first; a small
// need is received into the stash with what follows it, a large one straight
// into place. The socket is waited for only when it has nothing yet.
int record_recv(void* ctx, uint8_t* dst, int len) {
    auto* r = static_cast<record_read*>(ctx);
    conn_group* g = r->g;
    if (g->stash_len) return from_stash(g, dst, len);
    const bool small = len < RPC_STASH_BYTES;
    uint8_t* into = small ? g->stash : dst;
    const int room = small ? RPC_STASH_BYTES : len;
    int n = net_recv_nowait(g->socket, into, room);
    if (n < 0 && net_last_error() == NET_WSAEWOULDBLOCK) {
        // Readable then means data or the peer's close, which only a receive tells apart.
        const int64_t left = int64_t(g_rpc_settings.tcp_record_seconds) * 1000 - int64_t(tick_count_ms() - r->begun_at);
        if (wait_readable(g, left) <= 0) return -1;
        n = net_recv(g->socket, into, room);
    }
    if (n <= 0) return -1;
    if (!small) return n;
    g->stash_at = 0;
    g->stash_len = uint32_t(n);
    return from_stash(g, dst, len);
}

// Under g->lock: gives up the read turn to a thread waiting for it, or
// starts one while the connection has fewer than its threads.
bool hand_turn_on(conn_group* g, uint32_t most) {
    g->reading = false;
    if (g->waiting) {
        event_set(g->turn_free);
        return false;
    }
    if (g->threads >= most) return false;
    ++g->threads;
    return true;
}

void connection_thread(void* arg);

bool start_thread(rpc_handle* h) {
    serving_thread_enter();
    if (thread_start(connection_thread, h)) return true;
    serving_thread_leave();
    log_printf(2, "quen: tcp thread create error\n");
    return false;
}

rpc_handle* thread_handle(conn_group* g, int32_t index) {
    rpc_handle* h = rpc_handle_create(g->socket, RPC_TCP, g->port, 0);
    if (!h) {
        log_printf(2, "quen: tcp create error\n");
        return nullptr;
    }
    h->peer = g->peer;
    h->peer_len = g->peer_len;
    h->entry = g->entry;
    h->group = g;
    h->thread_index = index;
    return h;
}

uint32_t most_threads() {
    const uint32_t n = g_rpc_settings.tcp_threads;
    return n < 1 ? 1 : n > RPC_MAX_TCP_THREADS ? RPC_MAX_TCP_THREADS : n;
}

// Called with a place already counted in g->threads.
bool start_helper(conn_group* g, int32_t index) {
    rpc_handle* h = thread_handle(g, index);
    if (h && start_thread(h)) return true;
    rpc_handle_free(h);
    crit_guard guard(&g->lock);
    --g->threads;   // never the last: the caller is one of them
    return false;
}

// A thread without the read turn waits for it. false: the connection has
// ended, or is about to park and the thread leaves.
bool take_turn(conn_group* g) {
    crit_guard guard(&g->lock);
    while (g->reading) {
        if (stopped(g) || g->dismiss) return false;
        ++g->waiting;
        crit_leave(&g->lock);
        event_wait(g->turn_free, RPC_STOP_POLL_MS);
        crit_enter(&g->lock);
        --g->waiting;
    }
    if (stopped(g)) return false;
    g->reading = true;
    return true;
}

// Marks the connection finished once and wakes its threads; the socket
// itself stays open until the last thread has left, so no thread ever uses a
// socket value that a later accept has reused.
void end_connection(conn_group* g) {
    if (!g->ended.exchange(true)) net_shutdown(g->socket);
    event_set(g->turn_free);
}

void free_group(conn_group* g) {
    if (g->turn_free) event_close(g->turn_free);
    crit_delete(&g->lock);
    crit_delete(&g->send_lock);
    g->~conn_group();
    std::free(g);
}

// Drops one of the group's thread places; the last one closes the connection.
void drop_place(conn_group* g) {
    bool last;
    {
        crit_guard guard(&g->lock);
        last = --g->threads == 0;
        // Under the lock: once it is left, the last thread may free the group.
        if (!last) event_set(g->turn_free);   // passes an end on to the next waiting thread
    }
    if (!last) return;
    // Out of the table before the socket closes: nobody shuts a socket value a later accept reuses.
    connection_release(g->entry);
    rpc_close_socket(g->socket);
    free_group(g);
}

void leave_connection(rpc_handle* h) {
    conn_group* g = h->group;
    rpc_handle_free(h);
    drop_place(g);
    serving_thread_leave();
}

void lend_buffer(rpc_handle* h, uint8_t* block, int32_t capacity) {
    h->mark_slot = block;
    h->buffer = block ? block + 4 : nullptr;
    h->capacity = block ? capacity : 0;
    h->msg_len = 0;
}

enum class served { one, ended, parked };

// Reads, runs and answers one request while holding the read turn; *turn is
// cleared when the turn was handed on.
served serve_one(rpc_handle* h, rpc_call* call, bool* turn) {
    conn_group* g = h->group;
    const between b = wait_record(g);
    if (b != between::record) return b == between::parked ? served::parked : served::ended;
    request_begun(g->entry);   // no longer idle: never closed to make room now
    uint8_t* block = rpc_pool_take(g->capacity);
    if (!block) log_printf(2, "quen: out of memory\n");
    lend_buffer(h, block, g->capacity);
    record_read r{g, tick_count_ms()};
    const bool ok = block && rpc_read_record_from(h, record_recv, nullptr, &r) && rpc_decode_call(h, call);
    if (ok) {
        g_idle_counter.store(0, std::memory_order_relaxed);
        const uint32_t most = most_threads();
        if (most > 1 && expected_long(*call)) {
            bool start;
            {
                crit_guard guard(&g->lock);
                start = hand_turn_on(g, most);
            }
            *turn = false;
            if (start) start_helper(g, h->thread_index + 1);
        }
        const uint64_t from = tick_count_us();
        rpc_dispatch(h, call);
        note_work_time(*call, tick_count_us() - from);
    }
    lend_buffer(h, nullptr, 0);
    rpc_pool_give(block, g->capacity);
    request_ended(g->entry);
    return ok ? served::one : served::ended;
}

void connection_thread(void* arg) {
    auto* h = static_cast<rpc_handle*>(arg);
    conn_group* g = h->group;
    rpc_call call{};
    // The first thread of a connection starts with the turn, a helper without.
    bool turn = h->thread_index == 0;
    for (;;) {
        if (!turn && !take_turn(g)) break;
        turn = true;
        const served s = serve_one(h, &call, &turn);
        if (s == served::parked) {   // the connection is the watcher's now
            rpc_handle_free(h);
            serving_thread_leave();
            return;
        }
        if (s == served::ended) {
            end_connection(g);
            break;
        }
    }
    if (turn) {
        crit_guard guard(&g->lock);
        g->reading = false;
    }
    leave_connection(h);
}

}  // namespace

uint32_t connection_idle_since(const conn_group* g) { return g->entry->idle_since.load(); }

bool connection_resume(conn_group* g) {
    {
        crit_guard guard(&g->lock);
        g->threads = 1;
        g->reading = true;
    }
    rpc_handle* h = thread_handle(g, 0);
    if (h && start_thread(h)) return true;
    rpc_handle_free(h);
    return false;
}

void connection_end_parked(conn_group* g) {
    g->ended.store(true);
    net_shutdown(g->socket);
    connection_release(g->entry);
    rpc_close_socket(g->socket);
    free_group(g);
}

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
    if (++c.all > c.peak) c.peak = c.all;
    ++c.by_peer[peer];
    return e;
}

void connection_release(conn_entry* e) {
    if (!e) return;
    connection_counts& c = counts();
    bool trim = false;
    {
        crit_guard guard(&c.lock);
        unlist(c, e);
        // A wave of clients has left: what their connections freed goes back
        // to the system rather than staying in the heap.
        if (c.peak >= 64 && c.all * 4 <= c.peak) {
            trim = true;
            c.peak = c.all;
        }
    }
    delete e;
    if (trim) heap_trim();
}

void start_connection_threads(rpc_handle* listener, net_socket s, const net_addr4& peer, int32_t peer_len,
                              conn_entry* e) {
    void* mem = std::calloc(1, sizeof(conn_group));
    conn_group* g = mem ? new (mem) conn_group{} : nullptr;
    plat_event* turn_free = g ? event_create(false, false) : nullptr;
    if (!turn_free) {
        log_printf(2, "quen: tcp create error\n");
        std::free(mem);
        connection_release(e);
        rpc_close_socket(s);
        return;
    }
    g->socket = s;
    g->entry = e;
    g->port = listener->port;
    g->capacity = listener->capacity;
    g->peer = peer;
    g->peer_len = peer_len;
    g->turn_free = turn_free;
    crit_init(&g->lock);
    crit_init(&g->send_lock);
    g->reading = true;   // the first thread's
    // One place for each thread started and one for this loop, so that a
    // connection whose first thread ends at once is not freed under it.
    g->threads = 2;
    rpc_handle* h = thread_handle(g, 0);
    if (!h || !start_thread(h)) {
        rpc_handle_free(h);
        connection_release(e);
        rpc_close_socket(s);
        free_group(g);
        return;
    }
    // The others wait for the read turn: they serve while work that has
    // been taking long runs, and leave when the connection parks or ends.
    for (uint32_t i = 1; i < most_threads(); ++i) {
        {
            crit_guard guard(&g->lock);
            ++g->threads;
        }
        if (!start_helper(g, int32_t(i))) break;
    }
    drop_place(g);
}
