// One-entry duplicate reply cache per non-idempotent procedure.
#include <cstring>

#include "rpc/message.h"

bool reply_slot_replay(rpc_handle* h, const rpc_call* call, reply_slot* slot, rpc_encoder encode,
                       const void* slot_data) {
    int16_t valid = 1;
    // Claiming the slot keeps a concurrent store from changing the record mid-replay.
    if (slot->state.load() != 1 || slot->xid != h->xid || slot->addr != h->peer.addr ||
        slot->port != h->peer.port || !slot->state.compare_exchange_strong(valid, -1))
        return false;
    bool same = slot->xid == h->xid && slot->addr == h->peer.addr && slot->port == h->peer.port;
    if (same) rpc_reply_success(h, call, encode, slot_data);
    slot->state.store(1);
    return same;
}

void reply_slot_store(const rpc_handle* h, reply_slot* slot, void* slot_data, const void* result, size_t size) {
    int16_t state = slot->state.load();
    if (state < 0 || !slot->state.compare_exchange_strong(state, -1)) return;
    slot->xid = h->xid;
    slot->addr = h->peer.addr;
    slot->port = h->peer.port;
    std::memcpy(slot_data, result, size);
    slot->state.store(1);
}
