#include "quen/mount/mount_table.h"

#include "platform/fault_guard.h"
#include "platform/thread.h"
#include "quen/config/settings.h"
#include "quen/mount/crc32.h"
#include "rpc/log.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <random>

namespace {

struct mount_table_state {
    crit_section lock;
    mount_entry* head = nullptr;
    mount_entry* cache[256] = {};
    uint32_t id_counter = 0;   // every identifier attempt counts
    uint32_t next_ref = 0;     // own references handed out
};

mount_table_state g_mounts;
std::once_flag g_lock_once;
std::atomic<mount_name_resolver> g_resolver{nullptr};
std::atomic<int> g_lookups{0};

void ensure_lock() {
    std::call_once(g_lock_once, [] { crit_init(&g_mounts.lock, 4000); });
}

struct mount_lock_guard {
    mount_lock_guard() {
        ensure_lock();
        fault_section_enter(&g_mounts.lock);
    }
    mount_lock_guard(const mount_lock_guard&) = delete;
    mount_lock_guard& operator=(const mount_lock_guard&) = delete;
    ~mount_lock_guard() { fault_section_leave(&g_mounts.lock); }
};

const std::string& mounted_path_of(const mount_entry& e) {
    static const std::string none;
    if (!e.path.empty()) return e.path;
    return e.exp ? e.exp->folder : none;
}

mount_entry* find_by_id(uint32_t id) {
    mount_entry*& slot = g_mounts.cache[id & 0xFF];
    if (slot && slot->fixed.mount_id == id) return slot;
    for (mount_entry* e = g_mounts.head; e; e = e->next) {
        if (e->fixed.mount_id == id) {
            slot = e;
            return e;
        }
    }
    return nullptr;
}

bool id_in_use(uint32_t id) {
    for (const mount_entry* e = g_mounts.head; e; e = e->next)
        if (e->fixed.mount_id == id) return true;
    return false;
}

uint32_t new_identifier(uint32_t client, const std::string& path) {
    uint32_t id = 0;
    char text[16 + 1 + kMountPathMax + 1];
    while (id == 0) {
        const int n = std::snprintf(text, sizeof text, "%8.8x%8.8x%s", unsigned(g_mounts.id_counter++),
                                    unsigned(client), path.c_str());
        id = crc32_update(kCrc32Start, text, n > 0 ? std::min(size_t(n), sizeof text - 1) : 0);
    }
    // Identifiers stay unique; 0 never names a mount.
    while (id == 0 || id_in_use(id)) id += 13;
    return id;
}

uint32_t new_self_ref() {
    do {
        ++g_mounts.next_ref;
    } while (g_mounts.next_ref == 0);
    return g_mounts.next_ref;
}

void relink_refs() {
    for (mount_entry* e = g_mounts.head; e; e = e->next) e->fixed.next_ref = e->next ? e->next->fixed.self_ref : 0;
}

void fill_from_request(mount_entry& e, const mount_request& r) {
    e.fixed.root_identity_low = uint32_t(r.root_identity);
    e.fixed.root_identity_high = uint32_t(r.root_identity >> 32);
    e.fixed.volume_serial = r.volume_serial;
    e.fixed.max_name_length = r.max_name_length;
    e.fixed.mount_flags = r.flags;
    e.fixed.name_encoding = r.encoding;
    e.fixed.origin = r.origin;
    e.fixed.export_ref = r.exp ? r.exp->fixed.self_ref : 0;
    e.exp = r.exp;
}

struct lookup_job {
    uint32_t self_ref;
    uint32_t address;
    mount_name_resolver resolver;
};

void lookup_thread(void* arg) {
    lookup_job* job = static_cast<lookup_job*>(arg);
    char name[kMountHostNameSize + 1] = {};
    if (job->resolver(job->address, name, sizeof name)) {
        name[sizeof name - 1] = 0;
        mount_set_host_name(job->self_ref, name);
    }
    {
        mount_lock_guard guard;
        for (mount_entry* e = g_mounts.head; e; e = e->next)
            if (e->fixed.self_ref == job->self_ref) e->lookup_pending = false;
    }
    delete job;
    g_lookups.fetch_sub(1);
}

// Under the mount lock. A name that is known or being looked up is not asked
// again, and only a few lookups run at once, so a flood of mounts cannot
// start unbounded threads; an entry passed over is tried at its next mount.
void start_lookup(mount_entry& e) {
    mount_name_resolver resolver = g_resolver.load();
    if (!resolver || e.lookup_pending || e.fixed.host_name[0] != 0) return;
    if (g_lookups.fetch_add(1) >= kMountMaxLookups) {
        g_lookups.fetch_sub(1);
        return;
    }
    lookup_job* job = new lookup_job{e.fixed.self_ref, e.fixed.client_address, resolver};
    e.lookup_pending = true;
    if (!thread_start(lookup_thread, job)) {
        e.lookup_pending = false;
        delete job;
        g_lookups.fetch_sub(1);
    }
}

// Under the mount lock.
void unlink_and_free(mount_entry* victim) {
    mount_entry** link = &g_mounts.head;
    while (*link && *link != victim) link = &(*link)->next;
    if (!*link) return;
    *link = victim->next;
    if (victim->exp && victim->exp->fixed.mount_count > 0) --victim->exp->fixed.mount_count;
    mount_entry*& slot = g_mounts.cache[victim->fixed.mount_id & 0xFF];
    if (slot == victim) slot = nullptr;
    delete victim;
    relink_refs();
}

// Under the mount lock. Bounds that keep one client, or all of them, from
// growing the table (and "mounttab") without end; 0 sets no bound.
bool table_full_for(uint32_t client) {
    const uint32_t per_client = g_settings.mounts_per_client, total = g_settings.mounts_max;
    uint32_t of_client = 0, all = 0;
    for (const mount_entry* e = g_mounts.head; e; e = e->next) {
        ++all;
        if (e->fixed.client_address == client) ++of_client;
    }
    const bool full = (per_client && of_client >= per_client) || (total && all >= total);
    if (full) {
        const auto* b = reinterpret_cast<const unsigned char*>(&client);
        log_printf(1, "mountd: mount table full for %u.%u.%u.%u (%u of its own, %u in all)\n", b[0], b[1], b[2], b[3],
                   unsigned(of_client), unsigned(all));
    }
    return full;
}

}  // namespace

void mount_table_init() {
    mount_table_clear();
    // Identifiers of a new table start at a different place each run: after
    // "InodeReset" (or a lost "mounttab") an old handle must not find a new
    // mount with its identifier, since its inode number may now name
    // another file. Reloaded mounts keep their stored identifiers.
    mount_lock_guard guard;
    std::random_device entropy;
    g_mounts.id_counter = entropy() ^ uint32_t(std::time(nullptr)) * 2654435761u;
}

uint32_t mount_id_counter() {
    mount_lock_guard guard;
    return g_mounts.id_counter;
}

void mount_table_clear() {
    mount_lock_guard guard;
    while (g_mounts.head) unlink_and_free(g_mounts.head);
    std::memset(g_mounts.cache, 0, sizeof g_mounts.cache);
}

mount_record_result mount_record(const mount_request& r, uint32_t* id_out) {
    if (r.path.empty() || r.path.size() > kMountPathMax || r.exp == nullptr) return MOUNT_RECORD_FAILED;
    mount_lock_guard guard;
    for (mount_entry* e = g_mounts.head; e; e = e->next) {
        if (e->fixed.client_address != r.client || mounted_path_of(*e) != r.path) continue;
        if (e->exp != r.exp) {
            if (e->exp && e->exp->fixed.mount_count > 0) --e->exp->fixed.mount_count;
            ++r.exp->fixed.mount_count;
        }
        fill_from_request(*e, r);
        e->path = r.path == r.exp->folder ? std::string() : r.path;
        g_mounts.cache[e->fixed.mount_id & 0xFF] = e;
        start_lookup(*e);
        if (id_out) *id_out = e->fixed.mount_id;
        return MOUNT_RECORD_EXISTING;
    }
    if (table_full_for(r.client)) return MOUNT_RECORD_FULL;
    mount_entry* e = new mount_entry;
    e->fixed.self_ref = new_self_ref();
    e->fixed.client_address = r.client;
    fill_from_request(*e, r);
    if (r.path != r.exp->folder) e->path = r.path;
    e->fixed.mount_id = r.given_id ? r.given_id : new_identifier(r.client, r.path);
    e->next = g_mounts.head;
    g_mounts.head = e;
    relink_refs();
    g_mounts.cache[e->fixed.mount_id & 0xFF] = e;
    ++r.exp->fixed.mount_count;
    start_lookup(*e);
    if (id_out) *id_out = e->fixed.mount_id;
    return MOUNT_RECORD_NEW;
}

bool mount_lookup(uint32_t mount_id, mount_context* ctx, char* path_buffer, size_t buffer_size) {
    if (buffer_size == 0) return false;
    mount_lock_guard guard;
    const mount_entry* e = find_by_id(mount_id);
    if (!e) return false;
    const std::string& path = mounted_path_of(*e);
    if (path.size() >= buffer_size) return false;
    std::memcpy(path_buffer, path.c_str(), path.size() + 1);
    *ctx = mount_context{};
    ctx->max_component_length = e->fixed.max_name_length;
    ctx->volume_serial = e->fixed.volume_serial;
    ctx->flags = e->fixed.mount_flags;
    ctx->name_encoding = e->fixed.name_encoding;
    ctx->origin = e->fixed.origin;
    ctx->entry = e->exp;
    if (e->exp) {
        ctx->sub_colon = e->exp->fixed.sub_first;
        ctx->sub_question = e->exp->fixed.sub_second;
    }
    ctx->mounted_path = path_buffer;
    return true;
}

bool mount_remove(uint32_t self_ref) {
    mount_lock_guard guard;
    for (mount_entry* e = g_mounts.head; e; e = e->next) {
        if (e->fixed.self_ref == self_ref) {
            unlink_and_free(e);
            return true;
        }
    }
    return false;
}

bool mount_remove_path(uint32_t client, const char* windows_path) {
    if (!windows_path) return false;
    mount_lock_guard guard;
    for (mount_entry* e = g_mounts.head; e; e = e->next) {
        if (e->fixed.client_address == client && mounted_path_of(*e) == windows_path) {
            unlink_and_free(e);
            return true;
        }
    }
    return false;
}

size_t mount_remove_client(uint32_t client) {
    mount_lock_guard guard;
    size_t removed = 0;
    for (mount_entry* e = g_mounts.head; e;) {
        mount_entry* next = e->next;
        if (e->fixed.client_address == client) {
            unlink_and_free(e);
            ++removed;
        }
        e = next;
    }
    return removed;
}

void mount_note_tcp(uint32_t mount_id) {
    mount_lock_guard guard;
    for (mount_entry* e = g_mounts.head; e; e = e->next)
        if (e->fixed.mount_id == mount_id) e->fixed.origin = 6;
}

std::vector<mount_entry_copy> mount_table_snapshot() {
    mount_lock_guard guard;
    std::vector<mount_entry_copy> out;
    for (const mount_entry* e = g_mounts.head; e; e = e->next) out.push_back({e->fixed, e->exp, e->path});
    return out;
}

size_t mount_table_size() {
    mount_lock_guard guard;
    size_t n = 0;
    for (const mount_entry* e = g_mounts.head; e; e = e->next) ++n;
    return n;
}

bool mount_set_host_name(uint32_t self_ref, const char* name) {
    if (!name) return false;
    const size_t length = std::strlen(name);
    if (length >= kMountHostNameSize) return false;
    mount_lock_guard guard;
    for (mount_entry* e = g_mounts.head; e; e = e->next) {
        if (e->fixed.self_ref == self_ref) {
            std::memcpy(e->fixed.host_name, name, length + 1);
            return true;
        }
    }
    return false;
}

void mount_set_name_resolver(mount_name_resolver resolver) { g_resolver.store(resolver); }

int mount_lookups_running() { return g_lookups.load(); }

// The mount lock for the file code beside this one.
void mount_lock_enter() {
    ensure_lock();
    fault_section_enter(&g_mounts.lock);
}
void mount_lock_leave() { fault_section_leave(&g_mounts.lock); }
