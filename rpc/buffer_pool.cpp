#include "rpc/buffer_pool.h"

#include <cstring>

#include "platform/memory.h"
#include "platform/thread.h"

namespace {

// The servers of one process use few capacities (NFS, MOUNT and NLM); a
// further one is never kept.
constexpr int kClasses = 4;

struct pool_class {
    int32_t capacity = 0;   // 0: unused
    uint32_t kept = 0;
    uint8_t* head = nullptr;   // kept blocks, linked through their first bytes
};

struct pool_state {
    crit_section lock;
    pool_class classes[kClasses];
    uint32_t out = 0;
    pool_state() { crit_init(&lock, 4000); }
};

// Never destroyed: connection threads may still give buffers back while the process exits.
pool_state& pool() {
    static pool_state* p = new pool_state;
    return *p;
}

size_t block_size(int32_t capacity) { return 4 + size_t(capacity); }

// Under the lock: the class of the capacity, claiming a free one when `claim`.
pool_class* class_of(pool_state& p, int32_t capacity, bool claim) {
    for (pool_class& c : p.classes)
        if (c.capacity == capacity) return &c;
    if (!claim) return nullptr;
    for (pool_class& c : p.classes)
        if (c.capacity == 0) {
            c.capacity = capacity;
            return &c;
        }
    return nullptr;
}

uint8_t* next_of(uint8_t* block) {
    uint8_t* next;
    std::memcpy(&next, block, sizeof next);
    return next;
}

}  // namespace

uint8_t* rpc_pool_take(int32_t capacity) {
    if (capacity <= 0) return nullptr;
    pool_state& p = pool();
    {
        crit_guard guard(&p.lock);
        pool_class* c = class_of(p, capacity, false);
        if (c && c->head) {
            uint8_t* block = c->head;
            c->head = next_of(block);
            --c->kept;
            ++p.out;
            return block;
        }
    }
    // A block's link must fit its record-mark slot and buffer.
    if (block_size(capacity) < sizeof(uint8_t*)) return nullptr;
    auto* block = static_cast<uint8_t*>(memory_block_alloc(block_size(capacity)));
    if (!block) return nullptr;
    crit_guard guard(&p.lock);
    ++p.out;
    return block;
}

void rpc_pool_give(uint8_t* block, int32_t capacity) {
    if (!block) return;
    pool_state& p = pool();
    {
        crit_guard guard(&p.lock);
        --p.out;
        pool_class* c = class_of(p, capacity, true);
        if (c && c->kept < RPC_POOL_KEEP) {
            std::memcpy(block, &c->head, sizeof c->head);
            c->head = block;
            ++c->kept;
            return;
        }
    }
    memory_block_free(block, block_size(capacity));
}

uint32_t rpc_pool_kept(int32_t capacity) {
    pool_state& p = pool();
    crit_guard guard(&p.lock);
    const pool_class* c = class_of(p, capacity, false);
    return c ? c->kept : 0;
}

uint32_t rpc_pool_out() {
    pool_state& p = pool();
    crit_guard guard(&p.lock);
    return p.out;
}
