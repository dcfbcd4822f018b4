#include "quen/fs/open_cache.h"

#include <atomic>
#include <mutex>

#include "platform/fault_guard.h"
#include "quen/config/settings.h"
#include "quen/fs/dir_count.h"

namespace {

crit_section g_file_locks[kFileBuckets];
std::once_flag g_locks_once;
cache_slot g_slots[kFileBuckets][kSlotsPerBucket];
// Used slots per bucket, so that the sweeper can pass empty buckets by
// without taking their sections. Changed under the section only.
std::atomic<uint8_t> g_bucket_used[kFileBuckets];
std::atomic<bool> g_enabled{false};
std::atomic<cache_lock_release_fn> g_release_locks{nullptr};

bool same_key(const file_key& a, const file_key& b) {
    return a.identity == b.identity && a.by_file_id == b.by_file_id && a.volume_serial == b.volume_serial;
}

// 0 marks a slot never used, so a use at tick 0 counts as tick 1.
uint32_t use_time() {
    uint32_t now = tick_count_ms();
    return now ? now : 1;
}

void init_locks() {
    std::call_once(g_locks_once, [] {
        for (crit_section& cs : g_file_locks) crit_init(&cs);
    });
}

struct sweeper_state {
    plat_event* stop = nullptr;
    plat_event* ended = nullptr;
};
sweeper_state g_sweeper;
// Directory counts outlive file slots a little: a recount lists the whole directory.
constexpr uint32_t kDirCountIdleMs = 2000;

void sweeper_main(void* arg) {
    auto* s = static_cast<sweeper_state*>(arg);
    while (!event_wait(s->stop, 2000)) {
        cache_sweep(tick_count_ms(), 1000, g_settings.record.locktime_ms);
        dir_count_sweep(tick_count_ms(), kDirCountIdleMs);
    }
    event_set(s->ended);
}

}  // namespace

int bucket_of(uint64_t identity) { return int(fileid_hash(identity) & 0xFF); }

crit_section* file_lock(int bucket) {
    init_locks();
    return &g_file_locks[bucket & 0xFF];
}

// Held sections are noted, so that a fault inside a guarded operation
// releases them (see platform/fault_guard.h).
bucket_guard::bucket_guard(uint64_t identity) : bucket(bucket_of(identity)) { fault_section_enter(file_lock(bucket)); }
bucket_guard::~bucket_guard() { fault_section_leave(file_lock(bucket)); }

void cache_init(bool enabled) {
    init_locks();
    cache_close_all();
    g_enabled.store(enabled);
}

cache_slot* cache_find(const file_key& key, uint8_t wanted, wp_handle* handle, file_attributes* attributes) {
    if (!g_enabled.load() || key.identity == 0) return nullptr;
    for (cache_slot& s : g_slots[bucket_of(key.identity)]) {
        if (s.key.identity == 0 || !same_key(s.key, key)) continue;
        // A read handle asked for writing stays until cache_upgrade replaces it.
        if (s.access_mode < wanted) return nullptr;
        s.last_use = use_time();
        *handle = s.handle;
        if (attributes) *attributes = s.attributes;
        return &s;
    }
    return nullptr;
}

cache_slot* cache_insert(const file_key& key, wp_handle handle, uint8_t mode) {
    if (!g_enabled.load() || key.identity == 0) return nullptr;
    for (cache_slot& s : g_slots[bucket_of(key.identity)]) {
        if (s.key.identity != 0) continue;
        s = cache_slot{key, handle, 0, mode, use_time(), {}, 0, nullptr};
        g_bucket_used[bucket_of(key.identity)].fetch_add(1);
        return &s;
    }
    return nullptr;
}

cache_slot* cache_find_weaker(const file_key& key, uint8_t wanted) {
    if (!g_enabled.load() || key.identity == 0) return nullptr;
    for (cache_slot& s : g_slots[bucket_of(key.identity)])
        if (s.key.identity != 0 && same_key(s.key, key) && s.access_mode < wanted) return &s;
    return nullptr;
}

bool cache_upgrade(cache_slot* slot, wp_handle handle, uint8_t mode) {
    // The range locks are exclusive and belong to the handle: the new one
    // cannot take them while the old one holds them, and releasing them
    // first would let another program on the server take a range the
    // client still believes its own. So a slot with locks keeps its handle.
    if (slot->lock_count != 0) return false;
    wp_close_handle(slot->handle);
    slot->handle = handle;
    slot->access_mode = mode;
    slot->last_use = use_time();
    return true;
}

// Closes the slot whatever it holds; its locks are released first.
static void close_slot(cache_slot* slot) {
    if (slot->key.identity == 0) return;
    if (slot->lock_count != 0)
        if (cache_lock_release_fn release = g_release_locks.load()) release(slot);
    if (slot->handle != WP_INVALID_HANDLE) wp_close_handle(slot->handle);
    g_bucket_used[bucket_of(slot->key.identity)].fetch_sub(1);
    *slot = cache_slot{{0, 0, false}, WP_INVALID_HANDLE, 0, 0, 0, {}, 0, nullptr};
}

void cache_evict(cache_slot* slot) {
    if (slot->key.identity == 0) return;
    if (slot->lock_count == 0) return close_slot(slot);
    // Granted locks live as long as the handle: the slot stays open and only
    // forgets what it knew of the file (attributes, the mount that vouched
    // for it), so the next use looks the file up again.
    wp_flush_file_buffers(slot->handle);
    slot->last_use = use_time();
    slot->mount_id = 0;
    slot->entry = nullptr;
}

bool cache_validated_for(const cache_slot* slot, uint32_t mount_id, const export_entry* entry) {
    return slot->mount_id != 0 && slot->mount_id == mount_id && slot->entry == entry;
}

void cache_validate(cache_slot* slot, uint32_t mount_id, const export_entry* entry) {
    slot->mount_id = mount_id;
    slot->entry = entry;
}

void cache_store_attributes(cache_slot* slot, const file_attributes& attributes) { slot->attributes = attributes; }

uint32_t cache_commit(cache_slot* slot) {
    const uint32_t error = wp_flush_file_buffers(slot->handle) ? 0 : file_last_error();
    if (slot->lock_count == 0) cache_evict(slot);
    return error;
}

void cache_drop(const file_key& key) {
    if (key.identity == 0) return;
    for (cache_slot& s : g_slots[bucket_of(key.identity)])
        if (s.key.identity != 0 && same_key(s.key, key)) cache_evict(&s);
}

void cache_close(const file_key& key) {
    if (key.identity == 0) return;
    for (cache_slot& s : g_slots[bucket_of(key.identity)])
        if (s.key.identity != 0 && same_key(s.key, key)) close_slot(&s);
}

void cache_close_all() {
    for (int b = 0; b < kFileBuckets; ++b) {
        crit_guard g(file_lock(b));
        for (cache_slot& s : g_slots[b]) close_slot(&s);
    }
}

void cache_sweep(uint32_t now, uint32_t idle_ms, uint32_t lock_idle_ms) {
    for (int b = 0; b < kFileBuckets; ++b) {
        // Most buckets are empty, and the sweep must not queue behind a
        // long write for nothing.
        if (g_bucket_used[b].load() == 0) continue;
        crit_guard g(file_lock(b));
        for (cache_slot& s : g_slots[b]) {
            if (s.key.identity == 0 || s.last_use == 0) continue;
            const uint32_t limit = s.lock_count ? lock_idle_ms : idle_ms;
            if (now - s.last_use > limit) cache_evict(&s);   // unsigned: right across the wrap
        }
    }
}

bool cache_sweeper_start() {
    if (g_sweeper.stop) return true;
    g_sweeper.stop = event_create(true, false);
    g_sweeper.ended = event_create(true, false);
    if (g_sweeper.stop && g_sweeper.ended && thread_start(sweeper_main, &g_sweeper)) return true;
    if (g_sweeper.stop) event_close(g_sweeper.stop);
    if (g_sweeper.ended) event_close(g_sweeper.ended);
    g_sweeper = {};
    return false;
}

void cache_sweeper_stop() {
    if (!g_sweeper.stop) return;
    event_set(g_sweeper.stop);
    event_wait(g_sweeper.ended, -1);
    event_close(g_sweeper.stop);
    event_close(g_sweeper.ended);
    g_sweeper = {};
}

void cache_set_lock_release(cache_lock_release_fn release) { g_release_locks.store(release); }

int cache_used_slots() {
    int n = 0;
    for (const auto& used : g_bucket_used) n += used.load();
    return n;
}
