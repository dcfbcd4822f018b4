// Parked connections: silent ones that have given up their threads. A few
// watcher threads wait on their sockets, up to 127 each, and give a
// connection a thread again when its next request arrives; they also close a
// parked connection silent for the idle time, and all of them at stop.
#include <new>
#include <vector>

#include "rpc/serving.h"
#include "rpc/settings.h"

namespace {

constexpr int kWatchMax = 127;   // with the wake socket, what one wait takes

struct watcher {
    net_socket wake = NET_INVALID;   // a datagram to itself interrupts the wait for a new socket
    net_addr4 wake_addr{};
    conn_group* parked[kWatchMax];
    int count = 0;
};

struct watcher_list {
    crit_section lock;   // every watcher's parked set, and the list
    std::vector<watcher*> all;
    watcher_list() { crit_init(&lock); }
};

// Never destroyed: watchers may still end while the process exits.
watcher_list& watchers() {
    static watcher_list* l = new watcher_list;
    return *l;
}

// Under the lock.
void take_out(watcher* w, conn_group* g) {
    for (int i = 0; i < w->count; ++i) {
        if (w->parked[i] != g) continue;
        w->parked[i] = w->parked[--w->count];
        return;
    }
}

void watcher_thread(void* arg) {
    auto* w = static_cast<watcher*>(arg);
    watcher_list& l = watchers();
    net_socket sockets[kWatchMax + 1];
    bool ready[kWatchMax + 1];
    conn_group* seen[kWatchMax];
    for (;;) {
        int n;
        {
            crit_guard guard(&l.lock);
            if (w->count == 0) {   // nothing left to watch: the next park starts a watcher again
                for (size_t i = 0; i < l.all.size(); ++i)
                    if (l.all[i] == w) {
                        l.all[i] = l.all.back();
                        l.all.pop_back();
                        break;
                    }
                break;
            }
            n = w->count;
            for (int i = 0; i < n; ++i) {
                seen[i] = w->parked[i];
                sockets[i] = seen[i]->socket;
            }
        }
        sockets[n] = w->wake;
        const int r = net_wait_readable(sockets, n + 1, ready, RPC_STOP_POLL_MS);
        const bool stopping = rpc_stopping();
        const uint32_t now = tick_count_ms();
        const uint32_t idle_ms = g_rpc_settings.tcp_idle_seconds * 1000;
        if (r > 0 && ready[n]) {
            char drain[16];
            net_recvfrom(w->wake, drain, sizeof drain, nullptr, nullptr);
        }
        for (int i = 0; i < n; ++i) {
            conn_group* g = seen[i];
            const bool has_data = r > 0 && ready[i];
            const bool expired = now - connection_idle_since(g) >= idle_ms;
            if (!stopping && !has_data && !expired) continue;
            {
                crit_guard guard(&l.lock);
                take_out(w, g);
            }
            if (stopping || !has_data || !connection_resume(g)) connection_end_parked(g);
        }
    }
    rpc_close_socket(w->wake);
    delete w;
    serving_thread_leave();
}

watcher* start_watcher() {
    auto* w = new (std::nothrow) watcher;
    if (!w) return nullptr;
    w->wake = rpc_udp_server_socket(0x7F000001u, 0, false);
    if (w->wake != NET_INVALID && net_local_address(w->wake, &w->wake_addr)) {
        serving_thread_enter();
        if (thread_start(watcher_thread, w)) return w;
        serving_thread_leave();
    }
    rpc_close_socket(w->wake);
    delete w;
    return nullptr;
}

}  // namespace

bool connection_park(conn_group* g) {
    if (rpc_stopping()) return false;
    watcher_list& l = watchers();
    crit_guard guard(&l.lock);
    watcher* w = nullptr;
    for (watcher* each : l.all)
        if (each->count < kWatchMax) {
            w = each;
            break;
        }
    bool fresh = false;
    if (!w) {
        // Started under the lock: it cannot see its empty set and leave before the first socket is in.
        w = start_watcher();
        if (!w) return false;
        l.all.push_back(w);
        fresh = true;
    }
    w->parked[w->count++] = g;
    if (!fresh) net_sendto(w->wake, "", 1, w->wake_addr);
    return true;
}
