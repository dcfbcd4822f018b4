#include "quen/nlm/nlm_callback.h"

#include "platform/net.h"
#include "platform/thread.h"
#include "quen/nlm/nlm_wire.h"
#include "rpc/log.h"
#include "rpc/message.h"
#include "rpc/share.h"

#include <atomic>
#include <cstring>
#include <mutex>

namespace {

constexpr int kGrantTries = 3;              // a GRANTED is sent again while it is not answered
constexpr int kGrantWaitMs = 1000;
constexpr int kGetportWaitMs = 500;         // one GETPORT, not repeated
constexpr uint32_t kPortKnownMs = 60000;    // how long a port (or its absence) is remembered
constexpr uint32_t kPortUnknownMs = 10000;
constexpr uint32_t kGrantAgainMs = 10000;   // a GRANTED nobody answered is sent again after this
constexpr int kPortCache = 64;
constexpr int kQueue = kCallbackResults + kCallbackGrants;

struct queued_call {
    bool used;
    bool grant;
    bool sending;       // with the sender now
    bool withdrawn;     // its lock went while it was with the sender
    uint32_t held_by;   // the hold it waits for; 0: ready
    uint32_t order;
    uint32_t not_before;   // tick before which it is not sent (a GRANTED sent again)
    nlm_outgoing call;
};

struct callback_queue {
    crit_section lock;
    queued_call calls[kQueue];
    uint32_t next_order = 0, next_hold = 0;
    plat_event* wake = nullptr;
    plat_event* ended = nullptr;
    std::atomic<bool> stopping{false};
};
callback_queue g_queue;
std::once_flag g_once;
std::atomic<uint16_t> g_portmap_port{PMAP_PORT};
std::atomic<uint32_t> g_xid{0};
thread_local uint32_t t_hold = 0;

// Ports of the clients' lock managers as their portmappers told them, 0 for
// none; the sender thread's own.
struct port_entry {
    uint32_t addr, version;
    uint16_t port;
    uint32_t until;   // tick; 0: an empty entry
};
port_entry g_ports[kPortCache];

uint32_t next_xid() {
    // Seeded from the tick count so that xids of two runs rarely meet.
    uint32_t expected = 0;
    g_xid.compare_exchange_strong(expected, (tick_count_ms() & 0xFFFFu) | 0x10000u);
    return g_xid.fetch_add(1);
}

bool is_grant(const nlm_outgoing& c) { return c.procedure == NLMPROC_GRANTED; }

// Under the queue lock: calls of one kind queued, in all and for addr.
void count(bool grant, uint32_t addr, int* all, int* of_addr) {
    *all = *of_addr = 0;
    for (const queued_call& q : g_queue.calls) {
        if (!q.used || q.grant != grant) continue;
        ++*all;
        *of_addr += q.call.addr == addr;
    }
}

bool room(bool grant, uint32_t addr) {
    int all = 0, of_addr = 0;
    count(grant, addr, &all, &of_addr);
    const share_state state = grant ? share_state{kCallbackGrants, kCallbackGrantsPerDestination, uint32_t(all),
                                                  uint32_t(of_addr), 0, 0}
                                    : share_state{kCallbackResults, kCallbackResultsPerDestination, uint32_t(all),
                                                  uint32_t(of_addr), 0, 0};
    return share_decide(state) == share_verdict::admit;
}

// One call to addr:port over UDP, waiting wait_ms for its answer. Result:
// the length of the checked reply (its results at RPC_REPLY_RESULTS), 0 for
// a failure or an error answer, -1 when no answer came in time (the caller
// builds the call again: the buffer now holds whatever arrived).
int call_once(rpc_handle* h, uint32_t addr, uint16_t port, size_t len, int wait_ms) {
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
        while (tick_count_ms() - start < uint32_t(wait_ms)) {
            if (net_wait_one(s.s, wait_ms) <= 0 || !rpc_receive_datagram(h)) break;
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
// comes, at most `tries` times. Result as call_once's, -1 when none came.
int call_with_retry(rpc_handle* h, uint32_t addr, uint16_t port, const uint8_t* message, size_t len, int tries,
                    int wait_ms) {
    int got = -1;
    // A stop waits for the sender: it gives up between tries.
    for (int round = 0; round < tries && got < 0 && !g_queue.stopping.load(); ++round) {
        std::memcpy(h->buffer, message, len);
        got = call_once(h, addr, port, len, wait_ms);
    }
    return got;
}

// The port of the client's lock manager, from its portmapper (remembered
// for a while, also when there is none); 0 when unknown.
uint16_t client_port(rpc_handle* h, const nlm_outgoing& c) {
    const uint32_t now = tick_count_ms();
    port_entry* slot = &g_ports[0];
    for (port_entry& p : g_ports) {
        if (p.until && p.addr == c.addr && p.version == c.version) {
            if (int32_t(p.until - now) > 0) return p.port;
            slot = &p;
            break;
        }
        if (!p.until || int32_t(p.until - slot->until) < 0) slot = &p;   // else the one that ends first
    }
    static const uint8_t null_cred[4] = {0, 0, 0, 0};
    uint8_t message[128];
    size_t n = put_header(message, PMAP_PROGRAM, PMAP_VERSION, 3 /* GETPORT */, AUTH_NULL, null_cred);
    n += xdr_put(message + n, "qqqq", NLM_PROGRAM, c.version, uint32_t(RPC_UDP), 0u);
    uint16_t port = 0;
    if (call_with_retry(h, c.addr, g_portmap_port.load(), message, n, 1, kGetportWaitMs) >= RPC_REPLY_RESULTS + 4) {
        const uint32_t answer = xdr_load32(h->buffer + RPC_REPLY_RESULTS);
        port = answer <= 0xFFFF ? uint16_t(answer) : 0;
    }
    const uint32_t until = tick_count_ms() + (port ? kPortKnownMs : kPortUnknownMs);
    *slot = {c.addr, c.version, port, until ? until : 1};
    return port;
}

// Sends the call. Result: it was answered (a result is not waited for: the
// client asks again when it hears nothing).
bool send_call(rpc_handle* h, const nlm_outgoing& c) {
    const uint16_t port = client_port(h, c);
    if (port == 0) {
        log_printf(2, "nlmd: no lock manager at the client for callback %u\n", c.procedure);
        return false;
    }
    static uint8_t message[64 + 4 + kNlmAuthMax + kCallbackArgsMax];
    const size_t n = put_header(message, NLM_PROGRAM, c.version, c.procedure, c.cred_flavor, c.cred);
    std::memcpy(message + n, c.args, c.args_len);
    if (!is_grant(c)) {
        call_with_retry(h, c.addr, port, message, n + c.args_len, 1, 0);
        return true;
    }
    // The answer (or GRANTED_RES later) is not needed: a call answered, even
    // with an error, is done.
    return call_with_retry(h, c.addr, port, message, n + c.args_len, kGrantTries, kGrantWaitMs) >= 0;
}

// Under the queue lock: the ready call queued first, or null.
queued_call* next_ready() {
    const uint32_t now = tick_count_ms();
    queued_call* first = nullptr;
    for (queued_call& q : g_queue.calls)
        if (q.used && !q.held_by && !q.sending && int32_t(now - q.not_before) >= 0 &&
            (!first || int32_t(q.order - first->order) < 0))
            first = &q;
    return first;
}

void sender_main(void*) {
    rpc_handle* h = rpc_handle_create(NET_INVALID, RPC_UDP, 0, RPC_SERVICE_CAPACITY);
    static nlm_outgoing current;
    while (!g_queue.stopping.load()) {
        event_wait(g_queue.wake, 1000);
        for (;;) {
            queued_call* q = nullptr;
            {
                crit_guard g(&g_queue.lock);
                q = next_ready();
                if (!q || g_queue.stopping.load()) {
                    event_reset(g_queue.wake);
                    break;
                }
                current = q->call;
                q->sending = true;
            }
            const bool answered = h && send_call(h, current);
            crit_guard g(&g_queue.lock);
            q->sending = false;
            if (!q->grant || answered || q->withdrawn || !h) {
                q->used = false;
            } else {
                // Nobody took it: it waits, and the sender goes on with the others.
                const uint32_t later = tick_count_ms() + kGrantAgainMs;
                q->not_before = later;
            }
        }
    }
    if (h) rpc_handle_free(h);
    event_set(g_queue.ended);
}

void init_once() {
    std::call_once(g_once, [] { crit_init(&g_queue.lock); });
}

}  // namespace

bool nlm_callback_queue(const nlm_outgoing& call) {
    init_once();
    crit_guard g(&g_queue.lock);
    const bool grant = is_grant(call);
    queued_call* free_call = nullptr;
    for (queued_call& q : g_queue.calls)
        if (!q.used && !free_call) free_call = &q;
    if (!g_queue.wake || !free_call || call.args_len > kCallbackArgsMax || !room(grant, call.addr)) {
        log_printf(2, "nlmd: callback queue full for %u\n", call.procedure);
        return false;
    }
    *free_call = queued_call{true, grant, false, false, t_hold, g_queue.next_order++, tick_count_ms(), call};
    if (!t_hold) event_set(g_queue.wake);
    return true;
}

bool nlm_callback_grant_room(uint32_t client) {
    init_once();
    crit_guard g(&g_queue.lock);
    return !g_queue.wake || room(true, client);
}

void nlm_callback_withdraw(const void* file, uint32_t client, const uint32_t* svid, uint64_t offset, uint64_t end) {
    init_once();
    crit_guard g(&g_queue.lock);
    for (queued_call& q : g_queue.calls) {
        const nlm_outgoing& c = q.call;
        if (!q.used || !q.grant || c.file != file || (client && c.addr != client) || (svid && c.svid != *svid) ||
            c.end <= offset || end <= c.offset)
            continue;
        if (q.sending)
            q.withdrawn = true;
        else
            q.used = false;
    }
}

nlm_callback_hold::nlm_callback_hold() {
    init_once();
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
    init_once();
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
    for (port_entry& p : g_ports) p.until = 0;
}

void nlm_callback_set_portmap_port(uint16_t port) { g_portmap_port.store(port ? port : uint16_t(PMAP_PORT)); }
