#include "quen/nlm/lock_table.h"

#include "platform/file.h"
#include "tests/nlm/lock_model.h"
#include "tests/support/file_tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

// The file side: counts per file, the grants sent, and the handle's locks as
// Windows keeps them (one handle per file): exclusive locks overlap none, an
// unlock names a lock's very range.
std::map<const void*, int> g_counts;
std::vector<lock_slot> g_grants;
struct handle_lock {
    const void* file;
    uint64_t offset, end;
};
std::vector<handle_lock> g_locks;
bool g_os_refuses = false;
int g_refuse_one_in = 0;   // another program's lock, now and then
int g_misuses = 0;         // locks over the handle's own, unlocks of no lock
int g_gaps = 0;            // bytes a slot holds that an unlock left unlocked
std::mt19937 g_refusals(7);
bool locked(const void* f, uint64_t b);

uint32_t fake_lock(const void* f, uint64_t off, uint64_t len) {
    for (const handle_lock& l : g_locks)
        if (l.file == f && l.offset < off + len && off < l.end) return ++g_misuses, 33u;
    if (g_os_refuses || (g_refuse_one_in && g_refusals() % g_refuse_one_in == 0)) return 33;
    g_locks.push_back({f, off, off + len});
    return 0;
}
uint32_t fake_unlock(const void* f, uint32_t, uint64_t off, uint64_t len) {
    auto match = std::find_if(g_locks.begin(), g_locks.end(), [&](const handle_lock& l) {
        return l.file == f && l.offset == off && l.end == off + len;
    });
    if (match == g_locks.end()) return ++g_misuses, 158u;
    g_locks.erase(match);
    lock_slot s[kLockSlots];
    const int n = lock_slots_of(f, false, s, kLockSlots);
    for (int i = 0; i < n; ++i)
        for (uint64_t b = std::max(s[i].offset, off); b < std::min({s[i].end, off + len, uint64_t(64)}); ++b)
            g_gaps += !locked(f, b);
    return 0;
}
bool locked(const void* f, uint64_t b) {
    for (const handle_lock& l : g_locks)
        if (l.file == f && l.offset <= b && b < l.end) return true;
    return false;
}
void fake_count(const void* file, int delta) { g_counts[file] += delta; }
void fake_granted(const lock_slot& s) { g_grants.push_back(s); }
bool g_no_grant_room = false;
bool fake_grant_room(uint32_t) { return !g_no_grant_room; }
std::vector<std::pair<uint32_t, uint64_t>> g_released;   // client and start of what went
void fake_released(const void*, uint32_t client, const uint32_t*, uint64_t offset, uint64_t) {
    g_released.emplace_back(client, offset);
}
const lock_hooks k_fake = {fake_lock, fake_unlock, fake_count, fake_granted, fake_grant_room, fake_released};

int g_files[4];
const void* file(int i) { return &g_files[i]; }

lock_owner owner(uint32_t client, uint32_t svid, const char* name = "host", const char* handle = "oh") {
    lock_owner o{};
    o.client = client;
    o.svid = svid;
    o.name_len = uint32_t(std::strlen(name));
    std::memcpy(o.name, name, o.name_len);
    o.handle_len = uint32_t(std::strlen(handle));
    std::memcpy(o.handle, handle, o.handle_len);
    return o;
}

const lock_context k_ctx{};

uint32_t take(const void* f, const lock_owner& o, uint64_t off, uint64_t len, bool excl = true, bool block = false) {
    return lock_acquire({f, &o, off, len, excl, block, &k_ctx});
}

// The granted ranges of one owner on a file as "off-end" words, in order.
std::string spans(const void* f, const lock_owner& o) {
    lock_slot s[kLockSlots];
    const int n = lock_slots_of(f, false, s, kLockSlots);
    std::map<uint64_t, std::string> by_offset;
    for (int i = 0; i < n; ++i)
        if (same_owner(s[i].owner, o))
            by_offset[s[i].offset] = std::to_string(s[i].offset) + "-" +
                                     (s[i].end == kRangeEnd ? "end" : std::to_string(s[i].end)) +
                                     (s[i].exclusive ? "x" : "s");
    std::string out;
    for (auto& [k, v] : by_offset) out += (out.empty() ? "" : " ") + v;
    return out;
}

class LockTable : public ::testing::Test {
protected:
    void SetUp() override {
        lock_table_init(&k_fake);
        g_counts.clear();
        g_grants.clear();
        g_no_grant_room = false;
        g_released.clear();
        g_locks.clear();
        g_os_refuses = false;
        g_refuse_one_in = 0;
        g_misuses = 0;
        g_gaps = 0;
    }
};

struct range_case {
    const char* name;
    uint64_t lock_off, lock_len;
    bool second_lock;   // else an unlock
    bool excl;
    uint64_t off, len;
    const char* expect;
};

TEST_F(LockTable, RangesFollowPosix) {
    const range_case cases[] = {
        {"unlock inside splits", 0, 100, false, true, 40, 20, "0-40x 60-100x"},
        {"unlock at the start trims", 0, 100, false, true, 0, 10, "10-100x"},
        {"unlock past the end trims", 0, 100, false, true, 90, 50, "0-90x"},
        {"unlock of all of it frees", 0, 100, false, true, 0, 0, ""},
        {"unlock elsewhere keeps", 0, 100, false, true, 200, 10, "0-100x"},
        {"adjoining lock merges", 0, 100, true, true, 100, 50, "0-150x"},
        {"overlapping lock merges", 0, 100, true, true, 50, 100, "0-150x"},
        {"shared inside exclusive splits", 0, 100, true, false, 40, 20, "0-40x 40-60s 60-100x"},
        {"length 0 reaches the end", 0, 100, true, true, 50, 0, "0-endx"},
    };
    for (const range_case& c : cases) {
        SetUp();
        const lock_owner a = owner(1, 7);
        ASSERT_EQ(take(file(0), a, c.lock_off, c.lock_len), NLM_GRANTED) << c.name;
        const uint32_t r =
            c.second_lock ? take(file(0), a, c.off, c.len, c.excl) : lock_release(file(0), a, c.off, c.len);
        EXPECT_EQ(r, NLM_GRANTED) << c.name;
        EXPECT_EQ(spans(file(0), a), c.expect) << c.name;
        EXPECT_EQ(g_counts[file(0)], lock_slots_used()) << c.name;
    }
}

TEST_F(LockTable, OwnersAreAddressNameSvidAndHandle) {
    const lock_owner a = owner(1, 7);
    ASSERT_EQ(take(file(0), a, 0, 100), NLM_GRANTED);
    const lock_owner others[] = {owner(2, 7), owner(1, 7, "other"), owner(1, 7, "host", "oh2"), owner(1, 8)};
    for (const lock_owner& o : others) {
        EXPECT_EQ(take(file(0), o, 50, 10), NLM_DENIED);
        lock_holder holder{};
        EXPECT_EQ(lock_test(file(0), o, 0, 1, true, &holder), NLM_DENIED);
        EXPECT_EQ(holder.svid, 7u);
        // Another owner's unlock, even with the same svid, frees nothing.
        lock_release(file(0), o, 0, 0);
        EXPECT_EQ(spans(file(0), a), "0-100x");
    }
    lock_holder holder{};
    EXPECT_EQ(lock_test(file(0), a, 0, 1, true, &holder), NLM_GRANTED);   // its own lock
    EXPECT_EQ(take(file(1), owner(2, 7), 0, 100), NLM_GRANTED);           // another file
}

TEST_F(LockTable, SharedLocksShareAndLengthZeroReachesTheEnd) {
    EXPECT_EQ(take(file(0), owner(1, 1), 0, 100, false), NLM_GRANTED);
    EXPECT_EQ(take(file(0), owner(2, 1), 50, 100, false), NLM_GRANTED);
    EXPECT_EQ(take(file(0), owner(3, 1), 90, 1, true), NLM_DENIED);
    EXPECT_EQ(take(file(1), owner(1, 1), 1000, 0), NLM_GRANTED);
    lock_holder holder{};
    EXPECT_EQ(lock_test(file(1), owner(2, 1), ~uint64_t(0) - 5, 2, false, &holder), NLM_DENIED);
    EXPECT_EQ(holder.offset, 1000u);
    EXPECT_EQ(holder.length, 0u);
    EXPECT_EQ(lock_test(file(1), owner(2, 1), 0, 1000, true, &holder), NLM_GRANTED);
}

TEST_F(LockTable, HandleLockRefusedIsDenied) {
    g_os_refuses = true;
    EXPECT_EQ(take(file(0), owner(1, 1), 0, 10), NLM_DENIED);
    EXPECT_EQ(lock_slots_used(), 0);
}

TEST_F(LockTable, OnlyBlockingRequestsQueueAndGrantsFollowArrival) {
    const lock_owner a = owner(1, 1), b = owner(2, 1), c = owner(3, 1), d = owner(4, 1);
    ASSERT_EQ(take(file(0), a, 0, 100), NLM_GRANTED);
    EXPECT_EQ(take(file(0), d, 0, 10, true, false), NLM_DENIED);
    EXPECT_EQ(lock_slots_used(), 1);
    EXPECT_EQ(take(file(0), b, 0, 100, true, true), NLM_BLOCKED);
    EXPECT_EQ(take(file(0), b, 0, 100, true, true), NLM_BLOCKED);   // a retransmission
    EXPECT_EQ(take(file(0), c, 50, 10, true, true), NLM_BLOCKED);
    EXPECT_EQ(take(file(0), d, 200, 10, true, true), NLM_GRANTED);
    EXPECT_EQ(lock_slots_used(), 4);
    lock_release(file(0), a, 0, 0);
    ASSERT_EQ(g_grants.size(), 1u);   // b, first in line; c now conflicts with b
    EXPECT_TRUE(same_owner(g_grants[0].owner, b));
    EXPECT_EQ(spans(file(0), b), "0-100x");
    lock_release(file(0), b, 0, 0);
    ASSERT_EQ(g_grants.size(), 2u);
    EXPECT_TRUE(same_owner(g_grants[1].owner, c));
    // A cancelled request is never granted.
    EXPECT_EQ(take(file(0), a, 50, 10, true, true), NLM_BLOCKED);
    lock_cancel(file(0), a, 50, 10);
    lock_release(file(0), c, 0, 0);
    EXPECT_EQ(g_grants.size(), 2u);
    EXPECT_EQ(g_counts[file(0)], lock_slots_used());
}

TEST_F(LockTable, ALockTurnedSharedLetsSharedRequestsIn) {
    const lock_owner a = owner(1, 1), b = owner(2, 1);
    ASSERT_EQ(take(file(0), a, 0, 100, true), NLM_GRANTED);
    ASSERT_EQ(take(file(0), b, 10, 10, false, true), NLM_BLOCKED);
    ASSERT_EQ(take(file(0), a, 0, 100, false), NLM_GRANTED);
    ASSERT_EQ(g_grants.size(), 1u);
    EXPECT_EQ(spans(file(0), b), "10-20s");
}

TEST_F(LockTable, ReleasingAFileGrantsNothing) {
    ASSERT_EQ(take(file(0), owner(1, 1), 0, 100), NLM_GRANTED);
    ASSERT_EQ(take(file(0), owner(2, 1), 0, 100, true, true), NLM_BLOCKED);
    lock_release_file(file(0));
    EXPECT_TRUE(g_grants.empty());
    EXPECT_EQ(lock_slots_used(), 0);
    EXPECT_EQ(g_counts[file(0)], 0);
}

// A grant that no callback could carry now is never made behind the
// client's back: the request stays queued, and its next LOCK is granted in
// the reply. What goes is told, so that a grant announced for it goes too.
TEST_F(LockTable, AGrantWithoutRoomForItsCallbackStaysQueued) {
    const lock_owner a = owner(1, 1), b = owner(2, 1);
    ASSERT_EQ(take(file(0), a, 0, 100), NLM_GRANTED);
    ASSERT_EQ(take(file(0), b, 0, 100, true, true), NLM_BLOCKED);
    g_no_grant_room = true;
    ASSERT_EQ(lock_release(file(0), a, 0, 0), NLM_GRANTED);
    EXPECT_TRUE(g_grants.empty());
    lock_slot queued[2];
    EXPECT_EQ(lock_slots_of(file(0), true, queued, 2), 1) << "still queued";
    EXPECT_EQ(take(file(0), b, 0, 100, true, true), NLM_GRANTED) << "the client's next LOCK";
    EXPECT_EQ(lock_slots_of(file(0), true, queued, 2), 0);
    EXPECT_EQ(spans(file(0), b), "0-100x");
    ASSERT_EQ(lock_release(file(0), b, 10, 5), NLM_GRANTED);
    EXPECT_EQ(g_released, (std::vector<std::pair<uint32_t, uint64_t>>{{1, 0}, {2, 10}}));
}

TEST_F(LockTable, BoundedPerClientAndInAll) {
    // Each client holds at most its eighth, so it takes eight to fill the table.
    for (int i = 0; i < kLockSlotsPerClient; ++i)
        ASSERT_EQ(take(file(1), owner(9, uint32_t(i)), 0, 1, false), NLM_GRANTED);
    EXPECT_EQ(take(file(1), owner(9, 999), 0, 1, false), NLM_DENIED_NOLOCKS);
    EXPECT_EQ(take(file(1), owner(9, 998), 0, 1, true, true), NLM_DENIED_NOLOCKS) << "nor queued past its share";
    const uint32_t clients = kLockSlots / kLockSlotsPerClient;
    for (uint32_t c = 1; c < clients; ++c)
        for (int i = 0; i < kLockSlotsPerClient - (c + 1 == clients); ++i)
            ASSERT_EQ(take(file(2), owner(10 + c, uint32_t(i)), 0, 1, false), NLM_GRANTED) << c;
    const lock_owner a = owner(100, 1);
    ASSERT_EQ(take(file(0), a, 0, 100), NLM_GRANTED);   // the last slot
    EXPECT_EQ(take(file(3), owner(101, 1), 0, 1), NLM_DENIED_NOLOCKS);
    // A split that finds no slot changes nothing.
    EXPECT_EQ(lock_release(file(0), a, 40, 20), NLM_DENIED_NOLOCKS);
    EXPECT_EQ(spans(file(0), a), "0-100x");
    // FREE_ALL for client 9 frees its slots only.
    const void* files[4];
    ASSERT_EQ(lock_client_files(9, "host", 4, files, 4), 1);
    lock_free_client_file(files[0], 9, "host", 4);
    EXPECT_EQ(lock_slots_used(), kLockSlots - kLockSlotsPerClient);
}

// Random requests against the model: nothing granted conflicts, the table
// holds what the replies said, and the handle's locks cover every held byte
// at every moment, never overlap and never stay without a held byte, while
// another program now and then holds bytes that a new lock wants.
TEST_F(LockTable, RandomOperationsNeverGrantConflicts) {
    constexpr int kOwners = MODEL_OWNERS, kFiles = MODEL_FILES, kBytes = MODEL_BYTES;
    lock_model m{};
    lock_owner owners[kOwners];
    for (int o = 0; o < kOwners; ++o) owners[o] = owner(uint32_t(1 + o % 3), uint32_t(o));
    auto index_of = [&](const lock_owner& x) {
        for (int o = 0; o < kOwners; ++o)
            if (same_owner(owners[o], x)) return o;
        return -1;
    };
    auto grant = [&](int f, int o, uint64_t off, uint64_t end, bool excl) {
        EXPECT_EQ(model_conflict(&m, f, o, off, end, excl), -1);
        model_set(&m, f, o, off, end, excl ? MODEL_EXCLUSIVE : MODEL_SHARED, 0);
    };
    g_refuse_one_in = 8;
    std::mt19937 rng(12345);
    for (int step = 0; step < 4000; ++step) {
        const int f = int(rng() % kFiles), o = int(rng() % kOwners);
        const uint64_t off = rng() % kBytes, len = rng() % 5 == 0 ? 0 : 1 + rng() % 20;
        const uint64_t end = range_end(off, len);
        const bool excl = rng() % 2;
        g_grants.clear();
        switch (rng() % 3) {
        case 0:
            if (take(file(f), owners[o], off, len, excl, rng() % 2) == NLM_GRANTED) grant(f, o, off, end, excl);
            break;
        case 1:
            if (lock_release(file(f), owners[o], off, len) == NLM_GRANTED) model_set(&m, f, o, off, end, 0, 0);
            break;
        default: lock_cancel(file(f), owners[o], off, len);
        }
        for (const lock_slot& g : g_grants) grant(f, index_of(g.owner), g.offset, g.end, g.exclusive);
        for (int ff = 0; ff < kFiles; ++ff) {
            lock_slot s[kLockSlots];
            const int n = lock_slots_of(file(ff), false, s, kLockSlots);
            uint8_t seen[kOwners][kBytes] = {};
            for (int i = 0; i < n; ++i)
                for (int j = i + 1; j < n; ++j) {
                    const bool overlap = s[i].offset < s[j].end && s[j].offset < s[i].end;
                    const bool same = same_owner(s[i].owner, s[j].owner);
                    ASSERT_FALSE(overlap && (same || s[i].exclusive || s[j].exclusive)) << "step " << step;
                }
            for (int i = 0; i < n; ++i)
                for (uint64_t b = s[i].offset; b < s[i].end && b < kBytes; ++b) {
                    seen[index_of(s[i].owner)][b] = s[i].exclusive ? MODEL_EXCLUSIVE : MODEL_SHARED;
                    ASSERT_TRUE(locked(file(ff), b)) << "step " << step << " byte " << b;
                }
            ASSERT_EQ(std::memcmp(seen, m.held[ff], sizeof seen), 0) << "step " << step;
            for (const handle_lock& l : g_locks) {
                bool serves = false;
                for (int i = 0; i < n; ++i) serves |= l.file == s[i].file && l.offset < s[i].end && s[i].offset < l.end;
                ASSERT_TRUE(l.file != file(ff) || serves) << "step " << step << ": a lock holding nothing";
            }
            lock_slot q[kLockSlots];
            ASSERT_EQ(g_counts[file(ff)], n + lock_slots_of(file(ff), true, q, kLockSlots)) << "step " << step;
        }
        ASSERT_EQ(g_misuses, 0) << "step " << step;
        ASSERT_EQ(g_gaps, 0) << "step " << step;
    }
    for (int ff = 0; ff < kFiles; ++ff) lock_release_file(file(ff));
    EXPECT_TRUE(g_locks.empty());
}

// The hooks on a real handle of a file; a second handle of it stands for
// another program on the server.
wp_handle g_handle = WP_INVALID_HANDLE;
uint32_t real_lock(const void*, uint64_t off, uint64_t len) {
    return wp_lock_file(g_handle, off, len) ? 0 : file_last_error();
}
uint32_t real_unlock(const void*, uint32_t, uint64_t off, uint64_t len) {
    return wp_unlock_file(g_handle, off, len) ? 0 : file_last_error();
}
const lock_hooks k_handle_hooks = {real_lock, real_unlock, fake_count, fake_granted, nullptr, nullptr};

class LockTableOnAHandle : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(wp_create_directory(dir.c_str()));
        g_handle = wp_create_file(path.c_str(), WP_GENERIC_READ | WP_GENERIC_WRITE, WP_FILE_SHARE_ALL, WP_CREATE_NEW, 0);
        other = wp_create_file(path.c_str(), WP_GENERIC_READ | WP_GENERIC_WRITE, WP_FILE_SHARE_ALL, WP_OPEN_EXISTING, 0);
        ASSERT_NE(g_handle, WP_INVALID_HANDLE);
        ASSERT_NE(other, WP_INVALID_HANDLE);
        lock_table_init(&k_handle_hooks);
    }
    void TearDown() override {
        lock_release_file(&g_handle);
        wp_close_handle(other);
        wp_close_handle(g_handle);
        remove_tree(dir);
    }
    // Writes a byte at `at` through the handle, as an NFS WRITE does.
    static bool write_at(wp_handle h, uint64_t at) {
        uint32_t done = 0;
        return wp_set_file_pointer(h, int32_t(at), nullptr, WP_FILE_BEGIN) != WP_INVALID_SET_FILE_POINTER &&
               wp_write_file(h, "w", 1, &done) && done == 1;
    }
    const std::string dir = unique_test_folder("tervalo-nlm-");
    const std::string path = dir + "\\f";
    wp_handle other = WP_INVALID_HANDLE;   // another program on the server
    const lock_owner a = owner(1, 1), b = owner(2, 1);
};

TEST_F(LockTableOnAHandle, BytesStillHeldSharedStayLocked) {
    EXPECT_EQ(take(&g_handle, a, 0, 100, false), NLM_GRANTED);
    EXPECT_EQ(take(&g_handle, b, 50, 100, false), NLM_GRANTED);
    EXPECT_EQ(lock_release(&g_handle, a, 0, 0), NLM_GRANTED);
    EXPECT_FALSE(wp_lock_file(other, 60, 1)) << "bytes b holds shared";
    // a's lock of 0-99 stays whole while b holds a byte of it.
    EXPECT_EQ(lock_release(&g_handle, b, 0, 0), NLM_GRANTED);
    EXPECT_TRUE(wp_lock_file(other, 10, 1)) << "bytes nobody holds";
    EXPECT_TRUE(wp_lock_file(other, 60, 1)) << "bytes nobody holds";
}

// NFS locks are advisory among NFS clients: the server's own handle writes
// into bytes one owner, or two overlapping owners, hold shared.
TEST_F(LockTableOnAHandle, TheServersHandleWritesIntoSharedBytes) {
    EXPECT_EQ(take(&g_handle, a, 0, 100, false), NLM_GRANTED);
    EXPECT_TRUE(write_at(g_handle, 10)) << "a's bytes: " << file_last_error();
    EXPECT_EQ(take(&g_handle, b, 50, 100, false), NLM_GRANTED);
    for (const uint64_t at : {10, 60, 120}) EXPECT_TRUE(write_at(g_handle, at)) << at << ": " << file_last_error();
}

}  // namespace
