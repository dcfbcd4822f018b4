#include "quen/nlm/lock_table.h"

#include "platform/fault_guard.h"
#include "platform/thread.h"
#include "rpc/share.h"

#include <algorithm>
#include <cstring>
#include <mutex>

namespace {

lock_slot g_slots[kLockSlots];

// An exclusive lock taken on a file's handle, and the client it was taken for.
struct handle_lock {
    const void* file;   // null: free
    uint64_t offset, end;
    uint32_t client, svid;
};
handle_lock g_handle_locks[kHandleLocks];

const lock_hooks* g_hooks = nullptr;
crit_section g_table_lock;
std::once_flag g_lock_once;
uint32_t g_arrivals = 0;

struct table_guard {
    table_guard() {
        std::call_once(g_lock_once, [] { crit_init(&g_table_lock); });
        fault_section_enter(&g_table_lock);
    }
    ~table_guard() { fault_section_leave(&g_table_lock); }
    table_guard(const table_guard&) = delete;
    table_guard& operator=(const table_guard&) = delete;
};

struct span {
    uint64_t offset, end;
    bool exclusive;
};

uint64_t length_of(uint64_t offset, uint64_t end) { return end - offset; }

bool overlaps(uint64_t a_off, uint64_t a_end, uint64_t b_off, uint64_t b_end) { return a_off < b_end && b_off < a_end; }

bool conflicts(const lock_slot& s, const void* file, const lock_owner& owner, uint64_t off, uint64_t end, bool excl) {
    return s.file == file && !s.queued && (excl || s.exclusive) && overlaps(s.offset, s.end, off, end) &&
           !same_owner(s.owner, owner);
}

const lock_slot* first_conflict(const void* file, const lock_owner& owner, uint64_t off, uint64_t end, bool excl) {
    for (const lock_slot& s : g_slots)
        if (conflicts(s, file, owner, off, end, excl)) return &s;
    return nullptr;
}

int used_by_client(uint32_t client) {
    int n = 0;
    for (const lock_slot& s : g_slots) n += s.file && s.owner.client == client;
    return n;
}

// Whether the client may take `more` slots (or handle locks) of a table of
// `size` holding `in_use`, `of_client` of them its own: nothing held is idle.
bool share_allows(int size, int per_client, int in_use, int of_client, int more) {
    const share_state state{uint32_t(size), uint32_t(per_client), uint32_t(in_use + more - 1),
                            uint32_t(of_client + more - 1), 0, 0};
    return more <= 0 || share_decide(state) == share_verdict::admit;
}

int free_slots() {
    int n = 0;
    for (const lock_slot& s : g_slots) n += s.file == nullptr;
    return n;
}

lock_slot* claim() {
    for (lock_slot& s : g_slots)
        if (!s.file) return &s;
    return nullptr;
}

void free_slot(lock_slot& s) {
    if (g_hooks) g_hooks->count(s.file, -1);
    s.file = nullptr;
    s.queued = false;
}

// ---- the handle's locks ----------------------------------------------------------

// Whether a granted slot of the file holds a byte of [off, end).
bool held(const void* file, uint64_t off, uint64_t end) {
    for (const lock_slot& s : g_slots)
        if (s.file == file && !s.queued && overlaps(s.offset, s.end, off, end)) return true;
    return false;
}

uint32_t take_handle_lock(const lock_slot& s, uint64_t off, uint64_t end) {
    handle_lock* free_lock = nullptr;
    int of_client = 0, in_use = 0;
    for (handle_lock& l : g_handle_locks) {
        if (!l.file && !free_lock) free_lock = &l;
        in_use += l.file != nullptr;
        of_client += l.file && l.client == s.owner.client;
    }
    if (!free_lock || !share_allows(kHandleLocks, kHandleLocksPerClient, in_use, of_client, 1))
        return NLM_DENIED_NOLOCKS;
    if (g_hooks && g_hooks->os_lock(s.file, off, end - off) != 0) return NLM_DENIED;
    *free_lock = {s.file, off, end, s.owner.client, s.owner.svid};
    return NLM_GRANTED;
}

// The handle lock of the file that holds `at`; null: none.
const handle_lock* handle_lock_at(const void* file, uint64_t at) {
    for (const handle_lock& l : g_handle_locks)
        if (l.file == file && l.offset <= at && at < l.end) return &l;
    return nullptr;
}

// Where the next handle lock of the file after `at` begins, below `end`.
uint64_t next_handle_lock(const void* file, uint64_t at, uint64_t end) {
    for (const handle_lock& l : g_handle_locks)
        if (l.file == file && l.offset > at && l.offset < end) end = l.offset;
    return end;
}

// Brings the handle's locks in line with the file's granted slots, never
// leaving a held byte unlocked: first the held bytes no lock covers get
// locks of their own, then the locks none of whose bytes is held any more
// are lifted. A refusal stops it half way: the caller puts the slots back
// and brings the locks in line again.
uint32_t sync_handle_locks(const void* file) {
    for (const lock_slot& s : g_slots) {
        if (s.file != file || s.queued) continue;
        for (uint64_t at = s.offset; at < s.end;) {
            if (const handle_lock* l = handle_lock_at(file, at)) {
                at = l->end;
                continue;
            }
            const uint64_t to = next_handle_lock(file, at, s.end);
            if (const uint32_t status = take_handle_lock(s, at, to)) return status;
            at = to;
        }
    }
    for (handle_lock& l : g_handle_locks)
        if (l.file == file && !held(file, l.offset, l.end)) {
            if (g_hooks) g_hooks->os_unlock(l.file, l.svid, l.offset, l.end - l.offset);
            l.file = nullptr;
        }
    return NLM_GRANTED;
}

// The owner's granted ranges on the file after a lock (exclusive given) or
// an unlock (none) of [off, end): the old ranges cut around it, the new one
// added and merged with its neighbours of the same kind.
int apply(const span* old, int n, uint64_t off, uint64_t end, const bool* lock_exclusive, span* out) {
    int m = 0;
    for (int i = 0; i < n; ++i) {
        const span& r = old[i];
        if (!overlaps(r.offset, r.end, off, end)) {
            out[m++] = r;
            continue;
        }
        if (r.offset < off) out[m++] = {r.offset, off, r.exclusive};
        if (r.end > end) out[m++] = {end, r.end, r.exclusive};
    }
    if (!lock_exclusive) return m;
    out[m++] = {off, end, *lock_exclusive};
    std::sort(out, out + m, [](const span& a, const span& b) { return a.offset < b.offset; });
    int k = 0;
    for (int i = 0; i < m; ++i) {
        if (k && out[k - 1].exclusive == out[i].exclusive && out[k - 1].end >= out[i].offset) {
            out[k - 1].end = std::max(out[k - 1].end, out[i].end);
        } else {
            out[k++] = out[i];
        }
    }
    return k;
}

// Replaces the owner's granted ranges on the file by those apply() gives.
// Slots whose range stays are left alone. false (nothing changed) when the
// new ranges need more slots than the table or the client's share has.
bool reshape(const void* file, const lock_owner& owner, uint64_t off, uint64_t end, const bool* lock_exclusive) {
    static span old[kLockSlots + 1], next[kLockSlots + 2];
    static int old_index[kLockSlots];
    static bool kept_new[kLockSlots + 2];
    int n = 0;
    for (int i = 0; i < kLockSlots; ++i) {
        const lock_slot& s = g_slots[i];
        if (s.file == file && !s.queued && same_owner(s.owner, owner)) {
            old_index[n] = i;
            old[n++] = {s.offset, s.end, s.exclusive};
        }
    }
    const int m = apply(old, n, off, end, lock_exclusive, next);
    bool kept_old[kLockSlots] = {};
    std::fill(kept_new, kept_new + m, false);
    int added = 0, removed = 0;
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < m; ++j)
            if (!kept_new[j] && old[i].offset == next[j].offset && old[i].end == next[j].end &&
                old[i].exclusive == next[j].exclusive) {
                kept_old[i] = kept_new[j] = true;
                break;
            }
    for (int i = 0; i < n; ++i) removed += !kept_old[i];
    for (int j = 0; j < m; ++j) added += !kept_new[j];
    if (!share_allows(kLockSlots, kLockSlotsPerClient, kLockSlots - free_slots(), used_by_client(owner.client),
                      added - removed))
        return false;
    for (int i = 0; i < n; ++i)
        if (!kept_old[i]) free_slot(g_slots[old_index[i]]);
    for (int j = 0; j < m; ++j) {
        if (kept_new[j]) continue;
        lock_slot* s = claim();
        s->file = file;
        s->offset = next[j].offset;
        s->end = next[j].end;
        s->exclusive = next[j].exclusive;
        s->queued = false;
        s->owner = owner;
        if (g_hooks) g_hooks->count(file, +1);
    }
    return true;
}

// reshape() with the handle's locks following; what they refuse is undone.
uint32_t change(const void* file, const lock_owner& owner, uint64_t off, uint64_t end, const bool* lock_exclusive) {
    static lock_slot before[kLockSlots];
    int n = 0;
    for (const lock_slot& s : g_slots)
        if (s.file == file && !s.queued && same_owner(s.owner, owner)) before[n++] = s;
    if (!reshape(file, owner, off, end, lock_exclusive)) return NLM_DENIED_NOLOCKS;
    const uint32_t status = sync_handle_locks(file);
    if (status == NLM_GRANTED) return status;
    for (lock_slot& s : g_slots)
        if (s.file == file && !s.queued && same_owner(s.owner, owner)) free_slot(s);
    for (int i = 0; i < n; ++i) {
        *claim() = before[i];   // the slots just freed make room
        if (g_hooks) g_hooks->count(file, +1);
    }
    sync_handle_locks(file);
    return status;
}

// Grants, in arrival order, every queued request of the file that no
// granted lock of another owner stands against any more.
void grant_queued(const void* file) {
    static uint32_t order[kLockSlots];
    static lock_slot request;
    int n = 0;
    for (const lock_slot& s : g_slots)
        if (s.file == file && s.queued) order[n++] = s.arrival;
    std::sort(order, order + n, [](uint32_t a, uint32_t b) { return int32_t(a - b) < 0; });
    for (int i = 0; i < n; ++i) {
        lock_slot* q = nullptr;
        for (lock_slot& s : g_slots)
            if (s.file == file && s.queued && s.arrival == order[i]) q = &s;
        if (!q || first_conflict(file, q->owner, q->offset, q->end, q->exclusive)) continue;
        if (g_hooks && g_hooks->grant_room && !g_hooks->grant_room(q->owner.client)) continue;
        // The request gives its slot up to the ranges it becomes; should they
        // not fit, it stays queued.
        request = *q;
        free_slot(*q);
        if (change(file, request.owner, request.offset, request.end, &request.exclusive) != NLM_GRANTED) {
            *claim() = request;
            if (g_hooks) g_hooks->count(file, +1);
            continue;
        }
        if (g_hooks) g_hooks->granted(request);
    }
}

}  // namespace

bool same_owner(const lock_owner& a, const lock_owner& b) {
    return a.client == b.client && a.svid == b.svid && a.name_len == b.name_len && a.handle_len == b.handle_len &&
           std::memcmp(a.name, b.name, a.name_len) == 0 && std::memcmp(a.handle, b.handle, a.handle_len) == 0;
}

uint64_t range_end(uint64_t offset, uint64_t length) {
    if (length == 0 || length > kRangeEnd - offset) return kRangeEnd;
    return offset + length;
}

void lock_table_init(const lock_hooks* hooks) {
    table_guard g;
    for (lock_slot& s : g_slots) s.file = nullptr;
    for (handle_lock& l : g_handle_locks) l.file = nullptr;
    g_hooks = hooks;
}

uint32_t lock_test(const void* file, const lock_owner& owner, uint64_t offset, uint64_t length, bool exclusive,
                   lock_holder* holder) {
    table_guard g;
    const lock_slot* s = first_conflict(file, owner, offset, range_end(offset, length), exclusive);
    if (!s) return NLM_GRANTED;
    *holder = {s->owner.svid, s->exclusive, s->offset, s->end == kRangeEnd ? 0 : length_of(s->offset, s->end)};
    return NLM_DENIED;
}

uint32_t lock_acquire(const lock_request& r) {
    table_guard g;
    const uint64_t end = range_end(r.offset, r.length);
    if (first_conflict(r.file, *r.owner, r.offset, end, r.exclusive)) {
        if (!r.block) return NLM_DENIED;
        for (const lock_slot& s : g_slots)
            if (s.file == r.file && s.queued && same_owner(s.owner, *r.owner) && s.offset == r.offset && s.end == end)
                return NLM_BLOCKED;   // a retransmission of the request already waiting
        lock_slot* s = claim();
        if (!s || !share_allows(kLockSlots, kLockSlotsPerClient, kLockSlots - free_slots(),
                                used_by_client(r.owner->client), 1))
            return NLM_DENIED_NOLOCKS;
        *s = lock_slot{r.file, r.offset, end, r.exclusive, true, ++g_arrivals, *r.owner, *r.context};
        if (g_hooks) g_hooks->count(r.file, +1);
        return NLM_BLOCKED;
    }
    // Another program on the server may hold the range: then the handle's
    // lock is refused and so is the request.
    if (const uint32_t status = change(r.file, *r.owner, r.offset, end, &r.exclusive)) return status;
    // A request of the owner still queued for the range is answered now.
    for (lock_slot& s : g_slots)
        if (s.file == r.file && s.queued && same_owner(s.owner, *r.owner) && s.offset == r.offset && s.end == end)
            free_slot(s);
    grant_queued(r.file);   // a lock turned shared may let shared requests in
    return NLM_GRANTED;
}

namespace {

// Locks that went: a grant announced for them and not yet sent goes too.
void released(const void* file, uint32_t client, const uint32_t* svid, uint64_t offset, uint64_t end) {
    if (g_hooks && g_hooks->released) g_hooks->released(file, client, svid, offset, end);
}

}  // namespace

uint32_t lock_release(const void* file, const lock_owner& owner, uint64_t offset, uint64_t length) {
    table_guard g;
    const uint64_t end = range_end(offset, length);
    if (const uint32_t status = change(file, owner, offset, end, nullptr)) return status;
    released(file, owner.client, &owner.svid, offset, end);
    grant_queued(file);
    return NLM_GRANTED;
}

uint32_t lock_cancel(const void* file, const lock_owner& owner, uint64_t offset, uint64_t length) {
    table_guard g;
    const uint64_t end = range_end(offset, length);
    for (lock_slot& s : g_slots)
        if (s.file == file && s.queued && same_owner(s.owner, owner) && s.offset == offset && s.end == end) {
            free_slot(s);
            break;
        }
    return NLM_GRANTED;
}

void lock_release_file(const void* file) {
    table_guard g;
    for (lock_slot& s : g_slots)
        if (s.file == file) free_slot(s);
    released(file, 0, nullptr, 0, kRangeEnd);
    sync_handle_locks(file);
}

int lock_client_files(uint32_t client, const char* name, uint32_t name_len, const void** files, int max) {
    table_guard g;
    int n = 0;
    for (const lock_slot& s : g_slots) {
        if (!s.file || s.owner.client != client || s.owner.name_len != name_len ||
            std::memcmp(s.owner.name, name, name_len) != 0)
            continue;
        if (std::find(files, files + n, s.file) == files + n && n < max) files[n++] = s.file;
    }
    return n;
}

void lock_free_client_file(const void* file, uint32_t client, const char* name, uint32_t name_len) {
    table_guard g;
    for (lock_slot& s : g_slots)
        if (s.file == file && s.owner.client == client && s.owner.name_len == name_len &&
            std::memcmp(s.owner.name, name, name_len) == 0)
            free_slot(s);
    released(file, client, nullptr, 0, kRangeEnd);
    sync_handle_locks(file);   // only lifts
    grant_queued(file);
}

int lock_slots_used() {
    table_guard g;
    return kLockSlots - free_slots();
}

int lock_slots_of(const void* file, bool queued, lock_slot* out, int max) {
    table_guard g;
    int n = 0;
    for (const lock_slot& s : g_slots)
        if (s.file == file && s.queued == queued && n < max) out[n++] = s;
    return n;
}
