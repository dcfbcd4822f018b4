// The load check: a bounded walk of everything reachable (no recursion; a
// link to a block already seen is cut, whether it is a sibling, child or
// ring link), repair of parent links and rings, and a free list that is
// exactly the complement of the reachable blocks (rebuilt when it is not).
#include "quen/inode/inode_table.h"

#include "rpc/log.h"

#include <cstring>
#include <utility>
#include <vector>

namespace {

inode_table& T = g_inode_table;

struct bitmap {
    std::vector<uint8_t> bits;
    explicit bitmap(uint32_t total) : bits((total / kBlockSize + 7) / 8, 0) {}
    bool test(uint32_t o) const { return bits[o / 256] & (1u << ((o / kBlockSize) % 8)); }
    void set(uint32_t o) { bits[o / 256] |= uint8_t(1u << ((o / kBlockSize) % 8)); }
    void clear(uint32_t o) { bits[o / 256] &= uint8_t(~(1u << ((o / kBlockSize) % 8))); }
};

struct walk_state {
    bitmap used;
    bitmap on_ring;
    uint32_t used_bytes = kBlockSize;
    std::vector<uint32_t> ring_members;
    explicit walk_state(uint32_t total) : used(total), on_ring(total) {}
};

inode_record* raw_record(uint32_t o) {
    name_block* b = block_at(o);
    return b ? reinterpret_cast<inode_record*>(b) : nullptr;
}

// Marks a record and its name blocks when all of them are intact and not yet
// reached: the marker, a name length of at most 511, a complete chain of
// continuation blocks of its own, and no 0xFF byte in the name (a name block
// could otherwise pass for a record).
bool take_record(walk_state& w, uint32_t o) {
    inode_record* r = raw_record(o);
    if (!r || r->marker != kRecordMarker || w.used.test(o) || r->name_length > kNameMax) return false;
    const uint32_t length = r->name_length;
    uint32_t chain[name_blocks_for(kNameMax)];
    const uint32_t needed = name_blocks_for(length);
    w.used.set(o);
    if (needed == 0) {
        if (std::memchr(r->name, 0xFF, length)) {
            w.used.clear(o);
            return false;
        }
    } else {
        uint32_t first = 0;
        std::memcpy(&first, r->name, 4);
        bool ok = std::memchr(r->name + 4, 0xFF, kNameFirstPart) == nullptr;
        uint32_t b = first, got = 0, left = length - kNameFirstPart;
        while (ok && got < needed) {
            name_block* nb = block_at(b);
            if (!nb || w.used.test(b)) {
                ok = false;
                break;
            }
            const uint32_t here = left < kNameBlockBytes ? left : kNameBlockBytes;
            if (std::memchr(nb->bytes, 0xFF, here)) ok = false;
            w.used.set(b);
            chain[got++] = b;
            left -= here;
            b = nb->next;
        }
        if (!ok) {
            w.used.clear(o);
            for (uint32_t i = 0; i < got; ++i) w.used.clear(chain[i]);
            return false;
        }
        name_block* last = block_at(chain[needed - 1]);
        const uint32_t tail = (length - kNameFirstPart) - (needed - 1) * kNameBlockBytes;
        std::memset(last->bytes + tail, 0, kNameBlockBytes - tail);
        last->next = 0;
        w.used_bytes += needed * kBlockSize;
    }
    // Busy marks belong to changes of the run that wrote the table: one that
    // was cut short by a crash must not keep a removed file's record for good.
    r->flags &= INODE_KNOWN_FLAGS & ~(INODE_SEEN | INODE_BUSY);
    w.used_bytes += kBlockSize;
    return true;
}

void walk_tree(walk_state& w) {
    std::vector<std::pair<uint32_t*, uint32_t>> lists;   // a list head and its directory
    lists.push_back({&root_list_head(), 0});
    while (!lists.empty()) {
        auto [link, parent] = lists.back();
        lists.pop_back();
        while (*link != 0) {
            const uint32_t o = *link;
            inode_record* r = raw_record(o);
            if (!r || (r->marker == kRecordMarker && (r->flags & INODE_LINK_BASE)) || !take_record(w, o)) {
                *link = 0;   // the rest of this list is unreachable now
                break;
            }
            r->parent = parent;
            if (r->flags & INODE_RING_MEMBER) w.ring_members.push_back(o);
            else if (r->child != 0) lists.push_back({&r->child, o});
            link = &r->next;
        }
    }
}

void walk_link_bases(walk_state& w) {
    uint32_t* link = &link_base_list_head();
    while (*link != 0) {
        const uint32_t o = *link;
        inode_record* base = raw_record(o);
        if (!base || base->marker != kRecordMarker || w.used.test(o) || w.on_ring.test(o) ||
            !(base->flags & INODE_LINK_BASE) || base->name_length != 0) {
            *link = 0;
            break;
        }
        w.on_ring.set(o);   // visited: a list that comes back here is cut
        // The ring: tree records flagged as members, each on one ring only,
        // back to the base. A bad link closes the ring where it stands.
        uint32_t members = 0;
        uint32_t* ring = &base->child;
        while (*ring != o) {
            const uint32_t m = *ring;
            inode_record* member = raw_record(m);
            if (!member || m == o || !w.used.test(m) || w.on_ring.test(m) || member->marker != kRecordMarker ||
                !(member->flags & INODE_RING_MEMBER) || (member->flags & INODE_LINK_BASE)) {
                *ring = o;
                break;
            }
            w.on_ring.set(m);
            ++members;
            ring = &member->child;
        }
        if (members == 0) {   // a base without names stands for nothing
            *link = base->next;
            continue;
        }
        w.used.set(o);
        w.used_bytes += kBlockSize;
        base->parent = 0;
        base->flags = INODE_LINK_BASE | INODE_RING_MEMBER;
        link = &base->next;
    }
    // Members no ring reached become plain file records.
    for (uint32_t m : w.ring_members) {
        if (w.on_ring.test(m)) continue;
        inode_record* r = raw_record(m);
        r->flags &= uint8_t(~INODE_RING_MEMBER);
        r->child = 0;
    }
}

// Whether the free list is exactly the unreached blocks, sorted and merged.
bool free_list_exact(const walk_state& w) {
    uint64_t sum = 0;
    uint32_t previous_end = 0;
    uint32_t r = table_head()->free_head;
    for (uint32_t steps = 0; r != 0; ++steps) {
        if (steps > T.total / kBlockSize || r % kBlockSize || r < kBlockSize || r > T.total - kBlockSize ||
            (previous_end != 0 && r <= previous_end))
            return false;
        const uint32_t size = reinterpret_cast<const free_run*>(T.base + r)->size;
        if (size == 0 || size % kBlockSize || size > T.total - r) return false;
        for (uint32_t b = r; b < r + size; b += kBlockSize)
            if (w.used.test(b)) return false;
        sum += size;
        previous_end = r + size;
        r = reinterpret_cast<const free_run*>(T.base + r)->next;
    }
    return sum == uint64_t(T.total) - w.used_bytes;
}

// The free list afresh: one run per stretch of unreached blocks.
uint32_t rebuild_free_list(const walk_state& w) {
    uint32_t* link = &table_head()->free_head;
    uint32_t free_bytes = 0;
    uint32_t o = kBlockSize;
    while (o < T.total) {
        if (w.used.test(o)) {
            o += kBlockSize;
            continue;
        }
        uint32_t end = o;
        while (end < T.total && !w.used.test(end)) end += kBlockSize;
        free_run* run = reinterpret_cast<free_run*>(T.base + o);
        run->size = end - o;
        *link = o;
        link = &run->next;
        free_bytes += end - o;
        o = end;
    }
    *link = 0;
    return free_bytes;
}

// An unreached block must not look like a record to a stale handle.
void clear_stale_markers(const walk_state& w) {
    for (uint32_t o = kBlockSize; o < T.total; o += kBlockSize) {
        if (w.used.test(o)) continue;
        uint8_t* marker = T.base + o + offsetof(inode_record, marker);
        if (*marker == kRecordMarker) *marker = 0;
    }
}

}  // namespace

bool inode_load_check(inode_load_report& report) {
    walk_state w(T.total);
    w.used.set(0);
    table_header* h = table_head();
    h->reserved[0] = h->reserved[1] = 0;
    if (h->alloc_cursor % kBlockSize || h->alloc_cursor >= T.total) h->alloc_cursor = 0;
    walk_tree(w);
    walk_link_bases(w);
    uint64_t free_bytes = uint64_t(T.total) - w.used_bytes;
    if (!free_list_exact(w)) {
        log_printf(2, "inodeHeap rebuild\n");
        h->total = T.total;
        free_bytes = rebuild_free_list(w);
        report.rebuilt = true;
    }
    clear_stale_markers(w);
    report.total = T.total;
    report.used = w.used_bytes;
    T.dirty = 0;
    if (!T.in_memory) map_file_flush(T.file, 0, T.total);
    return uint64_t(T.total) == w.used_bytes + free_bytes;
}
