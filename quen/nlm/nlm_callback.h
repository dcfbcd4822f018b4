// Calls the lock manager makes to its clients: NLM_GRANTED for a queued
// request that was granted, and the result calls of the message forms.
// They go over UDP to the NLM program of the client's host, whose port the
// client's portmapper tells; only the address is kept. One sender thread
// works a bounded queue, so neither a flood of requests nor a client that
// never answers can hold the serving threads or grow the memory.
//
// Each destination holds a share: a few results (a flood of message forms
// from one address, real or forged, fills no more) and as many grants as it
// can hold locks. A port is asked once (one short GETPORT) and remembered a
// while, also when nobody answered, so a host whose portmapper is silent
// costs the sender one short wait now and then, not one per message. A
// GRANTED is never dropped: it goes out, or is sent again later while its
// destination does not answer, until it is answered or its lock goes.
#pragma once
#include "quen/nlm/lock_table.h"

#include <cstddef>
#include <cstdint>

inline constexpr int kCallbackResults = 32;             // result calls queued at once
inline constexpr int kCallbackResultsPerDestination = 4;
inline constexpr int kCallbackGrants = 64;              // NLM_GRANTED calls queued at once
inline constexpr int kCallbackGrantsPerDestination = kLockSlotsPerClient;
inline constexpr uint32_t kCallbackArgsMax = 2400;

struct nlm_outgoing {
    uint32_t addr;        // the client, network order
    uint32_t version;     // of the request, and of the client's program asked for
    uint32_t procedure;
    uint32_t cred_flavor;
    uint8_t cred[4 + kNlmAuthMax];   // length word, then the body
    uint32_t args_len;
    uint8_t args[kCallbackArgsMax];
    // For NLM_GRANTED: the lock it announces, so that it goes with the lock.
    const void* file;
    uint32_t svid;
    uint64_t offset;
    uint64_t end;
};

// Queues a call; false when the destination holds its share (a result is
// then dropped: a client whose request hears nothing asks again).
bool nlm_callback_queue(const nlm_outgoing& call);
// Whether a GRANTED to the client would be queued now. The lock table asks
// before it grants a queued request, under its lock, which every queued
// GRANTED is made under: a request that finds no room stays queued, and the
// client's next LOCK of it is granted in the reply.
bool nlm_callback_grant_room(uint32_t client);
// The locks of the client (0: any) on the file in [offset, end) went: a
// GRANTED for them not yet answered is not sent (svid null: any owner).
void nlm_callback_withdraw(const void* file, uint32_t client, const uint32_t* svid, uint64_t offset, uint64_t end);
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
