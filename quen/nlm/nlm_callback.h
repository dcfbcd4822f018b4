// Calls the lock manager makes to its clients: NLM_GRANTED for a queued
// request that was granted, and the result calls of the message forms.
// They go over UDP to the NLM program of the client's host, whose port the
// client's portmapper tells; only the address is kept. One sender thread
// works a bounded queue, so neither a flood of requests nor a client that
// never answers can hold the serving threads or grow the memory.
#pragma once
#include "quen/nlm/lock_table.h"

#include <cstddef>
#include <cstdint>

inline constexpr int kCallbackQueue = 32;
inline constexpr uint32_t kCallbackArgsMax = 2400;

struct nlm_outgoing {
    uint32_t addr;        // the client, network order
    uint32_t version;     // of the request, and of the client's program asked for
    uint32_t procedure;
    uint32_t cred_flavor;
    uint8_t cred[4 + kNlmAuthMax];   // length word, then the body
    uint32_t args_len;
    uint8_t args[kCallbackArgsMax];
};

// Queues a call; false when the queue is full (the call is dropped: a
// client whose blocked request hears nothing asks again).
bool nlm_callback_queue(const nlm_outgoing& call);
// What a serving thread queues while it holds waits for its release: a
// procedure's calls (NLM_GRANTED for the requests it unblocked, a message
// form's result) go out only once its reply is sent, never ahead of it.
struct nlm_callback_hold {
    nlm_callback_hold();
    ~nlm_callback_hold();
    nlm_callback_hold(const nlm_callback_hold&) = delete;
    nlm_callback_hold& operator=(const nlm_callback_hold&) = delete;
};
bool nlm_callback_start();
// Ends the sender; calls still queued are dropped.
void nlm_callback_stop();
// Where the calls go: the client's portmapper and the program's port are
// asked at the client's address (tests point both elsewhere). 0: port 111.
void nlm_callback_set_portmap_port(uint16_t port);
