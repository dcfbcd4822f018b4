// The block heap: next-fit allocation from a cursor kept in the header, and
// sorted, merging frees. The cursor makes a freed record the last candidate
// for reuse, so a handle of a deleted file does not at once name a new one.
#include "quen/inode/inode_table.h"

#include "platform/fault_guard.h"

#include <cstring>

namespace {

inode_table& T = g_inode_table;

free_run* run_at(uint32_t offset) { return reinterpret_cast<free_run*>(T.base + offset); }

bool run_sane(uint32_t r, uint32_t previous_end) {
    if (r % kBlockSize || r < previous_end || r > T.total - kBlockSize) return false;
    const uint32_t size = run_at(r)->size;
    return size != 0 && size % kBlockSize == 0 && size <= T.total - r;
}

// Takes `size` bytes at or after `from` out of the first run that has them.
uint32_t take(uint32_t size, uint32_t from) {
    uint32_t* link = &table_head()->free_head;
    uint32_t previous_end = kBlockSize;
    for (uint32_t steps = 0; *link != 0 && steps <= T.total / kBlockSize; ++steps) {
        const uint32_t r = *link;
        if (!run_sane(r, previous_end)) return 0;   // entries past the end finish the walk
        free_run* run = run_at(r);
        const uint32_t end = r + run->size;
        const uint32_t at = r > from ? r : from;
        if (end > at && end - at >= size) {
            const uint32_t front = at - r;
            const uint32_t back = end - at - size;
            const uint32_t next = run->next;
            if (back != 0) {   // the rest of the run, written before anything links to it
                free_run* rest = run_at(at + size);
                rest->size = back;
                rest->next = next;
            }
            std::atomic_signal_fence(std::memory_order_release);
            if (front == 0) {
                *link = back != 0 ? at + size : next;
            } else {
                run->size = front;
                if (back != 0) run->next = at + size;
            }
            return at;
        }
        previous_end = end + 1;   // runs never touch
        link = &run->next;
    }
    return 0;
}

}  // namespace

uint32_t block_alloc(uint32_t size) {
    if (!T.is_open || size == 0 || size % kBlockSize) return 0;
    fault_section_guard heap(&T.heap_lock);
    for (int round = 0; round < 64; ++round) {
        uint32_t cursor = table_head()->alloc_cursor;
        if (cursor % kBlockSize || cursor >= T.total) cursor = 0;
        uint32_t at = cursor ? take(size, cursor) : 0;
        if (!at) at = take(size, 0);
        if (at) {
            std::memset(T.base + at, 0, size);
            table_head()->alloc_cursor = at + size < T.total ? at + size : 0;
            ++T.dirty;
            return at;
        }
        if (!inode_table_grow()) return 0;
    }
    return 0;
}

void block_free(uint32_t offset) {
    if (!T.is_open || offset % kBlockSize || offset < kBlockSize || offset > T.total - kBlockSize) return;
    fault_section_guard heap(&T.heap_lock);
    uint32_t* link = &table_head()->free_head;
    uint32_t previous = 0;
    uint32_t previous_end = kBlockSize;
    uint32_t r = *link;
    for (uint32_t steps = 0; r != 0; ++steps) {
        if (steps > T.total / kBlockSize || !run_sane(r, previous_end)) return;   // leave it to the next load
        const uint32_t end = r + run_at(r)->size;
        if (offset < r) break;
        if (offset < end) return;   // already free
        previous = r;
        previous_end = end + 1;
        link = &run_at(r)->next;
        r = *link;
    }
    std::memset(T.base + offset, 0, kBlockSize);
    free_run* block = run_at(offset);
    if (r != 0 && offset + kBlockSize == r) {
        block->size = kBlockSize + run_at(r)->size;
        block->next = run_at(r)->next;
    } else {
        block->size = kBlockSize;
        block->next = r;
    }
    std::atomic_signal_fence(std::memory_order_release);
    *link = offset;
    if (previous != 0 && previous + run_at(previous)->size == offset) {
        run_at(previous)->size += block->size;
        run_at(previous)->next = block->next;
        std::memset(block, 0, sizeof *block);
    }
    ++T.dirty;
}

inode_record* record_at(uint32_t inode) {
    if (!T.base || inode < kBlockSize || inode % kBlockSize || inode > T.total - kBlockSize) return nullptr;
    inode_record* r = reinterpret_cast<inode_record*>(T.base + inode);
    // The view is a mapped file: a page it cannot read back (an in-page
    // error) makes the number invalid. The rest of the record shares the
    // marker's page.
    uint8_t marker = 0;
    if (fault_guard([&] { marker = r->marker; })) return nullptr;
    if (marker != kRecordMarker || r->name_length > kNameMax || (r->flags & ~INODE_KNOWN_FLAGS)) return nullptr;
    return r;
}

name_block* block_at(uint32_t offset) {
    if (!T.base || offset < kBlockSize || offset % kBlockSize || offset > T.total - kBlockSize) return nullptr;
    return reinterpret_cast<name_block*>(T.base + offset);
}
