#include "quen/fs/dir_scan_table.h"

#include "platform/thread.h"
#include "quen/config/settings.h"
#include "quen/fs/dir_scan.h"
#include "rpc/share.h"

namespace {

constexpr uint32_t kMaxBits = 8;
constexpr uint32_t kScanShareDivisor = 4;   // one client's part of the slots

struct scan_table {
    crit_section lock;
    bool lock_made = false;
    uint32_t bits = 6;
    bool closing = false;   // the stop has closed the table: a request that ends frees its slot
    scan_slot slots[1u << kMaxBits];
};

scan_table g_scans;

uint32_t slot_count() { return 1u << g_scans.bits; }

// A busy slot's last use is never 0, whatever the tick count says.
uint32_t now_tick() {
    const uint32_t t = tick_count_ms();
    return t ? t : 1;
}

bool in_use(const scan_slot& s) { return s.last_use != 0 || s.users != 0; }

void free_slot(scan_slot& s) {
    scan_slot_restart(&s);
    s.last_use = 0;
}

// Claims a free slot for a scan of dir_inode by client.
void claim(scan_slot& s, uint32_t client, uint32_t mount_id, uint64_t dir_inode) {
    scan_slot_restart(&s);
    s.last_use = now_tick();
    s.client = client;
    s.mount_id = mount_id;
    s.dir_inode = dir_inode;
    s.last_mount_id = mount_id;
}

// Under the table lock: frees the slots idle for longer than DirTimeout.
void sweep() {
    const uint32_t now = now_tick();
    const int32_t setting = g_settings.dir_timeout;
    const uint32_t timeout = setting > 0 ? uint32_t(setting) : 0;
    for (uint32_t i = 0; i < slot_count(); ++i) {
        scan_slot& s = g_scans.slots[i];
        if (s.users == 0 && s.last_use != 0 && uint32_t(now - s.last_use) > timeout) free_slot(s);
    }
}

// A slot between requests: dropping it costs its client no more than a
// listing taken up again from its position.
bool idle(const scan_slot& s) { return s.users == 0 && s.last_use != 0; }

// Under the table lock: a slot for a new scan of the client, by the share
// rule: a quarter of the table per client; a full table (or a client at its
// share) gives up the slot idle the longest. `preferred`, when free and
// admitted, is taken first. Null: every slot is inside a request.
scan_slot* make_room(uint32_t client, uint32_t preferred, uint32_t* index) {
    sweep();
    share_state state{slot_count(), share_of(slot_count(), kScanShareDivisor), 0, 0, 0, 0};
    for (uint32_t i = 0; i < slot_count(); ++i) {
        const scan_slot& s = g_scans.slots[i];
        if (!in_use(s)) continue;
        ++state.in_use;
        state.idle += idle(s);
        if (s.client != client) continue;
        ++state.of_client;
        state.idle_of_client += idle(s);
    }
    const share_verdict verdict = share_decide(state);
    if (verdict == share_verdict::refuse) return nullptr;
    const uint32_t now = now_tick();
    uint32_t found = slot_count(), longest = 0;
    for (uint32_t i = 0; i < slot_count(); ++i) {
        const scan_slot& s = g_scans.slots[i];
        if (verdict == share_verdict::admit) {
            if (in_use(s)) continue;
            if (found == slot_count() || i == preferred) found = i;
            if (i == preferred) break;
            continue;
        }
        if (!idle(s) || (verdict == share_verdict::reclaim_own && s.client != client)) continue;
        if (found == slot_count() || uint32_t(now - s.last_use) > longest) {
            found = i;
            longest = uint32_t(now - s.last_use);
        }
    }
    if (found == slot_count()) return nullptr;
    *index = found;
    return &g_scans.slots[found];
}

}  // namespace

void scan_slot_restart(scan_slot* s) {
    if (s->search != WP_INVALID_FIND_HANDLE) wp_find_close(s->search);
    s->search = WP_INVALID_FIND_HANDLE;
    s->position = 0;
    s->last_name[0] = 0;
    s->last_inode = 0;
    s->last_has_info = false;
}

void scan_slots_end_dir(uint64_t dir_inode) {
    if (!g_scans.lock_made || dir_inode == 0) return;
    crit_guard g(&g_scans.lock);
    for (uint32_t i = 0; i < slot_count(); ++i) {
        scan_slot& s = g_scans.slots[i];
        if (s.users == 0 && s.last_use != 0 && s.dir_inode == dir_inode) free_slot(s);
    }
}

uint32_t scan_cookie(uint32_t index, uint32_t position) { return index | position << g_scans.bits; }

uint32_t scan_max_position() { return 0xFFFFFFFFu >> g_scans.bits; }

scan_slot* scan_slot_take(uint32_t client, uint32_t mount_id, uint64_t dir_inode, uint32_t cookie,
                          uint32_t* index, uint32_t* position) {
    crit_guard g(&g_scans.lock);
    *position = 0;
    uint32_t preferred = slot_count();
    if (cookie != 0) {
        *index = cookie & (slot_count() - 1);
        *position = cookie >> g_scans.bits;
        scan_slot& s = g_scans.slots[*index];
        // File ids are unique per volume only, so the mount decides too.
        if (in_use(s) && s.dir_inode == dir_inode && s.client == client && s.mount_id == mount_id) {
            s.last_use = now_tick();
            ++s.users;
            return &s;
        }
        // The cookie's slot was freed or given to another scan: the listing
        // goes on from the cookie's position in a slot of its own, found
        // again from the start of the directory; never in another's slot.
        preferred = *index;
    }
    scan_slot* chosen = make_room(client, preferred, index);
    if (!chosen) return nullptr;
    claim(*chosen, client, mount_id, dir_inode);
    ++chosen->users;
    return chosen;
}

void scan_slot_release(scan_slot* s, bool free_it) {
    crit_guard g(&g_scans.lock);
    --s->users;
    if (free_it || g_scans.closing)
        free_slot(*s);
    else
        s->last_use = now_tick();
}

void dir_scan_init() {
    if (!g_scans.lock_made) {
        crit_init(&g_scans.lock);
        g_scans.lock_made = true;
        for (scan_slot& s : g_scans.slots) s.search = WP_INVALID_FIND_HANDLE;
    }
    crit_guard g(&g_scans.lock);
    g_scans.closing = false;
    for (scan_slot& s : g_scans.slots) {
        free_slot(s);
        s.users = 0;
    }
    const int32_t bits = g_settings.dir_bits;
    g_scans.bits = bits < 6 ? 6 : bits > int32_t(kMaxBits) ? kMaxBits : uint32_t(bits);
}

void dir_scan_close_all() {
    if (!g_scans.lock_made) return;
    crit_guard g(&g_scans.lock);
    // A request still inside its slot closes the search itself when it ends.
    g_scans.closing = true;
    for (scan_slot& s : g_scans.slots)
        if (s.users == 0) free_slot(s);
}

int dir_scan_open_searches() {
    if (!g_scans.lock_made) return 0;
    crit_guard g(&g_scans.lock);
    // A slot inside a request belongs to that request's per-file section.
    int n = 0;
    for (const scan_slot& s : g_scans.slots)
        if (s.users == 0 && s.search != WP_INVALID_FIND_HANDLE) ++n;
    return n;
}
