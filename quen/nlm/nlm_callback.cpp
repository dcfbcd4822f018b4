#include "quen/nlm/nlm_callback.h"

#include "platform/net.h"
#include "platform/thread.h"
#include "quen/nlm/nlm_wire.h"
#include "rpc/log.h"
#include "rpc/message.h"

#include <atomic>
#include <cstring>
#include <mutex>

namespace {

constexpr int kTries = 3;
constexpr int kWaitMs = 1000;

struct queued_call {
    bool used;
    uint32_t held_by;   // the hold it waits for; 0: ready
    uint32_t order;
    nlm_outgoing call;
};

struct callback_queue {
    crit_section lock;
    queued_call calls[kCallbackQueue];
    uint32_t next_order = 0, next_hold = 0;
    plat_event* wake = nullptr;
    plat_event* ended = nullptr;
    std::atomic<bool> stopping{false};
};
callback_queue g_queue;
std::once_flag g_once;
std::atomic<uint16_t> g_portmap_port{PMAP_PORT};
std::atomic<uint32_t> g_xid{0};
nlm_outgoing g_current;   // the sender thread's copy
thread_local uint32_t t_hold = 0;

uint32_t next_xid() {
    // Seeded from the tick count so that xids of two runs rarely meet.
    uint32_t expected = 0;
    g_xid.compare_exchange_strong(expected, (tick_count_ms() & 0xFFFFu) | 0x10000u);
    return g_xid.fetch_add(1);
}

// One call to addr:port over UDP. Result: the length of the checked reply
// (its results at RPC_REPLY_RESULTS), 0 for a failure or an error answer,
// -1 when no answer came in time (the caller builds the call again: the
// buffer now holds whatever arrived).
int call_once(rpc_handle* h, uint32_t addr, uint16_t port, size_t len) {
    socket_guard s(net_udp_socket(false));
    if (s.s == NET_INVALID || !net_bind(s.s, net_make_addr(0, 0))) return 0;
    h->socket = s.s;
    h->peer = net_make_addr(0, port);
    h->peer.addr = addr;
    h->peer_len = NET_ADDR4_LEN;
    h->msg_len = int32_t(len);
    h->xid = xdr_load32(h->buffer);
    int result = -1;
    if (rpc_send(h) > 0) {
        const uint32_t start = tick_count_ms();
        while (tick_count_ms() - start < uint32_t(kWaitMs)) {
            if (net_wait_one(s.s, kWaitMs) <= 0 || !rpc_receive_datagram(h)) break;
            const int checked = rpc_reply_check(h);
            if (checked == -1) continue;   // a late answer to an earlier try
            result = checked > 0 ? checked : 0;
            break;
        }
    }
    h->socket = NET_INVALID;
    return result;
}

size_t put_header(uint8_t* dst, uint32_t program, uint32_t version, uint32_t procedure, uint32_t flavor,
                  const uint8_t* cred) {
    static const uint32_t empty = 0;
    return xdr_put(dst, "qqqqqqqOqo", next_xid(), RPC_CALL, RPC_PROTOCOL_VERSION, program, version, procedure, flavor,
                   cred, AUTH_NULL, &empty);
}

// The call in `message` to addr:port, sent again (same xid) while no answer
// comes, at most kTries times. Result as call_once's, -1 when none came.
int call_with_retry(rpc_handle* h, uint32_t addr, uint16_t port, const uint8_t* message, size_t len) {
    int got = -1;
    // A stop waits for the sender: it gives up between tries.
    for (int round = 0; round < kTries && got < 0 && !g_queue.stopping.load(); ++round) {
        std::memcpy(h->buffer, message, len);
        got = call_once(h, addr, port, len);
    }
    return got;
}

// The port of the client's lock manager, from its portmapper; 0 when unknown.
uint16_t client_port(rpc_handle* h, const nlm_outgoing& c) {
    static const uint8_t null_cred[4] = {0, 0, 0, 0};
    uint8_t message[128];
    size_t n = put_header(message, PMAP_PROGRAM, PMAP_VERSION, 3 /* GETPORT */, AUTH_NULL, null_cred);
    n += xdr_put(message + n, "qqqq", NLM_PROGRAM, c.version, uint32_t(RPC_UDP), 0u);
    if (call_with_retry(h, c.addr, g_portmap_port.load(), message, n) < RPC_REPLY_RESULTS + 4) return 0;
    const uint32_t port = xdr_load32(h->buffer + RPC_REPLY_RESULTS);
    return port <= 0xFFFF ? uint16_t(port) : 0;
}

void send_call(rpc_handle* h, const nlm_outgoing& c) {
    const uint16_t port = client_port(h, c);
    if (port == 0) {
        log_printf(2, "nlmd: no lock manager at the client for callback %u\n", c.procedure);
        return;
    }
    static uint8_t message[64 + 4 + kNlmAuthMax + kCallbackArgsMax];
    const size_t n = put_header(message, NLM_PROGRAM, c.version, c.procedure, c.cred_flavor, c.cred);
    std::memcpy(message + n, c.args, c.args_len);
    // The answer (or GRANTED_RES later) is not needed: a call answered or
    // given up is done.
    call_with_retry(h, c.addr, port, message, n + c.args_len);
}

void sender_main(void*) {
    rpc_handle* h = rpc_handle_create(NET_INVALID, RPC_UDP, 0, RPC_SERVICE_CAPACITY);
    while (!g_queue.stopping.load()) {
        event_wait(g_queue.wake, 1000);
        for (;;) {
            {
                crit_guard g(&g_queue.lock);
                queued_call* first = nullptr;
                for (queued_call& q : g_queue.calls)
                    if (q.used && !q.held_by && (!first || int32_t(q.order - first->order) < 0)) first = &q;
                if (!first || g_queue.stopping.load()) {
                    event_reset(g_queue.wake);
                    break;
                }
                g_current = first->call;
                first->used = false;
            }
            if (h) send_call(h, g_current);
        }
    }
    if (h) rpc_handle_free(h);
    event_set(g_queue.ended);
}

}  // namespace

bool nlm_callback_queue(const nlm_outgoing& call) {
    std::call_once(g_once, [] { crit_init(&g_queue.lock); });
    crit_guard g(&g_queue.lock);
    queued_call* free_call = nullptr;
    for (queued_call& q : g_queue.calls)
        if (!q.used && !free_call) free_call = &q;
    if (!g_queue.wake || !free_call || call.args_len > kCallbackArgsMax) {
        log_printf(2, "nlmd: callback queue full\n");
        return false;
    }
    free_call->call = call;
    free_call->held_by = t_hold;
    free_call->order = g_queue.next_order++;
    free_call->used = true;
    if (!t_hold) event_set(g_queue.wake);
    return true;
}

nlm_callback_hold::nlm_callback_hold() {
    std::call_once(g_once, [] { crit_init(&g_queue.lock); });
    crit_guard g(&g_queue.lock);
    if (++g_queue.next_hold == 0) ++g_queue.next_hold;   // 0 marks a ready call
    t_hold = g_queue.next_hold;
}

nlm_callback_hold::~nlm_callback_hold() {
    crit_guard g(&g_queue.lock);
    bool released = false;
    for (queued_call& q : g_queue.calls)
        if (q.used && q.held_by == t_hold) {
            q.held_by = 0;
            released = true;
        }
    t_hold = 0;
    if (released && g_queue.wake) event_set(g_queue.wake);
}

bool nlm_callback_start() {
    std::call_once(g_once, [] { crit_init(&g_queue.lock); });
    if (g_queue.wake) return true;
    g_queue.stopping.store(false);
    g_queue.wake = event_create(true, false);
    g_queue.ended = event_create(true, false);
    if (g_queue.wake && g_queue.ended && thread_start(sender_main, nullptr)) return true;
    if (g_queue.wake) event_close(g_queue.wake);
    if (g_queue.ended) event_close(g_queue.ended);
    g_queue.wake = g_queue.ended = nullptr;
    return false;
}

void nlm_callback_stop() {
    if (!g_queue.wake) return;
    g_queue.stopping.store(true);
    event_set(g_queue.wake);
    event_wait(g_queue.ended, -1);
    crit_guard g(&g_queue.lock);
    event_close(g_queue.wake);
    event_close(g_queue.ended);
    g_queue.wake = g_queue.ended = nullptr;
    for (queued_call& q : g_queue.calls) q.used = false;
}

void nlm_callback_set_portmap_port(uint16_t port) { g_portmap_port.store(port ? port : uint16_t(PMAP_PORT)); }
