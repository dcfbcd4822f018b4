// Internal to the transport: state shared by the main loop and the threads it starts.
#pragma once
#include <atomic>

#include "platform/thread.h"
#include "rpc/message.h"

// One accepted TCP connection and the threads that serve it. One thread at a
// time holds the read turn: it reads a record, and runs and answers it
// itself unless that work has been taking long; then it hands the turn to a
// further thread of the connection first, so the next request need not wait.
constexpr int RPC_STASH_BYTES = 1024;   // read ahead at a record's start: a small request in one receive

struct conn_group {
    net_socket socket;
    conn_entry* entry;            // its place in the table of connections
    uint16_t port;                // of the listener
    int32_t capacity;             // of a request's buffer
    net_addr4 peer;
    int32_t peer_len;
    std::atomic<bool> ended;      // the connection is finished for every thread
    crit_section lock;            // reading, threads, waiting and dismiss
    crit_section send_lock;       // replies of parallel threads never interleave
    plat_event* turn_free;        // auto-reset: a waiting thread may take the read turn
    bool reading;                 // a thread holds the read turn
    uint32_t threads;             // live threads
    uint32_t waiting;             // threads waiting for the read turn
    bool dismiss;                 // waiting threads leave: the connection is about to park
    // Bytes received beyond what the record being read needed so far; only
    // the holder of the read turn touches them.
    uint32_t stash_at, stash_len;
    uint8_t stash[RPC_STASH_BYTES];
};

// Set by rpc_close_all, cleared by rpc_reset.
bool rpc_stopping();

// Counts a serving thread in or out.
void serving_thread_enter();
void serving_thread_leave();

// An accepted connection's place in the table of connections.
struct conn_entry;

// Accepted connections alive now, counted in all and by peer address
// (network order), and the start of threads for a new one. A table at its
// bounds makes room by closing the connection that has been idle between
// requests the longest (the peer's own when the peer holds its share), so
// idle connections never keep a fresh client out. Null: no room.
conn_entry* connection_admit(uint32_t peer, net_socket s);
// Takes the entry out of the table and frees it; called before the socket closes.
void connection_release(conn_entry* e);
void start_connection_threads(rpc_handle* listener, net_socket s, const net_addr4& peer, int32_t peer_len,
                              conn_entry* e);

// A connection silent this long between requests gives up its thread to a
// watcher of parked connections, which gives it a thread again when its next
// request arrives: a silent connection costs its socket and its group.
constexpr int64_t RPC_PARK_MS = 2000;
// Hands a connection whose only thread holds the read turn to a watcher; the
// thread then leaves without touching it. false: no watcher could take it.
bool connection_park(conn_group* g);
// For the watchers: when the last request was answered; starts a thread for
// a parked connection with data (false: none could start); ends one.
uint32_t connection_idle_since(const conn_group* g);
bool connection_resume(conn_group* g);
void connection_end_parked(conn_group* g);

// Decodes the message in h's buffer and dispatches it when accepted.
bool serve_message(rpc_handle* h, rpc_call* call);

constexpr int RPC_STOP_POLL_MS = 1000;   // how often blocked serving threads look at the stop flag
