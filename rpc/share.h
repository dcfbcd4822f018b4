// The rule that keeps one client from starving the others of a shared table
// (connections, scan slots, locks, callbacks): each client holds at most its
// share of the table, and a full table makes room only by dropping an entry
// whose loss costs nothing (an idle connection, a scan slot between
// requests), the longest idle first; what holds state a client relies on (a
// lock, a queued request) is never dropped, so a table full of those refuses.
#pragma once
#include <cstdint>

struct share_state {
    uint32_t size;            // entries the table holds; 0: no limit
    uint32_t per_client;      // of them one client may hold; 0: no limit
    uint32_t in_use;          // held now, by everyone
    uint32_t of_client;       // held by the asking client
    uint32_t idle;            // held entries that may be dropped without loss
    uint32_t idle_of_client;  // of those, the asking client's
};

enum class share_verdict : uint8_t {
    admit,         // a free entry may be taken
    reclaim_own,   // drop the asking client's longest-idle entry and take its place
    reclaim_any,   // drop the longest-idle entry of the table and take its place
    refuse,
};

share_verdict share_decide(const share_state& s);

// One client's share of a table: a 1/divisor part, at least 1.
uint32_t share_of(uint32_t size, uint32_t divisor);
