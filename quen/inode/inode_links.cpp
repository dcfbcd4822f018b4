// Link bases and link rings: all names of a file with several hard links
// share the number of the base, which is the number its first known name had.
#include "quen/inode/inode_tree.h"
#include "quen/inode/inode_tree_internal.h"

#include <cstring>

namespace {

bool is_base(const inode_record* r) { return r && (r->flags & INODE_LINK_BASE); }
bool is_member(const inode_record* r) { return r && (r->flags & INODE_RING_MEMBER) && !(r->flags & INODE_LINK_BASE); }

link_base_fields* base_fields(inode_record* r) { return reinterpret_cast<link_base_fields*>(r->name); }

void take_off_base_list(uint32_t base) {
    uint32_t at = kBaseListSlot;
    for (uint32_t i = 0; slot(at) != 0 && i < walk_limit(); ++i) {
        if (slot(at) == base) {
            slot(at) = record_at(base)->next;
            return;
        }
        if (!record_at(slot(at))) return;
        at = next_slot(slot(at));
    }
}

void free_base(uint32_t base) {
    take_off_base_list(base);
    std::memset(record_at(base), 0, sizeof(inode_record));
    block_free(base);
}

// The base of the ring `member` is on, 0 when the ring is broken.
uint32_t ring_base(uint32_t member) {
    uint32_t m = record_at(member)->child;
    for (uint32_t i = 0; i < walk_limit() && m != member; ++i) {
        const inode_record* r = record_at(m);
        if (!r || !(r->flags & INODE_RING_MEMBER)) return 0;
        if (r->flags & INODE_LINK_BASE) return m;
        m = r->child;
    }
    return 0;
}

bool link_add_locked(uint32_t base, uint32_t path) {
    inode_record* b = record_at(base);
    inode_record* p = record_at(path);
    if (!is_base(b) || !p || path == base || is_base(p)) return false;
    // Already on this ring?
    uint32_t m = b->child;
    for (uint32_t i = 0; i < walk_limit() && m != base; ++i) {
        if (m == path) return true;
        const inode_record* r = record_at(m);
        if (!is_member(r)) return false;   // a broken ring takes no one
        m = r->child;
    }
    if (m != base) return false;
    if (p->flags & INODE_RING_MEMBER) take_off_ring(path);   // on another file's ring
    p = record_at(path);
    if (p->child != 0) return false;   // a directory has children, not links
    b = record_at(base);
    p->child = b->child;
    p->flags |= INODE_RING_MEMBER;
    std::atomic_signal_fence(std::memory_order_release);
    b->child = path;
    b->flags |= INODE_RING_MEMBER;
    return true;
}

uint32_t link_base_locked(uint32_t path, uint32_t low, uint32_t high, uint32_t serial) {
    inode_record* p = record_at(path);
    if (!p) return 0;
    uint32_t at = link_base_list_head();
    for (uint32_t i = 0; at != 0 && i < walk_limit(); ++i) {
        inode_record* b = record_at(at);
        if (!is_base(b)) break;
        const link_base_fields* f = base_fields(b);
        if (f->index_low == low && f->index_high == high && f->volume_serial == serial) {
            if (at != path) link_add_locked(at, path);
            return at;
        }
        at = b->next;
    }
    if (is_base(p)) return path;   // a base of another file: nothing to join
    if (p->flags & INODE_RING_MEMBER) take_off_ring(path);
    p = record_at(path);
    if (p->child != 0) return path;   // directories do not get link bases
    const uint32_t holder_slot = slot_of(path);
    if (!holder_slot) return path;
    // The copy takes the name and the place in the directory; the old block,
    // with the number clients hold, becomes the base.
    const uint32_t copy = block_alloc(kBlockSize);
    if (!copy) return path;
    inode_record* c = record_at(path);
    std::memcpy(block_at(copy), c, sizeof(inode_record));
    c = reinterpret_cast<inode_record*>(block_at(copy));
    c->flags = uint8_t((c->flags & ~INODE_LINK_BASE) | INODE_RING_MEMBER);
    c->child = path;
    std::atomic_signal_fence(std::memory_order_release);
    slot(holder_slot) = copy;
    std::atomic_signal_fence(std::memory_order_release);
    p = record_at(path);
    std::memset(p, 0, sizeof *p);
    link_base_fields* f = base_fields(p);
    f->index_low = low;
    f->index_high = high;
    f->volume_serial = serial;
    p->child = copy;
    p->next = link_base_list_head();
    p->flags = INODE_LINK_BASE | INODE_RING_MEMBER;
    std::atomic_signal_fence(std::memory_order_release);
    p->marker = kRecordMarker;
    std::atomic_signal_fence(std::memory_order_release);
    link_base_list_head() = path;
    return path;
}

bool unlink_base_locked(uint32_t base) {
    inode_record* b = record_at(base);
    if (!is_base(b)) return false;
    uint32_t members = 0, only = 0;
    uint32_t m = b->child;
    for (uint32_t i = 0; i < walk_limit() && m != base; ++i) {
        const inode_record* r = record_at(m);
        if (!is_member(r)) return false;
        ++members;
        only = m;
        m = r->child;
    }
    if (m != base) return false;
    if (members == 0) {
        free_base(base);
        return true;
    }
    if (members > 1) return true;
    const uint32_t holder_slot = slot_of(only);
    take_off_base_list(base);
    // The one name comes back into the base's block and number.
    inode_record* target = record_at(base);
    std::memcpy(target, record_at(only), sizeof(inode_record));
    target->flags &= uint8_t(~(INODE_RING_MEMBER | INODE_LINK_BASE));
    target->child = 0;
    std::atomic_signal_fence(std::memory_order_release);
    if (holder_slot) slot(holder_slot) = base;
    std::memset(record_at(only), 0, sizeof(inode_record));
    block_free(only);
    return true;
}

}  // namespace

void take_off_ring(uint32_t record) {
    inode_record* r = record_at(record);
    if (!r || !(r->flags & INODE_RING_MEMBER)) return;
    uint32_t previous = record, base = 0;
    uint32_t m = r->child;
    bool closed = false;
    for (uint32_t i = 0; i < walk_limit(); ++i) {
        if (m == record) {
            closed = true;
            break;
        }
        const inode_record* x = record_at(m);
        if (!x || !(x->flags & INODE_RING_MEMBER)) break;
        if (x->flags & INODE_LINK_BASE) base = m;
        previous = m;
        m = x->child;
    }
    if (closed && previous != record) record_at(previous)->child = r->child;
    r = record_at(record);
    r->flags &= uint8_t(~INODE_RING_MEMBER);
    r->child = 0;
    if (base) {
        inode_record* b = record_at(base);
        if (b->child == base) free_base(base);
    }
}

uint32_t inode_link_base(uint32_t path_inode, uint32_t index_low, uint32_t index_high, uint32_t volume_serial) {
    if (!g_inode_table.is_open) return 0;
    uint32_t result;
    {
        inode_table_guard g;
        result = link_base_locked(path_inode, index_low, index_high, volume_serial);
    }
    flush_if_dirty(kFlushThreshold);
    return result;
}

void inode_link_add(uint32_t base, uint32_t path_inode) {
    if (!g_inode_table.is_open) return;
    {
        inode_table_guard g;
        link_add_locked(base, path_inode);
    }
    flush_if_dirty(kFlushThreshold);
}

uint32_t inode_base_of(uint32_t inode) {
    if (!g_inode_table.is_open) return inode;
    inode_table_guard g;
    const inode_record* r = record_at(inode);
    if (!is_member(r)) return inode;
    const uint32_t base = ring_base(inode);
    return base ? base : inode;
}

bool inode_unlink_base(uint32_t base) {
    if (!g_inode_table.is_open) return false;
    bool ok;
    {
        inode_table_guard g;
        ok = unlink_base_locked(base);
    }
    flush_if_dirty(kFlushThreshold);
    return ok;
}
