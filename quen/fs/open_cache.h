// The open-file cache and the per-file critical sections.
//
// Reads and writes arrive as independent requests of a few kilobytes, so
// files stay open between them: 256 buckets of 8 slots, each bucket guarded
// by the critical section of the same index. That section also serialises
// every modifying operation on the files that hash to it. Every cache_*
// call below but cache_close_all and cache_sweep expects the caller to hold
// the bucket's section.
#pragma once
#include "platform/file.h"
#include "platform/thread.h"
#include "quen/fs/attr.h"
#include "quen/mount/mount_context.h"

#include <cstdint>

inline constexpr int kFileBuckets = 256;
inline constexpr int kSlotsPerBucket = 8;

enum : uint8_t {
    CACHE_READ = 0,
    CACHE_READ_WRITE = 1,
};

// What names a file across all mounts: inode numbers are the server's own
// and unique, file ids are unique on their volume only.
struct file_key {
    uint64_t identity;       // inode number, or file id
    uint32_t volume_serial;  // of a file id; 0 for inode numbers
    bool by_file_id;
};

// The key of the file a handle's identity names in the mount.
inline file_key file_key_of(const mount_context& ctx, uint64_t identity) {
    const bool by_id = ctx.flags & MOUNT_FLAG_FILE_ID;
    return file_key{identity, by_id ? ctx.volume_serial : 0, by_id};
}

struct cache_slot {
    file_key key;            // identity 0: free
    wp_handle handle;
    uint16_t lock_count;     // byte-range locks held through the handle
    uint8_t access_mode;     // CACHE_READ / CACHE_READ_WRITE
    uint32_t last_use;       // tick_count_ms() of the last use, 0 when never
    file_attributes attributes;  // as last returned for this file
    // The mount and export the file was last resolved through: inode numbers
    // are shared by all exports, so the open handle vouches for no other.
    uint32_t mount_id;
    const export_entry* entry;
};

int bucket_of(uint64_t identity);
// The critical section that serialises the work on the files of a bucket.
crit_section* file_lock(int bucket);

// Holds a bucket's section for the life of the guard.
struct bucket_guard {
    int bucket;
    explicit bucket_guard(uint64_t identity);
    bucket_guard(const bucket_guard&) = delete;
    bucket_guard& operator=(const bucket_guard&) = delete;
    ~bucket_guard();
};

// Creates the critical sections (once) and empties the cache; enabled
// follows the "Cache" setting.
void cache_init(bool enabled);

// A slot with this key and at least the wanted mode: its use is refreshed,
// its handle and attributes given. A slot opened for less is closed and
// freed. Null when the cache is off, the key is 0 or there is no such slot.
cache_slot* cache_find(const file_key& key, uint8_t wanted, wp_handle* handle, file_attributes* attributes);
// The first free slot of the bucket, filled; null when the cache is off, the
// key is 0 or the bucket is full (the caller then closes the handle itself).
cache_slot* cache_insert(const file_key& key, wp_handle handle, uint8_t mode);
// Closes a slot; one that holds locks is flushed and kept instead (its
// attributes and mount forgotten): only cache_close_all ends its locks.
void cache_evict(cache_slot* slot);
// Whether the slot's file was last resolved in full through this mount of
// this export; cache_validate records that it just was.
bool cache_validated_for(const cache_slot* slot, uint32_t mount_id, const export_entry* entry);
void cache_validate(cache_slot* slot, uint32_t mount_id, const export_entry* entry);
void cache_store_attributes(cache_slot* slot, const file_attributes& attributes);
// Flushes the slot's handle to stable storage (closing it would not), then
// closes a slot that holds no locks; one with locks stays, as the locks live
// as long as the handle. Result: 0, or the Win32 error of the flush.
uint32_t cache_commit(cache_slot* slot);
// Before a remove, rename or attribute change: the file's slot goes.
void cache_drop(const file_key& key);
// At stop: every slot goes, each under its bucket's section.
void cache_close_all();

// Evicts the slots idle for longer than their time-out (idle_ms, or
// lock_idle_ms for a slot that holds locks) at time now. The sweeper thread
// calls it every 2 s.
void cache_sweep(uint32_t now, uint32_t idle_ms, uint32_t lock_idle_ms);
bool cache_sweeper_start();
void cache_sweeper_stop();

// Releases the byte-range locks held through a slot's handle before it is
// closed; installed by the lock manager (none: a slot never holds locks).
using cache_lock_release_fn = void (*)(cache_slot* slot);
void cache_set_lock_release(cache_lock_release_fn release);

// Used slots, for tests and the status view.
int cache_used_slots();
