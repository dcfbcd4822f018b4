// Finding, creating, deleting and moving records, and paths from numbers.
#include "quen/inode/inode_tree.h"
#include "quen/inode/inode_tree_internal.h"

#include "quen/inode/paths.h"
#include "rpc/log.h"

#include <cstring>

namespace {

bool is_dot(const char* name, size_t length) { return length == 1 && name[0] == '.'; }

// The records found lately by (directory, name), so that a directory's
// lookups need not walk its sorted list, which listing every entry of a large
// directory would make quadratic. A hint is only believed after its record
// shows the directory and the name, so records that go or move need no upkeep
// here.
constexpr uint32_t kChildHints = 1u << 16;
uint32_t g_child_hints[kChildHints];

uint32_t& child_hint(uint32_t dir, const char* name, size_t length) {
    return g_child_hints[name_hash(dir, name, length) & (kChildHints - 1)];
}

// The record a rename holds out of every list meanwhile: its fields still
// name its old directory, but it is no child until it is linked again.
uint32_t g_detached = 0;

// How the name compares with the record's, when the record is a child of
// dir; 2 when it is not.
int compare_with_child(uint32_t record, uint32_t dir, const char* name, size_t length) {
    const inode_record* r = record && record != g_detached ? record_at(record) : nullptr;
    if (!r || r->parent != dir || (r->flags & INODE_LINK_BASE)) return 2;
    char stored[kNameMax + 1];
    const uint32_t n = read_name(r, stored);
    return compare_names(name, length, stored, n);
}

// The child entered or found last in each directory (by a hash of the
// directory): names usually arrive in order (a copy, an unpacked archive, a
// listing, a benchmark), and a walk for a name that sorts after it starts
// there. Without the found ones, every name whose hint another name took
// would walk the list from its start, and listing a directory of more
// names than there are hints would take time quadratic in its size.
constexpr uint32_t kLastEntered = 1u << 12;
uint32_t g_last_entered[kLastEntered];

uint32_t& last_entered(uint32_t dir) { return g_last_entered[(dir * 2654435761u) >> 20]; }

}  // namespace

void forget_child_hints() {
    std::memset(g_child_hints, 0, sizeof g_child_hints);
    std::memset(g_last_entered, 0, sizeof g_last_entered);
}

namespace {

// Unlinks the record from the list that holds it.
void take_out_of_list(uint32_t record) {
    const uint32_t at = slot_of(record);
    if (at) slot(at) = record_at(record)->next;
}

// Links a record whose next already names `successor` into `link`.
void link_into(uint32_t link, uint32_t record) {
    std::atomic_signal_fence(std::memory_order_release);
    slot(link) = record;
}

// Deletes one record that has no child left to visit.
void delete_one(uint32_t record) {
    inode_record* r = record_at(record);
    if (r->flags & INODE_RING_MEMBER) take_off_ring(record);
    take_out_of_list(record);
    free_name_chain(record);
    std::memset(record_at(record), 0, sizeof(inode_record));
    block_free(record);
}

// A link base by itself: its names become plain records, then it goes.
void delete_base(uint32_t base) {
    uint32_t at = kBaseListSlot;
    for (uint32_t i = 0; slot(at) != 0 && i < walk_limit(); ++i) {
        if (slot(at) == base) {
            slot(at) = record_at(base)->next;
            break;
        }
        if (!record_at(slot(at))) break;
        at = next_slot(slot(at));
    }
    uint32_t m = record_at(base)->child;
    for (uint32_t i = 0; m != base && i < walk_limit(); ++i) {
        inode_record* r = record_at(m);
        if (!r || !(r->flags & INODE_RING_MEMBER) || (r->flags & INODE_LINK_BASE)) break;
        const uint32_t next = r->child;
        r->flags &= uint8_t(~INODE_RING_MEMBER);
        r->child = 0;
        m = next;
    }
    std::memset(record_at(base), 0, sizeof(inode_record));
    block_free(base);
}

// Whether `dir` is `record` or lies below it.
bool within(uint32_t dir, uint32_t record) {
    for (uint32_t i = 0; dir != 0 && i <= kDirectoryLevels + 1; ++i) {
        if (dir == record) return true;
        const inode_record* r = record_at(dir);
        if (!r) return false;
        dir = r->parent;
    }
    return false;
}

}  // namespace

uint32_t slot_of(uint32_t record) {
    const inode_record* r = record_at(record);
    if (!r) return 0;
    uint32_t at = kRootSlot;
    if (r->parent != 0) {
        if (!record_at(r->parent)) return 0;
        at = child_slot(r->parent);
    }
    for (uint32_t i = 0; slot(at) != 0 && i < walk_limit(); ++i) {
        if (slot(at) == record) return at;
        if (!record_at(slot(at))) return 0;
        at = next_slot(slot(at));
    }
    return 0;
}

child_place find_child(uint32_t dir, const char* name, size_t length) {
    child_place p;
    if (length > kNameMax) length = kNameMax;
    if (is_dot(name, length)) {
        p.found = dir;
        return p;
    }
    p.link = kRootSlot;
    if (dir != 0) {
        const inode_record* d = record_at(dir);
        if (!d || (d->flags & (INODE_RING_MEMBER | INODE_LINK_BASE))) return p;
        p.link = child_slot(dir);
    }
    p.can_insert = true;
    uint32_t& hint = child_hint(dir, name, length);
    if (compare_with_child(hint, dir, name, length) == 0) {
        p.found = last_entered(dir) = hint;
        return p;
    }
    const uint32_t last = last_entered(dir);
    if (compare_with_child(last, dir, name, length) == 1) p.link = next_slot(last);
    char stored[kNameMax + 1];
    for (uint32_t i = 0; slot(p.link) != 0 && i < walk_limit(); ++i) {
        const uint32_t c = slot(p.link);
        const inode_record* r = record_at(c);
        if (!r) break;   // an invalid record ends the list
        const uint32_t n = read_name(r, stored);
        const int cmp = compare_names(name, length, stored, n);
        if (cmp == 0) {
            p.found = hint = last_entered(dir) = c;
            return p;
        }
        if (cmp < 0) {
            p.successor = c;
            return p;
        }
        p.link = next_slot(c);
    }
    return p;
}

uint32_t enter_locked(uint32_t dir, const char* name, size_t length) {
    if (length > kNameMax) length = kNameMax;
    child_place p = find_child(dir, name, length);
    if (p.found || !p.can_insert || !name_storable(name, length)) return p.found;
    const uint32_t record = block_alloc(kBlockSize);
    if (!record) {
        log_printf(2, "quen: fatal error1 out of inodes\n");
        return 0;
    }
    if (!store_name(record, name, uint32_t(length))) {
        block_free(record);
        log_printf(2, "quen: fatal error2 out of inodes\n");
        return 0;
    }
    inode_record* r = reinterpret_cast<inode_record*>(block_at(record));
    r->next = p.successor;
    r->parent = dir;
    r->flags = 0;
    r->child = 0;
    std::atomic_signal_fence(std::memory_order_release);
    r->marker = kRecordMarker;
    link_into(p.link, record);
    child_hint(dir, name, length) = record;
    last_entered(dir) = record;
    return record;
}

bool delete_locked(uint32_t inode, bool forced) {
    inode_record* top = record_at(inode);
    if (!top) return false;
    if (forced) top->flags &= uint8_t(~INODE_BUSY);
    if (top->flags & INODE_BUSY) return true;
    if (top->flags & INODE_LINK_BASE) {
        delete_base(inode);
        return true;
    }
    // Depth first through first children, deleting each record once it has
    // none left: the whole subtree goes, with no recursion.
    uint32_t current = inode;
    for (uint32_t steps = 0; steps < 2 * walk_limit(); ++steps) {
        inode_record* r = record_at(current);
        if (!r) return false;
        if (!(r->flags & INODE_RING_MEMBER) && r->child != 0) {
            const inode_record* c = record_at(r->child);
            if (c && c->parent == current) {
                current = r->child;
                continue;
            }
            r->child = 0;   // a child that is not ours is no child
        }
        const uint32_t parent = r->parent;
        delete_one(current);
        if (current == inode) return true;
        current = parent;
    }
    return false;
}

size_t path_locked(uint32_t inode, char* out) {
    out[0] = 0;
    if (inode == 0) return 0;
    const inode_record* r = record_at(inode);
    if (!r) {
        log_printf(2, "getpath invalid node %u\n", inode);
        return 0;
    }
    if (r->flags & INODE_LINK_BASE) {
        const uint32_t first = r->child;
        if (first == inode) {
            log_printf(2, "getpath base only node %u\n", inode);
            return 0;
        }
        const inode_record* f = record_at(first);
        if (!f || !(f->flags & INODE_RING_MEMBER) || (f->flags & INODE_LINK_BASE)) {
            log_printf(2, "getpath no link %u\n", inode);
            return 0;
        }
        inode = first;
        r = f;
    }
    uint32_t levels[kDirectoryLevels];
    uint32_t count = 0;
    uint32_t current = inode;
    while (r->parent != 0) {
        if (count == kDirectoryLevels) {
            log_printf(2, "inode out of directory levels");
            return 0;
        }
        levels[count++] = current;
        const uint32_t parent = r->parent;
        r = record_at(parent);
        if (!r) {
            log_printf(2, "getpath invalid inode %u\n", parent);
            return 0;
        }
        current = parent;
    }
    char name[kNameMax + 1];
    size_t length = read_name(r, out);
    if (count == 0) {
        out[length++] = '\\';
        out[length] = 0;
    }
    while (count > 0) {
        const uint32_t n = read_name(record_at(levels[--count]), name);
        if (length + 1 + n >= kInodePathSize) {
            log_printf(2, "inode path too long");
            out[0] = 0;
            return 0;
        }
        out[length++] = '\\';
        std::memcpy(out + length, name, n);
        length += n;
        out[length] = 0;
    }
    // The normaliser keeps a byte spare for a root backslash, which only a
    // bare top-level path needs; a full-length path just keeps its form.
    if (length + 1 < kInodePathSize) return nfs_path_to_windows(nullptr, out, kInodePathSize);
    for (size_t i = 0; i < length; ++i)
        if (out[i] == '/') out[i] = '\\';
    return length;
}

uint32_t inode_lookup(uint32_t dir, const char* name, size_t length) {
    if (!g_inode_table.is_open || !name) return 0;
    inode_table_guard g;
    return find_child(dir, name, length).found;
}

uint32_t inode_enter(uint32_t dir, const char* name, size_t length) {
    if (!g_inode_table.is_open || !name) return 0;
    uint32_t result;
    {
        inode_table_guard g;
        result = enter_locked(dir, name, length);
    }
    flush_if_dirty(kFlushThreshold);
    return result;
}

size_t inode_path(uint32_t inode, char* out) {
    out[0] = 0;
    if (!g_inode_table.is_open) return 0;
    inode_table_guard g;
    return path_locked(inode, out);
}

uint32_t inode_parent(uint32_t inode) {
    if (!g_inode_table.is_open) return 0;
    inode_table_guard g;
    const inode_record* r = record_at(inode);
    return r ? r->parent : 0;
}

void inode_mark_seen(uint32_t inode) {
    if (!g_inode_table.is_open) return;
    inode_table_guard g;
    if (inode_record* r = record_at(inode)) r->flags |= INODE_SEEN;
}

int inode_set_busy(uint32_t inode, int state) {
    if (!g_inode_table.is_open) return -1;
    inode_table_guard g;
    inode_record* r = record_at(inode);
    if (!r) return -1;
    const int was = (r->flags & INODE_BUSY) ? 1 : 0;
    if (state > 0) r->flags |= INODE_BUSY;
    else if (state == 0) r->flags &= uint8_t(~INODE_BUSY);
    return was;
}

bool inode_delete(uint32_t inode) {
    if (!g_inode_table.is_open) return false;
    bool ok;
    {
        inode_table_guard g;
        ok = delete_locked(inode, false);
    }
    flush_if_dirty(kFlushThreshold);
    return ok;
}

bool inode_delete_forced(uint32_t inode) {
    if (!g_inode_table.is_open) return false;
    bool ok;
    {
        inode_table_guard g;
        ok = delete_locked(inode, true);
    }
    flush_if_dirty(kFlushThreshold);
    return ok;
}

namespace {

bool rename_locked(uint32_t inode, uint32_t new_dir, const char* new_name, size_t new_length) {
    if (new_length > kNameMax) new_length = kNameMax;
    inode_record* r = record_at(inode);
    if (!r || (r->flags & INODE_LINK_BASE) || !name_storable(new_name, new_length) || is_dot(new_name, new_length))
        return false;
    r->flags &= uint8_t(~INODE_BUSY);
    if (within(new_dir, inode)) return false;   // into itself
    child_place p = find_child(new_dir, new_name, new_length);
    if (!p.can_insert && !p.found) return false;
    if (p.found && p.found != inode) {
        const uint32_t victim = p.found;
        if (within(inode, victim)) return false;   // would delete the record being moved
        if (!delete_locked(victim, false) || record_at(victim)) {
            log_printf(2, "quen: inode delete failed %u, %.*s\n", victim, int(new_length), new_name);
            return false;
        }
    }
    char stored[kNameMax + 1];
    const uint32_t stored_length = read_name(record_at(inode), stored);
    const int case_only = compare_names(stored, stored_length, new_name, new_length) == 0;
    const bool name_changes = !case_only;
    const bool dir_changes = record_at(inode)->parent != new_dir;
    if (!name_changes && !dir_changes) return true;
    take_out_of_list(inode);
    g_detached = inode;
    if (name_changes && !store_name(inode, new_name, uint32_t(new_length))) {
        log_printf(2, "quen: fatal error2 out of inodes\n");
        // Back where it was, under its old name.
        child_place back = find_child(record_at(inode)->parent, stored, stored_length);
        g_detached = 0;
        record_at(inode)->next = back.successor;
        link_into(back.link, inode);
        return false;
    }
    p = find_child(new_dir, new_name, new_length);
    g_detached = 0;
    r = record_at(inode);
    r->parent = new_dir;
    r->next = p.successor;
    link_into(p.link, inode);
    return true;
}

}  // namespace

bool inode_rename(uint32_t inode, uint32_t /*old_dir*/, uint32_t new_dir, const char* /*old_name*/,
                  size_t /*old_length*/, const char* new_name, size_t new_length) {
    if (!g_inode_table.is_open || !new_name) return false;
    bool ok;
    {
        inode_table_guard g;
        ok = rename_locked(inode, new_dir, new_name, new_length);
    }
    flush_if_dirty(kFlushThreshold);
    return ok;
}

// ---- paths ------------------------------------------------------------------------

namespace {

bool valid_char(uint8_t c) {
    if (c < 32 || c == 127) return false;
    return std::strchr("\"*/:<>?\\|", c) == nullptr;
}

}  // namespace

uint32_t inode_of_path(const char* path) {
    if (!g_inode_table.is_open || !path) return 0;
    const size_t total = std::strlen(path);
    if (total < 2) return 0;
    char first[kNameMax + 1];
    size_t first_length = 0;
    size_t pos;
    auto take_run = [&](size_t from, bool colons) {
        size_t p = from;
        while (p < total && (valid_char(uint8_t(path[p])) || (colons && path[p] == ':'))) ++p;
        return p;
    };
    auto add_first = [&](const char* s, size_t n) {
        if (n > kNameMax - first_length) n = kNameMax - first_length;
        std::memcpy(first + first_length, s, n);
        first_length += n;
    };
    const bool slashes = (path[0] == '/' || path[0] == '\\') && (path[1] == '/' || path[1] == '\\');
    if (total >= 4 && slashes && path[2] == '?' && (path[3] == '/' || path[3] == '\\')) {
        add_first("\\\\?\\", 4);
        pos = take_run(4, true);
        add_first(path + 4, pos - 4);
    } else if (slashes) {
        add_first("\\\\", 2);
        pos = take_run(2, true);
        add_first(path + 2, pos - 2);
    } else {
        add_first(path, 2);
        pos = take_run(2, true);
        add_first(path + 2, pos - 2);
    }
    uint32_t result;
    {
        inode_table_guard g;
        result = enter_locked(0, first, first_length);
        while (result != 0 && total - pos >= 2) {
            while (pos < total && !valid_char(uint8_t(path[pos]))) ++pos;
            const size_t start = pos;
            pos = take_run(start, false);
            const size_t n = pos - start;
            if (n == 0) break;
            if (n == 2 && path[start] == '.' && path[start + 1] == '.') {
                result = 0;
                break;
            }
            result = enter_locked(result, path + start, n > kNameMax ? kNameMax : n);
        }
    }
    flush_if_dirty(kFlushThreshold);
    return result;
}

bool inode_is_live(uint32_t inode) {
    if (inode == 0 || inode % 32 != 0) return false;
    inode_table_guard guard;
    return g_inode_table.is_open && record_at(inode) != nullptr;
}
