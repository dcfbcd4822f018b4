// Creating, loading, growing, flushing and closing the table file.
#include "quen/inode/inode_table.h"
#include "quen/inode/inode_tree_internal.h"

#include "platform/file.h"
#include "platform/win_error.h"
#include "quen/config/settings.h"
#include "rpc/log.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

inode_table g_inode_table;

namespace {

enum map_mode { MAP_LOAD = 0, MAP_LOAD_AFRESH = 1, MAP_GROW = 2 };

inode_table& T = g_inode_table;

uint32_t round_up_block(uint64_t n) { return uint32_t(std::min<uint64_t>((n + 31) / 32 * 32, kMaxTableTotal)); }

// The serial number of the volume that holds the table file.
bool table_volume_serial(const char* path, uint32_t* serial) {
    char root[2048];
    if (!wp_get_volume_path_name(path, root, sizeof root)) return false;
    return wp_get_volume_information(root, nullptr, 0, serial, nullptr, nullptr, nullptr, 0);
}

free_run* run_at(uint32_t offset) { return reinterpret_cast<free_run*>(T.base + offset); }

// Adds [old_total, T.total) to the free list: it lengthens a last run that
// ends at old_total, else becomes a new run at the end. A list that does not
// walk cleanly is left for the load check to rebuild.
void add_new_space(uint32_t old_total) {
    if (old_total >= T.total) return;
    const uint32_t grown = T.total - old_total;
    uint32_t* link = &table_head()->free_head;
    uint32_t last = 0;
    uint32_t previous_end = kBlockSize;
    for (uint32_t steps = 0; *link != 0; ++steps) {
        const uint32_t r = *link;
        if (steps > old_total / kBlockSize || r % kBlockSize || r < previous_end || r > old_total - kBlockSize)
            return;
        const free_run* run = run_at(r);
        if (run->size == 0 || run->size % kBlockSize || run->size > old_total - r) return;
        previous_end = r + run->size;
        last = r;
        link = &run_at(r)->next;
    }
    if (last != 0 && last + run_at(last)->size == old_total) {
        run_at(last)->size += grown;
        return;
    }
    free_run* fresh = run_at(old_total);
    fresh->size = grown;
    fresh->next = 0;
    std::atomic_signal_fence(std::memory_order_release);
    *link = old_total;
}

void fresh_layout() {
    std::memset(T.base, 0, T.total);   // no stale marker may make an old number look live
    table_header* h = table_head();
    h->free_head = kBlockSize;
    run_at(kBlockSize)->size = T.total - kBlockSize;
    run_at(kBlockSize)->next = 0;
}

// The bytes on the free list, walked with every link checked.
uint32_t free_list_sum() {
    uint64_t sum = 0;
    uint32_t r = table_head()->free_head;
    for (uint32_t steps = 0; r != 0 && steps <= T.total / kBlockSize; ++steps) {
        if (r % kBlockSize || r < kBlockSize || r > T.total - kBlockSize) break;
        sum += run_at(r)->size;
        r = run_at(r)->next;
    }
    return uint32_t(std::min<uint64_t>(sum, T.total));
}

void finish_mapping() {
    table_head()->total = T.total;
    log_printf(2, "quen: inodeTable membase %p total %u free %u\n", static_cast<void*>(T.base), T.total,
               free_list_sum());
    if (!T.in_memory) map_file_flush(T.file, 0, kBlockSize);
    T.dirty = 0;
}

// The last open failed because another process holds the file.
bool g_held_elsewhere = false;

// Maps the table file for a load (modes 0 and 1). Result: mapped; *old_size
// is what the file held that the table may keep (0 = start empty).
bool map_for_load(map_mode mode, uint32_t requested, uint32_t* old_size) {
    log_printf(2, "quen: inodePath %s\n", T.path);
    uint32_t error = 0;
    if (mode == MAP_LOAD_AFRESH) {
        // Never delete the file of a server that holds it open.
        if (map_file_open(T.file, T.path, &error)) map_file_close(T.file);
        else if (error == WIN_ERROR_SHARING_VIOLATION) {
            g_held_elsewhere = true;
            return false;
        }
        wp_delete_file(T.path);
    }
    if (!map_file_open(T.file, T.path, &error)) {
        g_held_elsewhere = error == WIN_ERROR_SHARING_VIOLATION;
        return false;
    }
    uint64_t size = 0;
    if (!map_file_size(T.file, &size) || size > kMaxTableTotal) {
        map_file_close(T.file);
        return false;
    }
    const uint32_t total = round_up_block(std::max<uint64_t>(requested, size));
    if (!map_file_map(T.file, total)) {
        map_file_close(T.file);
        return false;
    }
    log_printf(3, "quen: inodeTable total size %u\n", total);
    T.base = T.file.view;
    T.total = total;
    uint32_t old = uint32_t(size) / kBlockSize * kBlockSize;
    uint32_t serial = 0;
    const bool have_serial = table_volume_serial(T.path, &serial);
    if (old < kBlockSize || !have_serial || serial != table_head()->volume_stamp) old = 0;
    if (old == 0) {
        fresh_layout();
        table_head()->volume_stamp = serial;
    } else {
        add_new_space(old);
    }
    *old_size = old;
    finish_mapping();
    return true;
}

void close_mapping() {
    if (!T.in_memory) map_file_close(T.file);
    T.base = nullptr;
    T.total = 0;
}

bool open_locked_state(const inode_table_options& o) {
    std::snprintf(T.path, sizeof T.path, "%s", o.path ? o.path : "");
    const uint64_t records = std::max<uint64_t>(o.initial_records, kMinTableRecords);
    const uint32_t requested = round_up_block(records * kBlockSize);
    map_mode mode = o.reset ? MAP_LOAD_AFRESH : MAP_LOAD;
    for (int attempt = 0; attempt < 3; ++attempt) {
        uint32_t old = 0;
        if (!map_for_load(mode, requested, &old)) {
            if (mode == MAP_LOAD_AFRESH) {
                log_printf(2, "quen: failed to create inodeTable\n");
                return false;
            }
            log_printf(2, "quen: failed to load inodeTable\n");
            mode = MAP_LOAD_AFRESH;
            continue;
        }
        T.load = inode_load_report{};
        T.load.started_empty = old == 0;
        if (inode_load_check(T.load)) return true;
        log_printf(2, "quen: inodeTable corrupt, deleted\n");
        close_mapping();
        mode = MAP_LOAD_AFRESH;
    }
    return false;
}

void log_load() {
    log_printf(2, "quen: inodeTable total %u used %u free %u\n", T.load.total, T.load.used,
               T.load.total - T.load.used);
}

}  // namespace

// Growth, called by block_alloc under the heap lock: the larger view is in
// place before the old one goes, so a failure leaves the table as it was.
bool inode_table_grow() {
    if (T.in_memory || !T.is_open) return false;
    const uint32_t old_total = T.total;
    const uint64_t wanted = uint64_t(old_total) + ((old_total / 2 + 31) / 32 * 32);
    const uint32_t new_total = round_up_block(wanted);
    if (new_total <= old_total) return false;
    if (!map_file_map(T.file, new_total)) return false;
    log_printf(3, "quen: inodeTable total size %u\n", new_total);
    T.base = T.file.view;
    T.total = new_total;
    add_new_space(old_total);
    const uint32_t dirty = T.dirty;
    finish_mapping();
    T.dirty = dirty;
    return true;
}

bool inode_table_open_with(const inode_table_options& o) {
    if (T.is_open) inode_table_close();
    g_held_elsewhere = false;
    crit_init(&T.table_lock, o.spin_count);
    crit_init(&T.heap_lock, o.spin_count);
    T.in_memory = false;
    T.pass_stop = false;
    if (!open_locked_state(o)) {
        crit_delete(&T.heap_lock);
        crit_delete(&T.table_lock);
        return false;
    }
    T.is_open = true;
    if (o.check_vanished) inode_start_vanished_pass();
    log_load();
    return true;
}

bool inode_table_open(bool reset) {
    std::string path = g_settings.inode_path[0] ? std::string(g_settings.inode_path)
                                                : std::string(g_settings.program_dir) + "inodes.nfs";
    inode_table_options o;
    o.path = path.c_str();
    o.initial_records = g_settings.inode_size > 0 ? uint32_t(g_settings.inode_size) : 0;
    o.spin_count = g_settings.spin_count > 0 ? uint32_t(g_settings.spin_count) : 0;
    o.reset = reset;
    o.check_vanished = g_settings.record.inode_check != 0;
    return inode_table_open_with(o);
}

bool inode_table_held_elsewhere() { return g_held_elsewhere; }

bool inode_table_open_image(uint8_t* image, uint32_t capacity, uint32_t old_size) {
    if (T.is_open) inode_table_close();
    capacity = capacity / kBlockSize * kBlockSize;
    if (!image || capacity < kMinTableRecords * kBlockSize || capacity > kMaxTableTotal || old_size > capacity)
        return false;
    crit_init(&T.table_lock, 0);
    crit_init(&T.heap_lock, 0);
    T.in_memory = true;
    T.pass_stop = false;
    T.path[0] = 0;
    T.base = image;
    T.total = capacity;
    const uint32_t old = old_size / kBlockSize * kBlockSize;
    if (old == 0) fresh_layout();
    else add_new_space(old);
    finish_mapping();
    T.load = inode_load_report{};
    T.load.started_empty = old == 0;
    if (!inode_load_check(T.load)) {
        fresh_layout();
        finish_mapping();
        T.load = inode_load_report{};
        T.load.started_empty = true;
        if (!inode_load_check(T.load)) return false;
    }
    T.is_open = true;
    return true;
}

void inode_table_close() {
    if (!T.is_open) return;
    if (T.pass_done) {
        T.pass_stop = true;
        event_wait(T.pass_done, -1);
        event_close(T.pass_done);
        T.pass_done = nullptr;
    }
    if (!T.in_memory) map_file_flush(T.file, 0, T.total);
    close_mapping();
    forget_child_hints();
    crit_delete(&T.heap_lock);
    crit_delete(&T.table_lock);
    T.is_open = false;
    T.in_memory = false;
}

void flush_if_dirty(uint32_t threshold) {
    if (T.dirty <= threshold) return;
    inode_table_guard g;   // the view may not move under the flush
    if (!T.is_open || T.dirty <= threshold) return;
    if (!T.in_memory) map_file_flush(T.file, 0, T.total);
    T.dirty = 0;
}
