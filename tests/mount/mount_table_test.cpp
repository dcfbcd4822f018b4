// The mount table: identifiers, refreshing, removal, the origin word and the
// bounded reverse name lookups.
#include "platform/thread.h"
#include "quen/config/settings.h"
#include "quen/inode/inode_tree.h"
#include "quen/mount/crc32.h"
#include "quen/mount/mount_folder.h"
#include "tests/mount/mount_test_env.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <set>

struct mount_table_test : mount_test {
    export_entry* exp = nullptr;
    void SetUp() override {
        mount_test::SetUp();
        if (HasFatalFailure()) return;
        make_dir("share");
        make_dir("share\\a");
        make_dir("share\\b");
        load_exports("@\\share -ci -alldirs\n");
        exp = export_at(0);
        ASSERT_NE(exp, nullptr);
    }
};

TEST_F(mount_table_test, same_folder_twice_gives_the_same_identifier_and_one_count) {
    const uint32_t first = mount_folder(ip("192.0.2.1"), exp->folder, exp);
    ASSERT_NE(first, 0u);
    EXPECT_EQ(exp->fixed.mount_count, 1u);
    const uint32_t again = mount_folder(ip("192.0.2.1"), exp->folder, exp, 6);
    EXPECT_EQ(again, first);
    EXPECT_EQ(exp->fixed.mount_count, 1u);
    EXPECT_EQ(mount_table_size(), 1u);
    EXPECT_EQ(mount_table_snapshot()[0].fixed.origin, 6u) << "the refresh takes the new origin";
}

TEST_F(mount_table_test, new_identifier_is_the_crc_of_counter_client_and_path) {
    const uint32_t client = ip("192.0.2.1");
    const uint32_t start = mount_id_counter();
    const uint32_t id = mount_folder(client, exp->folder, exp);
    // The first attempt normally gives it; a zero CRC takes another.
    bool found = false;
    for (unsigned counter = start; counter < start + 4 && !found; ++counter) {
        char text[2100];
        const int n = std::snprintf(text, sizeof text, "%8.8x%8.8x%s", counter, unsigned(client), exp->folder.c_str());
        found = crc32_update(kCrc32Start, text, size_t(n)) == id;
    }
    EXPECT_TRUE(found) << std::hex << id;
}

namespace {

uint32_t crc_of(unsigned counter, uint32_t client, const std::string& path) {
    char text[2100];
    const int n = std::snprintf(text, sizeof text, "%8.8x%8.8x%s", counter, unsigned(client), path.c_str());
    return crc32_update(kCrc32Start, text, size_t(n));
}

}  // namespace

TEST_F(mount_table_test, a_colliding_identifier_moves_on_by_13) {
    const uint32_t client = ip("192.0.2.1");
    const uint32_t counter = mount_id_counter();
    const uint32_t first = mount_folder(client, at("share"), exp);
    ASSERT_EQ(crc_of(counter, client, at("share")), first) << "the counter behind the first identifier";
    // The next attempt will use counter + 1: take its identifier first.
    const uint32_t next = crc_of(counter + 1, client, at("share\\a"));
    mount_request r;
    r.client = ip("192.0.2.200");
    r.path = at("share\\b");
    r.exp = exp;
    r.root_identity = 64;
    r.given_id = next;
    ASSERT_EQ(mount_record(r, nullptr), MOUNT_RECORD_NEW);
    EXPECT_EQ(mount_folder(client, at("share\\a"), exp), next + 13);
}

TEST_F(mount_table_test, a_new_table_numbers_its_mounts_afresh) {
    // Without "mounttab" (InodeReset, or the file lost) the same first mount
    // must not get the identifier it had in the previous run.
    // A new process starts with a new table, as a new init does here.
    mount_table_init();
    const uint32_t first_run = mount_id_counter();
    mount_table_init();
    EXPECT_NE(mount_id_counter(), first_run);
}

TEST_F(mount_table_test, different_folders_and_clients_get_different_identifiers) {
    std::set<uint32_t> ids;
    for (const char* client : {"192.0.2.1", "192.0.2.2"})
        for (const char* sub : {"share", "share\\a", "share\\b"}) ids.insert(mount_folder(ip(client), at(sub), exp));
    EXPECT_EQ(ids.size(), 6u);
    EXPECT_EQ(ids.count(0), 0u);
    EXPECT_EQ(mount_table_size(), 6u);
    EXPECT_EQ(exp->fixed.mount_count, 6u);
}

TEST_F(mount_table_test, own_path_kept_only_when_it_differs_from_the_folder) {
    mount_folder(ip("192.0.2.1"), exp->folder, exp);
    mount_folder(ip("192.0.2.1"), at("share\\a"), exp);
    const auto entries = mount_table_snapshot();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].path, at("share\\a")) << "newest first";
    EXPECT_EQ(entries[1].path, "");
}

TEST_F(mount_table_test, references_chain_the_list) {
    for (const char* sub : {"share", "share\\a", "share\\b"}) mount_folder(ip("192.0.2.1"), at(sub), exp);
    const auto entries = mount_table_snapshot();
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].fixed.next_ref, entries[1].fixed.self_ref);
    EXPECT_EQ(entries[1].fixed.next_ref, entries[2].fixed.self_ref);
    EXPECT_EQ(entries[2].fixed.next_ref, 0u);
    EXPECT_EQ(entries[0].fixed.export_ref, exp->fixed.self_ref);
    EXPECT_EQ(entries[0].fixed.client_address, ip("192.0.2.1"));
}

TEST_F(mount_table_test, given_identifiers_are_taken_as_they_are) {
    mount_request r;
    r.client = ip("192.0.2.1");
    r.path = exp->folder;
    r.exp = exp;
    r.root_identity = 64;
    r.given_id = 0xABCDEF01;
    uint32_t id = 0;
    ASSERT_EQ(mount_record(r, &id), MOUNT_RECORD_NEW);
    EXPECT_EQ(id, 0xABCDEF01u);
}

TEST_F(mount_table_test, a_record_without_path_or_export_fails) {
    mount_request r;
    r.client = ip("192.0.2.1");
    r.exp = exp;
    EXPECT_EQ(mount_record(r, nullptr), MOUNT_RECORD_FAILED);
    r.path = exp->folder;
    r.exp = nullptr;
    EXPECT_EQ(mount_record(r, nullptr), MOUNT_RECORD_FAILED);
    r.exp = exp;
    r.path.assign(kMountPathMax + 1, 'x');
    EXPECT_EQ(mount_record(r, nullptr), MOUNT_RECORD_FAILED);
    EXPECT_EQ(mount_table_size(), 0u);
}

TEST_F(mount_table_test, remove_path_takes_only_the_first_entry_of_that_client) {
    const uint32_t one = mount_folder(ip("192.0.2.1"), at("share\\a"), exp);
    const uint32_t two = mount_folder(ip("192.0.2.2"), at("share\\a"), exp);
    EXPECT_FALSE(mount_remove_path(ip("192.0.2.3"), at("share\\a").c_str()));
    EXPECT_FALSE(mount_remove_path(ip("192.0.2.1"), at("share\\b").c_str()));
    ASSERT_TRUE(mount_remove_path(ip("192.0.2.1"), at("share\\a").c_str()));
    const auto left = mount_table_snapshot();
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].fixed.mount_id, two);
    EXPECT_NE(one, two);
    EXPECT_EQ(exp->fixed.mount_count, 1u);
}

TEST_F(mount_table_test, remove_client_takes_all_of_its_entries) {
    mount_folder(ip("192.0.2.1"), at("share"), exp);
    mount_folder(ip("192.0.2.2"), at("share\\a"), exp);
    mount_folder(ip("192.0.2.1"), at("share\\b"), exp);
    EXPECT_EQ(mount_remove_client(ip("192.0.2.1")), 2u);
    EXPECT_EQ(mount_remove_client(ip("192.0.2.1")), 0u);
    ASSERT_EQ(mount_table_size(), 1u);
    EXPECT_EQ(mount_table_snapshot()[0].fixed.client_address, ip("192.0.2.2"));
    EXPECT_EQ(exp->fixed.mount_count, 1u);
}

TEST_F(mount_table_test, the_mount_count_never_goes_below_zero) {
    mount_folder(ip("192.0.2.1"), at("share"), exp);
    exp->fixed.mount_count = 0;   // as after an exports reload that reset it
    ASSERT_EQ(mount_remove_client(ip("192.0.2.1")), 1u);
    EXPECT_EQ(exp->fixed.mount_count, 0u);
}

TEST_F(mount_table_test, remove_by_own_reference) {
    mount_folder(ip("192.0.2.1"), at("share"), exp);
    const uint32_t ref = mount_table_snapshot()[0].fixed.self_ref;
    EXPECT_FALSE(mount_remove(ref + 1));
    EXPECT_TRUE(mount_remove(ref));
    EXPECT_FALSE(mount_remove(ref));
    EXPECT_EQ(mount_table_size(), 0u);
}

TEST_F(mount_table_test, note_tcp_replaces_the_whole_origin_word) {
    const uint32_t id = mount_folder(ip("192.0.2.1"), at("share"), exp, 17 | MOUNT_ORIGIN_WEBNFS);
    mount_folder(ip("192.0.2.1"), at("share\\a"), exp, 17 | MOUNT_ORIGIN_AUTO);
    mount_note_tcp(id);
    for (const auto& e : mount_table_snapshot())
        EXPECT_EQ(e.fixed.origin, e.fixed.mount_id == id ? 6u : (17u | MOUNT_ORIGIN_AUTO));
}

TEST_F(mount_table_test, host_name_set_only_when_it_fits) {
    mount_folder(ip("192.0.2.1"), at("share"), exp);
    const uint32_t ref = mount_table_snapshot()[0].fixed.self_ref;
    EXPECT_TRUE(mount_set_host_name(ref, "client.example"));
    EXPECT_STREQ(mount_table_snapshot()[0].fixed.host_name, "client.example");
    const std::string long_name(512, 'n');
    EXPECT_FALSE(mount_set_host_name(ref, long_name.c_str()));
    EXPECT_FALSE(mount_set_host_name(ref + 7, "other"));
    EXPECT_STREQ(mount_table_snapshot()[0].fixed.host_name, "client.example");
}

// ---- reverse name lookups -----------------------------------------------------------------

namespace {

std::atomic<int> g_calls{0};
plat_event* g_release = nullptr;

bool blocking_resolver(uint32_t address, char* out, size_t size) {
    g_calls.fetch_add(1);
    event_wait(g_release, 10000);
    const unsigned char* b = reinterpret_cast<const unsigned char*>(&address);
    std::snprintf(out, size, "host-%u", unsigned(b[3]));
    return true;
}

bool wait_for_lookups_to_end() {
    for (int i = 0; i < 1000 && mount_lookups_running() != 0; ++i) sleep_ms(10);
    return mount_lookups_running() == 0;
}

}  // namespace

TEST_F(mount_table_test, lookups_are_bounded_and_never_repeated) {
    g_calls = 0;
    g_release = event_create(true, false);
    mount_set_name_resolver(blocking_resolver);
    for (int i = 1; i <= 10; ++i) {
        char client[32];
        std::snprintf(client, sizeof client, "192.0.2.%d", i);
        mount_folder(ip(client), at("share"), exp);
    }
    // A flood of repeated mounts of the same entries starts nothing more.
    for (int round = 0; round < 20; ++round) mount_folder(ip("192.0.2.1"), at("share"), exp);
    EXPECT_LE(mount_lookups_running(), kMountMaxLookups);
    for (int i = 0; i < 500 && g_calls.load() < kMountMaxLookups; ++i) sleep_ms(10);
    EXPECT_EQ(g_calls.load(), kMountMaxLookups);
    event_set(g_release);
    ASSERT_TRUE(wait_for_lookups_to_end());
    EXPECT_EQ(g_calls.load(), kMountMaxLookups);

    size_t named = 0;
    for (const auto& e : mount_table_snapshot()) {
        if (e.fixed.host_name[0] == 0) continue;
        ++named;
        const unsigned char* b = reinterpret_cast<const unsigned char*>(&e.fixed.client_address);
        EXPECT_EQ(std::string(e.fixed.host_name), "host-" + std::to_string(b[3]));
    }
    EXPECT_EQ(named, size_t(kMountMaxLookups));

    // Remounting a named entry asks nothing; an unnamed one gets its turn.
    const int before = g_calls.load();
    for (const auto& e : mount_table_snapshot()) {
        if (e.fixed.host_name[0] == 0) continue;
        mount_folder(e.fixed.client_address, at("share"), exp);
    }
    EXPECT_TRUE(wait_for_lookups_to_end());
    EXPECT_EQ(g_calls.load(), before);
    mount_folder(ip("192.0.2.10"), at("share"), exp);
    EXPECT_TRUE(wait_for_lookups_to_end());
    bool ten_named = false;
    for (const auto& e : mount_table_snapshot())
        if (e.fixed.client_address == ip("192.0.2.10")) ten_named = std::string(e.fixed.host_name) == "host-10";
    EXPECT_EQ(g_calls.load(), before + 1);
    EXPECT_TRUE(ten_named);
    mount_set_name_resolver(nullptr);
    event_close(g_release);
    g_release = nullptr;
}

TEST_F(mount_table_test, a_lookup_for_a_removed_entry_is_dropped) {
    g_calls = 0;
    g_release = event_create(true, false);
    mount_set_name_resolver(blocking_resolver);
    mount_folder(ip("192.0.2.1"), at("share"), exp);
    for (int i = 0; i < 500 && g_calls.load() < 1; ++i) sleep_ms(10);
    ASSERT_EQ(mount_remove_client(ip("192.0.2.1")), 1u);
    event_set(g_release);
    EXPECT_TRUE(wait_for_lookups_to_end());
    EXPECT_EQ(mount_table_size(), 0u);
    mount_set_name_resolver(nullptr);
    event_close(g_release);
    g_release = nullptr;
}

TEST_F(mount_table_test, the_folder_must_be_an_existing_directory) {
    make_file("share\\plain", "x");
    uint64_t identity = 7;
    EXPECT_EQ(mount_folder_identity(at("share\\plain").c_str(), exp->fixed.mount_flags, &identity),
              uint32_t(MOUNT_FOLDER_NOT_DIRECTORY));
    EXPECT_EQ(identity, 0u);
    EXPECT_EQ(mount_folder_identity(at("share\\none").c_str(), exp->fixed.mount_flags, &identity),
              uint32_t(MOUNT_FOLDER_MISSING));
    ASSERT_EQ(mount_folder_identity(at("share\\a").c_str(), exp->fixed.mount_flags & ~MOUNT_FLAG_FILE_ID, &identity),
              uint32_t(MOUNT_FOLDER_OK));
    EXPECT_EQ(identity, inode_of_path(at("share\\a").c_str())) << "inode mode: the folder's inode number";
    uint64_t file_id = 0;
    ASSERT_EQ(mount_folder_identity(at("share\\a").c_str(), MOUNT_FLAG_FILE_ID, &file_id), uint32_t(MOUNT_FOLDER_OK));
    uint64_t again = 0;
    ASSERT_EQ(mount_folder_identity(at("share\\a").c_str(), MOUNT_FLAG_FILE_ID, &again), uint32_t(MOUNT_FOLDER_OK));
    EXPECT_EQ(file_id, again) << "file-id mode: the volume's id of the folder, stable";
    uint64_t other = 0;
    ASSERT_EQ(mount_folder_identity(at("share\\b").c_str(), MOUNT_FLAG_FILE_ID, &other), uint32_t(MOUNT_FOLDER_OK));
    EXPECT_NE(file_id, other);
}

TEST_F(mount_table_test, entries_are_bounded_per_client_and_in_all) {
    make_dir("share\\c");
    const uint32_t saved_per_client = g_settings.mounts_per_client, saved_total = g_settings.mounts_max;
    g_settings.mounts_per_client = 2;
    g_settings.mounts_max = 3;
    const uint32_t a = ip("192.0.2.1"), b = ip("192.0.2.2");
    EXPECT_NE(mount_folder(a, at("share\\a"), exp), 0u);
    EXPECT_NE(mount_folder(a, at("share\\b"), exp), 0u);
    mount_request more{a, at("share\\c"), exp, 1};
    EXPECT_EQ(mount_record(more, nullptr), MOUNT_RECORD_FULL) << "a third folder of one client";
    EXPECT_NE(mount_folder(a, at("share\\a"), exp), 0u) << "a mount already held is refreshed";
    EXPECT_NE(mount_folder(b, at("share\\a"), exp), 0u) << "another client still mounts";
    more.client = b;
    EXPECT_EQ(mount_record(more, nullptr), MOUNT_RECORD_FULL) << "the whole table is full";
    EXPECT_EQ(mount_table_size(), 3u);
    g_settings.mounts_per_client = saved_per_client;
    g_settings.mounts_max = saved_total;
}
