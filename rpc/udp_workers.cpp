// Worker threads that receive and serve datagrams of one UDP socket in parallel.
#include <cstdlib>
#include <new>

#include "rpc/log.h"
#include "rpc/serving.h"

namespace {

// The workers of one socket; the last to end closes the socket.
struct worker_set {
    std::atomic<int> alive;
    net_socket socket;
};

struct worker {
    rpc_handle* h;
    worker_set* set;
};

void worker_thread(void* arg) {
    worker w = *static_cast<worker*>(arg);
    std::free(arg);
    rpc_handle* h = w.h;
    rpc_call call{};
    net_udp_receiver rx;
    if (net_udp_receiver_open(&rx)) {
        while (!rpc_stopping()) {
            h->msg_len = 0;
            h->peer_len = NET_ADDR4_LEN;
            int n = net_udp_receive(&rx, h->socket, h->buffer, h->capacity, &h->peer, &h->peer_len,
                                    RPC_STOP_POLL_MS);
            if (n == NET_RECV_ERROR) {
                sleep_ms(1000);
                continue;
            }
            if (n <= 0) continue;   // time-out, failed completion or an empty datagram
            h->msg_len = n;
            serve_message(h, &call);
        }
        net_udp_receiver_close(&rx);
    }
    rpc_handle_free(h);
    if (w.set->alive.fetch_sub(1) == 1) {
        rpc_close_socket(w.set->socket);
        w.set->~worker_set();
        std::free(w.set);
    }
    serving_thread_leave();
}

bool start_worker(rpc_handle* h, worker_set* set) {
    auto* w = static_cast<worker*>(std::malloc(sizeof(worker)));
    if (!w) return false;
    *w = worker{h, set};
    set->alive.fetch_add(1);
    serving_thread_enter();
    if (thread_start(worker_thread, w)) return true;
    serving_thread_leave();
    set->alive.fetch_sub(1);
    std::free(w);
    return false;
}

}  // namespace

bool rpc_start_udp_workers(int n, rpc_handle* h) {
    if (n <= 1) return false;
    void* mem = std::calloc(1, sizeof(worker_set));
    if (!mem) return false;
    auto* set = new (mem) worker_set{};
    set->socket = h->socket;
    // The starting reference keeps the set alive until every worker is started.
    set->alive.store(1);
    bool started = start_worker(h, set);
    if (!started) log_printf(2, "quen: udp thread create error\n");
    for (int i = 1; started && i < n; ++i) {
        rpc_handle* extra = rpc_handle_create(h->socket, h->protocol, h->port, h->capacity);
        if (!extra) {
            log_printf(2, "quen: udp create error\n");
            break;
        }
        if (!start_worker(extra, set)) {
            log_printf(2, "quen: udp thread create error\n");
            rpc_handle_free(extra);
            break;
        }
    }
    if (set->alive.fetch_sub(1) == 1) {
        // Workers that already ended leave the socket to be closed here; when
        // none started, the caller keeps it and serves it from the main loop.
        if (started) rpc_close_socket(set->socket);
        set->~worker_set();
        std::free(set);
    }
    return started;
}
