// Reads, writes and commits through file handles, and the open-file cache
// that keeps files open between them.
#include "tests/support/fs_calls.h"
#include "tests/support/file_tree.h"
#include "quen/config/settings.h"
#include "quen/fs/file_io.h"
#include "quen/fs/nfs_status.h"
#include "quen/fs/open_cache.h"
#include "quen/fs/remove.h"
#include "quen/fs/rename.h"
#include "quen/inode/inode_tree.h"
#include "quen/nlm/nlm_open.h"
#include "tests/mount/mount_test_env.h"

#include <cstring>
#include <ctime>
#include <string>

namespace {

struct file_io_test : mount_test {
    uint32_t rw_mount = 0;    // "share", read-write
    uint32_t ro_mount = 0;    // "share\docs", read-only
    uint32_t owned_mount = 0; // "owned": files belong to 500:500, mode 0600
    uint32_t open_mount = 0;  // "open": files belong to 500:500, mode 0644
    uint32_t strict_mount = 0; // "open\inner": the same owner, mode 0600
    uint32_t saved_cache = 0;

    void SetUp() override {
        mount_test::SetUp();
        if (HasFatalFailure()) return;
        saved_cache = g_settings.record.cache;
        cache_init(true);
        make_dir("share");
        make_dir("share\\docs");
        make_file("share\\docs\\a.txt", "hello world");
        make_dir("owned");
        make_file("owned\\private", "secret");
        make_dir("open");
        make_file("open\\public", "shared");
        make_dir("open\\inner");
        make_file("open\\inner\\f", "inner");
        load_exports("@\\share -ci\n@\\share\\docs -ci -ro\n@\\owned -ci -uid:500:500 -umask:077\n"
                     "@\\open -ci -uid:500:500\n@\\open\\inner -ci -uid:500:500 -umask:077\n");
        rw_mount = mount_folder(ip("192.0.2.7"), export_at(0)->folder, export_at(0));
        ro_mount = mount_folder(ip("192.0.2.7"), export_at(1)->folder, export_at(1));
        owned_mount = mount_folder(ip("192.0.2.7"), export_at(2)->folder, export_at(2));
        open_mount = mount_folder(ip("192.0.2.7"), export_at(3)->folder, export_at(3));
        strict_mount = mount_folder(ip("192.0.2.7"), export_at(4)->folder, export_at(4));
        ASSERT_TRUE(rw_mount && ro_mount && owned_mount && open_mount && strict_mount);
    }
    void TearDown() override {
        cache_close_all();
        g_settings.record.cache = saved_cache;
        mount_test::TearDown();
    }

    internal_handle handle_of(const std::string& relative, uint32_t mount) {
        const uint32_t inode = inode_of_path(at(relative).c_str());
        EXPECT_NE(inode, 0u) << relative;
        return handle_make(inode, 0, mount);
    }
    uint32_t read(const internal_handle& fh, uint64_t offset, uint32_t count, std::string& out,
                  const fs_credential& cred = user(1000, 1000)) {
        uint8_t buffer[256];
        file_attributes after{};
        uint32_t status = file_read(fh, offset, &count, buffer, cred, after);
        out.assign(reinterpret_cast<char*>(buffer), count);
        return status;
    }
    uint32_t write(const internal_handle& fh, uint64_t offset, const std::string& data, uint32_t sync = WRITE_CACHED,
                   const fs_credential& cred = user(1000, 1000)) {
        uint32_t count = uint32_t(data.size());
        file_attributes before{}, after{};
        uint32_t status = file_write(fh, offset, &count, reinterpret_cast<const uint8_t*>(data.data()), sync, cred,
                                     before, after);
        if (status == NFS_OK) {
            EXPECT_EQ(count, data.size());
        }
        return status;
    }
    // The cached slot of a file, looked up as a request would.
    cache_slot* slot_of(const internal_handle& fh) {
        bucket_guard g(fh.word[HANDLE_WORD_ID_LOW]);
        return slot_of_locked(fh);
    }
    cache_slot* slot_of_locked(const internal_handle& fh) {
        const file_key key{fh.word[HANDLE_WORD_ID_LOW], 0, false};
        wp_handle h = WP_INVALID_HANDLE;
        return cache_find(key, CACHE_READ, &h, nullptr);
    }
};

TEST_F(file_io_test, reads_give_the_data_from_the_offset_and_stop_at_the_end) {
    const internal_handle fh = handle_of("share\\docs\\a.txt", rw_mount);
    std::string got;
    ASSERT_EQ(read(fh, 0, 5, got), uint32_t(NFS_OK));
    EXPECT_EQ(got, "hello");
    ASSERT_EQ(read(fh, 6, 100, got), uint32_t(NFS_OK));
    EXPECT_EQ(got, "world");
    // At or past the end, however far: nothing, and no error.
    for (uint64_t offset : {11ull, 1000ull, (1ull << 63) - 1, (1ull << 63) - 100}) {
        got = "x";
        EXPECT_EQ(read(fh, offset, 100, got), uint32_t(NFS_OK)) << offset;
        EXPECT_EQ(got, "") << offset;
    }
    uint32_t count = 4;
    uint8_t buffer[4];
    file_attributes after{};
    const uint32_t before_read = uint32_t(std::time(nullptr));
    ASSERT_EQ(file_read(fh, 0, &count, buffer, user(1000, 1000), after), uint32_t(NFS_OK));
    EXPECT_EQ(after.size, 11u);
    EXPECT_EQ(after.type, uint32_t(NF_REG));
    EXPECT_GE(after.atime.seconds, before_read);
    EXPECT_EQ(after.atime.nseconds, 0u);
}

TEST_F(file_io_test, bad_targets_give_their_status) {
    std::string got;
    EXPECT_EQ(read(handle_of("share\\docs", rw_mount), 0, 5, got), uint32_t(NFSERR_ISDIR));
    EXPECT_EQ(write(handle_of("share\\docs", rw_mount), 0, "x"), uint32_t(NFSERR_ISDIR));
    file_attributes a{};
    EXPECT_EQ(file_commit(handle_of("share\\docs", rw_mount), user(1000, 1000), a), uint32_t(NFSERR_ISDIR));
    const internal_handle unmounted = handle_of("share\\docs\\a.txt", rw_mount + 1);
    EXPECT_EQ(read(unmounted, 0, 5, got), uint32_t(NFSERR_STALE));
    EXPECT_EQ(write(unmounted, 0, "x"), uint32_t(NFSERR_STALE));
    EXPECT_EQ(file_commit(unmounted, user(1000, 1000), a), uint32_t(NFSERR_STALE));
    // A file deleted behind the server's back.
    const internal_handle gone = handle_of("share\\docs\\a.txt", rw_mount);
    ASSERT_TRUE(wp_delete_file(at("share\\docs\\a.txt").c_str()));
    EXPECT_EQ(read(gone, 0, 5, got), uint32_t(NFSERR_STALE));
    EXPECT_EQ(cache_used_slots(), 0);
}

TEST_F(file_io_test, two_reads_share_one_open_file_until_it_is_idle) {
    const internal_handle fh = handle_of("share\\docs\\a.txt", rw_mount);
    std::string got;
    ASSERT_EQ(read(fh, 0, 5, got), uint32_t(NFS_OK));
    cache_slot* slot = slot_of(fh);
    ASSERT_NE(slot, nullptr);
    const wp_handle first = slot->handle;
    ASSERT_EQ(read(fh, 5, 5, got), uint32_t(NFS_OK));
    ASSERT_EQ(slot_of(fh), slot);
    EXPECT_EQ(slot->handle, first) << "the second read opened the file again";
    EXPECT_EQ(cache_used_slots(), 1);

    const uint32_t used = slot->last_use;
    cache_sweep(used + 1000, 1000, 180000);
    EXPECT_EQ(cache_used_slots(), 1) << "a second of idleness is allowed";
    cache_sweep(used + 1001, 1000, 180000);
    EXPECT_EQ(cache_used_slots(), 0);
}

TEST_F(file_io_test, the_sweeper_closes_idle_files_within_seconds) {
    ASSERT_TRUE(cache_sweeper_start());
    std::string got;
    ASSERT_EQ(read(handle_of("share\\docs\\a.txt", rw_mount), 0, 5, got), uint32_t(NFS_OK));
    EXPECT_EQ(cache_used_slots(), 1);
    for (int waited = 0; cache_used_slots() != 0 && waited < 10000; waited += 50) sleep_ms(50);
    EXPECT_EQ(cache_used_slots(), 0);
    cache_sweeper_stop();
}

TEST_F(file_io_test, slots_holding_locks_stay_open_while_locked_and_commit_only_flushes_them) {
    const internal_handle fh = handle_of("share\\docs\\a.txt", rw_mount);
    ASSERT_EQ(write(fh, 0, "HELLO"), uint32_t(NFS_OK));
    cache_slot* slot = slot_of(fh);
    ASSERT_NE(slot, nullptr);
    slot->lock_count = 1;
    file_attributes a{};
    ASSERT_EQ(file_commit(fh, user(1000, 1000), a), uint32_t(NFS_OK));
    EXPECT_EQ(slot_of(fh), slot) << "a handle with locks is kept";
    EXPECT_EQ(a.size, 11u);
    const uint32_t used = slot->last_use;
    cache_sweep(used + 5000, 1000, 180000);
    EXPECT_EQ(cache_used_slots(), 1);
    // The locks live as long as the handle: idle time alone never ends them.
    cache_sweep(used + 180001, 1000, 180000);
    EXPECT_EQ(cache_used_slots(), 1);
    slot->lock_count = 0;
    cache_sweep(slot->last_use + 180001, 1000, 180000);
    EXPECT_EQ(cache_used_slots(), 0);
    EXPECT_EQ(read_file("share\\docs\\a.txt"), "HELLO world");
}

TEST_F(file_io_test, writes_reach_the_file_in_every_sync_mode) {
    const internal_handle fh = handle_of("share\\docs\\a.txt", rw_mount);
    uint32_t count = 3;
    file_attributes before{}, after{};
    const uint32_t start = uint32_t(std::time(nullptr));
    ASSERT_EQ(file_write(fh, 9, &count, reinterpret_cast<const uint8_t*>("LD!"), WRITE_CACHED, user(1000, 1000),
                         before, after),
              uint32_t(NFS_OK));
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(before.size, 11u);
    EXPECT_EQ(after.size, 12u);
    EXPECT_GE(after.mtime.seconds, start);
    EXPECT_EQ(after.mtime.seconds, after.ctime.seconds);
    ASSERT_NE(slot_of(fh), nullptr);
    EXPECT_EQ(slot_of(fh)->attributes.size, 12u) << "the slot keeps the new record";

    ASSERT_EQ(write(fh, 0, "J", WRITE_FLUSHED), uint32_t(NFS_OK));
    EXPECT_EQ(cache_used_slots(), 1);
    ASSERT_EQ(write(fh, 1, "E", WRITE_CLOSED), uint32_t(NFS_OK));
    EXPECT_EQ(cache_used_slots(), 0) << "sync mode 2 leaves no handle open";
    EXPECT_EQ(read_file("share\\docs\\a.txt"), "JEllo worLD!");

    // A commit of a cached handle without locks closes it.
    ASSERT_EQ(write(fh, 0, "h"), uint32_t(NFS_OK));
    file_attributes a{};
    ASSERT_EQ(file_commit(fh, user(1000, 1000), a), uint32_t(NFS_OK));
    EXPECT_EQ(cache_used_slots(), 0);
    EXPECT_EQ(a.size, 12u);
    ASSERT_EQ(file_commit(fh, user(1000, 1000), a), uint32_t(NFS_OK)) << "nothing cached: the attributes only";
    EXPECT_EQ(a.size, 12u);
}

TEST_F(file_io_test, a_read_handle_is_replaced_by_a_read_write_one_for_a_write) {
    const internal_handle fh = handle_of("share\\docs\\a.txt", rw_mount);
    std::string got;
    ASSERT_EQ(read(fh, 0, 1, got), uint32_t(NFS_OK));
    ASSERT_EQ(slot_of(fh)->access_mode, CACHE_READ);
    ASSERT_EQ(write(fh, 0, "Y"), uint32_t(NFS_OK));
    ASSERT_NE(slot_of(fh), nullptr);
    EXPECT_EQ(slot_of(fh)->access_mode, CACHE_READ_WRITE);
    EXPECT_EQ(cache_used_slots(), 1);
    ASSERT_EQ(read(fh, 0, 5, got), uint32_t(NFS_OK)) << "a read-write handle serves reads";
    EXPECT_EQ(got, "Yello");
}

TEST_F(file_io_test, a_write_leaves_a_read_handle_holding_locks_as_it_is) {
    // Windows locks belong to the handle: closing it, or writing through a
    // second one, would leave the client holding locks nothing enforces.
    const internal_handle fh = handle_of("share\\docs\\a.txt", rw_mount);
    std::string got;
    ASSERT_EQ(read(fh, 0, 1, got), uint32_t(NFS_OK));
    cache_slot* slot = slot_of(fh);
    ASSERT_NE(slot, nullptr);
    slot->lock_count = 1;
    const wp_handle held = slot->handle;
    EXPECT_EQ(write(fh, 0, "Y"), uint32_t(NFSERR_ACCES));
    EXPECT_EQ(cache_used_slots(), 1);
    EXPECT_EQ(slot->handle, held);
    EXPECT_EQ(slot->lock_count, 1u);
    EXPECT_EQ(slot->access_mode, CACHE_READ);
    EXPECT_EQ(read_file("share\\docs\\a.txt"), "hello world");
    slot->lock_count = 0;
}

TEST_F(file_io_test, a_lock_takes_over_the_read_handle_slot_of_its_file) {
    // A second slot of the file would split its locks from its writes.
    const internal_handle fh = handle_of("share\\docs\\a.txt", rw_mount);
    std::string got;
    ASSERT_EQ(read(fh, 0, 1, got), uint32_t(NFS_OK));
    cache_slot* slot = slot_of(fh);
    ASSERT_NE(slot, nullptr);
    static resolved_file r;
    ASSERT_EQ(fs_request_open(fh, user(1000, 1000), fs_calls::kSender, r), uint32_t(NFS_OK));
    r.path[0] = 0;
    bucket_guard g(r.identity);
    uint32_t status = 0;
    EXPECT_EQ(nlm_open_file(r, true, &status), slot);
    EXPECT_EQ(slot->access_mode, CACHE_READ_WRITE);
    EXPECT_EQ(cache_used_slots(), 1);
}

TEST_F(file_io_test, a_file_whose_last_name_goes_takes_its_slot_and_locks_along) {
    // Its handle goes stale: nothing could ever unlock them or free the slot.
    SKIP_ON_WINE("Windows refuses to remove a file that the server holds open (the locks stay)");
    static int released = 0;
    cache_set_lock_release([](cache_slot*) { ++released; });
    const internal_handle fh = handle_of("share\\docs\\a.txt", rw_mount);
    ASSERT_EQ(write(fh, 0, "H"), uint32_t(NFS_OK));
    ASSERT_NE(slot_of(fh), nullptr);
    slot_of(fh)->lock_count = 1;
    dir_attributes_pair dir{};
    EXPECT_EQ(fs_remove(handle_of("share\\docs", rw_mount), "a.txt", 5, user(1000, 1000), false, dir),
              uint32_t(NFS_OK));
    EXPECT_EQ(cache_used_slots(), 0);
    EXPECT_EQ(released, 1);
    cache_close_all();
    cache_set_lock_release(nullptr);
}

// A file that is open cannot be replaced, and locks live as long as the
// handle that holds them: a rename onto a file whose slot holds locks is
// refused, and the file keeps its data, its slot and its locks.
TEST_F(file_io_test, a_rename_cannot_replace_a_file_whose_slot_holds_locks) {
    make_file("share\\docs\\b.txt", "other");
    const internal_handle fh = handle_of("share\\docs\\a.txt", rw_mount);
    ASSERT_EQ(write(fh, 0, "H"), uint32_t(NFS_OK));
    ASSERT_NE(slot_of(fh), nullptr);
    slot_of(fh)->lock_count = 1;
    const internal_handle docs = handle_of("share\\docs", rw_mount);
    rename_result moved{};
    EXPECT_EQ(fs_rename(docs, "b.txt", 5, docs, "a.txt", 5, user(1000, 1000), false, moved), uint32_t(NFSERR_ACCES));
    EXPECT_EQ(cache_used_slots(), 1);
    EXPECT_EQ(read_file("share\\docs\\a.txt"), "Hello world");
    cache_close_all();
}

TEST_F(file_io_test, a_read_only_export_refuses_writes_even_through_a_cached_handle) {
    // The same file through the read-write parent export, then through the
    // read-only export of its folder.
    ASSERT_EQ(write(handle_of("share\\docs\\a.txt", rw_mount), 0, "H"), uint32_t(NFS_OK));
    ASSERT_EQ(cache_used_slots(), 1);
    const internal_handle ro = handle_of("share\\docs\\a.txt", ro_mount);
    EXPECT_EQ(write(ro, 0, "X"), uint32_t(NFSERR_ROFS));
    cache_close_all();
    EXPECT_EQ(write(ro, 0, "X"), uint32_t(NFSERR_ROFS));
    file_attributes a{};
    EXPECT_EQ(file_commit(ro, user(1000, 1000), a), uint32_t(NFSERR_ROFS));
    std::string got;
    EXPECT_EQ(read(ro, 0, 5, got), uint32_t(NFS_OK));
    EXPECT_EQ(read_file("share\\docs\\a.txt"), "Hello world");
}

TEST_F(file_io_test, the_owner_may_write_a_read_only_file_which_stays_read_only) {
    const std::string path = at("share\\docs\\a.txt");
    ASSERT_TRUE(wp_set_file_attributes(path.c_str(), WP_FILE_ATTRIBUTE_READONLY));
    const internal_handle fh = handle_of("share\\docs\\a.txt", rw_mount);
    // Files without a UNIX owner belong to whoever asks.
    ASSERT_EQ(write(fh, 0, "J", WRITE_CLOSED), uint32_t(NFS_OK));
    EXPECT_EQ(read_file("share\\docs\\a.txt"), "Jello world");
    const uint32_t attributes = wp_get_file_attributes(path.c_str());
    EXPECT_TRUE(attributes & WP_FILE_ATTRIBUTE_READONLY);
    wp_set_file_attributes(path.c_str(), WP_FILE_ATTRIBUTE_NORMAL);
}

TEST_F(file_io_test, callers_without_the_mode_bits_are_refused_cached_or_not) {
    const internal_handle secret = handle_of("owned\\private", owned_mount);
    std::string got;

    EXPECT_EQ(read(secret, 0, 6, got, user(1000, 1000)), uint32_t(NFSERR_ACCES));
    ASSERT_EQ(read(secret, 0, 6, got, user(500, 500)), uint32_t(NFS_OK));
    EXPECT_EQ(got, "secret");
    ASSERT_EQ(cache_used_slots(), 1);
    EXPECT_EQ(read(secret, 0, 6, got, user(1000, 1000)), uint32_t(NFSERR_ACCES)) << "cached";
    EXPECT_EQ(read(secret, 0, 6, got, user(0, 0)), uint32_t(NFSERR_ACCES)) << "root is squashed, also when cached";

    // Others read "public" but may not write it.
    const internal_handle shared = handle_of("open\\public", open_mount);
    EXPECT_EQ(read(shared, 0, 6, got, user(1000, 1000)), uint32_t(NFS_OK));
    EXPECT_EQ(write(shared, 0, "X", WRITE_CACHED, user(1000, 1000)), uint32_t(NFSERR_ACCES));
    ASSERT_EQ(write(shared, 0, "S", WRITE_CACHED, user(500, 500)), uint32_t(NFS_OK));
    EXPECT_EQ(write(shared, 0, "X", WRITE_CACHED, user(1000, 1000)), uint32_t(NFSERR_ACCES)) << "cached";
    EXPECT_EQ(read_file("open\\public"), "Shared");
}

// A handle made of one export's mount and the inode number of a file in
// another names nothing, whether that file is cached or not.
TEST_F(file_io_test, a_cached_file_of_another_export_is_stale_through_a_forged_handle) {
    std::string got;
    ASSERT_EQ(read(handle_of("owned\\private", owned_mount), 0, 6, got, user(500, 500)), uint32_t(NFS_OK));
    const internal_handle forged = handle_of("owned\\private", rw_mount);
    file_attributes a{};
    for (bool cached : {true, false}) {
        if (!cached) cache_close_all();
        EXPECT_EQ(read(forged, 0, 6, got, user(500, 500)), uint32_t(NFSERR_STALE)) << cached;
        EXPECT_EQ(write(forged, 0, "X", WRITE_CACHED, user(500, 500)), uint32_t(NFSERR_STALE)) << cached;
        EXPECT_EQ(file_commit(forged, user(500, 500), a), uint32_t(NFSERR_STALE)) << cached;
    }
    EXPECT_EQ(read_file("owned\\private"), "secret");
}

TEST_F(file_io_test, a_slot_opened_through_one_export_does_not_serve_a_stricter_one) {
    std::string got;
    ASSERT_EQ(read(handle_of("open\\inner\\f", open_mount), 0, 5, got), uint32_t(NFS_OK));
    EXPECT_EQ(read(handle_of("open\\inner\\f", strict_mount), 0, 5, got), uint32_t(NFSERR_ACCES));
}

TEST_F(file_io_test, a_commit_through_a_read_only_export_leaves_another_exports_slot) {
    const internal_handle fh = handle_of("share\\docs\\a.txt", rw_mount);
    ASSERT_EQ(write(fh, 0, "H"), uint32_t(NFS_OK));
    file_attributes a{};
    EXPECT_EQ(file_commit(handle_of("share\\docs\\a.txt", ro_mount), user(1000, 1000), a), uint32_t(NFSERR_ROFS));
    EXPECT_NE(slot_of(fh), nullptr);
}

// A link in the export whose target lies outside it is not followed.
TEST_F(file_io_test, reads_and_writes_of_a_link_are_invalid_and_reach_no_target) {
    SKIP_ON_WINE("the volume holds no reparse points");
    make_link("share\\out", at("owned\\private"), false);
    const internal_handle fh = handle_of("share\\out", rw_mount);
    std::string got;
    EXPECT_EQ(read(fh, 0, 6, got), uint32_t(NFSERR_INVAL));
    EXPECT_EQ(got, "");
    EXPECT_EQ(write(fh, 0, "X"), uint32_t(NFSERR_INVAL));
    EXPECT_EQ(read_file("owned\\private"), "secret");
}

// COMMIT promises the data is on stable storage: a flush that fails is an
// I/O error, not success.
TEST_F(file_io_test, a_commit_whose_flush_fails_is_an_io_error) {
    const internal_handle fh = handle_of("share\\docs\\a.txt", rw_mount);
    std::string got;
    ASSERT_EQ(read(fh, 0, 1, got), uint32_t(NFS_OK));
    {
        // A slot whose handle cannot be flushed: opened for reading only.
        bucket_guard g(fh.word[HANDLE_WORD_ID_LOW]);
        cache_slot* slot = slot_of_locked(fh);
        ASSERT_NE(slot, nullptr);
        slot->access_mode = CACHE_READ_WRITE;
    }
    file_attributes a{};
    EXPECT_EQ(file_commit(fh, user(1000, 1000), a), uint32_t(NFSERR_IO));
}

TEST_F(file_io_test, without_the_cache_every_request_opens_and_closes_the_file) {
    cache_init(false);
    const internal_handle fh = handle_of("share\\docs\\a.txt", rw_mount);
    std::string got;
    ASSERT_EQ(read(fh, 0, 5, got), uint32_t(NFS_OK));
    EXPECT_EQ(cache_used_slots(), 0);
    ASSERT_EQ(write(fh, 0, "J", WRITE_FLUSHED), uint32_t(NFS_OK));
    EXPECT_EQ(cache_used_slots(), 0);
    EXPECT_EQ(read_file("share\\docs\\a.txt"), "Jello world");
    file_attributes a{};
    EXPECT_EQ(file_commit(fh, user(1000, 1000), a), uint32_t(NFS_OK));
    cache_init(true);
}

TEST(open_cache_test, files_of_different_volumes_with_one_number_do_not_share_a_slot) {
    cache_init(true);
    // Inode numbers, and file ids of two volumes, all 77: three files.
    const file_key inode{77, 0, false}, id_a{77, 0xA, true}, id_b{77, 0xB, true};
    bucket_guard g(77);
    wp_handle fake[3] = {WP_INVALID_HANDLE, WP_INVALID_HANDLE, WP_INVALID_HANDLE};
    ASSERT_NE(cache_insert(inode, fake[0], CACHE_READ), nullptr);
    ASSERT_NE(cache_insert(id_a, fake[1], CACHE_READ), nullptr);
    cache_slot* a = nullptr;
    wp_handle h;
    EXPECT_EQ(cache_find(id_b, CACHE_READ, &h, nullptr), nullptr);
    a = cache_find(id_a, CACHE_READ, &h, nullptr);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->key.volume_serial, 0xAu);
    cache_drop(inode);
    EXPECT_NE(cache_find(id_a, CACHE_READ, &h, nullptr), nullptr) << "dropping one left the other";
    EXPECT_EQ(cache_find(inode, CACHE_READ, &h, nullptr), nullptr);
    // A full bucket takes no more.
    for (int i = 1; i < kSlotsPerBucket; ++i) EXPECT_NE(cache_insert(file_key{77, uint32_t(i), true}, fake[2], CACHE_READ), nullptr);
    EXPECT_EQ(cache_insert(file_key{77, 99, true}, fake[2], CACHE_READ), nullptr);
    cache_close_all();
    EXPECT_EQ(cache_used_slots(), 0);
    EXPECT_EQ(cache_insert(file_key{0, 0, false}, fake[2], CACHE_READ), nullptr) << "0 names no file";
}

}  // namespace
