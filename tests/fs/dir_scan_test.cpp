// Directory listings through the scan slots: cookies, resuming, the slot
// table's limits and time-out, the purge after a full listing, and the
// checks of open_directory.
#include "tests/support/fs_calls.h"
#include "tests/support/file_tree.h"
#include "platform/thread.h"
#include "quen/config/settings.h"
#include "quen/fs/dir_scan.h"
#include "quen/fs/dir_scan_table.h"
#include "quen/fs/nfs_status.h"
#include "quen/inode/inode_tree.h"
#include "tests/mount/mount_test_env.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <vector>

namespace {

uint32_t slot_of(uint32_t cookie) { return cookie & 63; }
uint32_t position_of(uint32_t cookie) { return cookie >> 6; }

struct dir_scan_test : mount_test {
    uint32_t share_mount = 0, lower_mount = 0, closed_mount = 0;
    int32_t saved_bits = 0, saved_timeout = 0;
    const uint32_t client = ip("192.0.2.7");

    void SetUp() override {
        mount_test::SetUp();
        if (HasFatalFailure()) return;
        saved_bits = g_settings.dir_bits;
        saved_timeout = g_settings.dir_timeout;
        g_settings.dir_bits = 6;
        g_settings.dir_timeout = 5000;
        dir_scan_init();
        make_dir("share");
        make_file("share\\a.txt", "a");
        make_file("share\\b.txt", "b");
        make_dir("share\\sub");
        make_file("share\\sub\\inner", "");
        make_dir("share\\lower");
        make_file("share\\lower\\MiXed.TXT", "");
        make_dir("closed");
        load_exports("@\\share -ci\n@\\share\\lower -ci -lowercase\n@\\closed -ci -uid:500:500 -umask:077\n");
        share_mount = mount_folder(client, export_at(0)->folder, export_at(0));
        lower_mount = mount_folder(client, export_at(1)->folder, export_at(1));
        closed_mount = mount_folder(client, export_at(2)->folder, export_at(2));
        ASSERT_TRUE(share_mount && lower_mount && closed_mount);
    }
    void TearDown() override {
        dir_scan_close_all();
        g_settings.dir_bits = saved_bits;
        g_settings.dir_timeout = saved_timeout;
        mount_test::TearDown();
    }

    internal_handle handle_of(const std::string& relative, uint32_t mount) {
        const uint32_t inode = inode_of_path(at(relative).c_str());
        EXPECT_NE(inode, 0u) << relative;
        return handle_make(inode, 0, mount);
    }
    std::unique_ptr<open_dir> open(const std::string& relative, uint32_t mount) {
        auto d = std::make_unique<open_dir>();
        EXPECT_EQ(open_directory(handle_of(relative, mount), user(1000, 1000), true, *d), uint32_t(NFS_OK));
        return d;
    }
    int next(const open_dir& d, uint32_t cookie, dir_entry* e, uint32_t who = 0) {
        return dir_scan_next(who ? who : client, d.ctx, d.mount_id, d.path, d.identity, d.parent, cookie, e);
    }
    // Reads from cookie on until the end (or max entries); *last the final result.
    std::vector<dir_entry> read(const open_dir& d, uint32_t cookie, size_t max = 100000, int* last = nullptr) {
        std::vector<dir_entry> out;
        dir_entry e;
        int r = 1;
        while (out.size() < max && (r = next(d, cookie, &e)) == 1) {
            out.push_back(e);
            cookie = e.cookie;
        }
        if (last) *last = r;
        return out;
    }
    // The names in the order given, the search's own (after "." and "..")
    // sorted: Wine lists in the host's order, Windows in its own.
    static std::vector<std::string> names(const std::vector<dir_entry>& v) {
        std::vector<std::string> n;
        for (const auto& e : v) n.push_back(e.name);
        if (n.size() > 2) std::sort(n.begin() + 2, n.end());
        return n;
    }
};

TEST_F(dir_scan_test, a_first_scan_gives_dot_dotdot_then_the_entries) {
    auto d = open("share", share_mount);
    int last = 1;
    const auto all = read(*d, 0, 100, &last);
    EXPECT_EQ(last, 0);
    ASSERT_EQ(all.size(), 6u);
    EXPECT_STREQ(all[0].name, ".");
    EXPECT_EQ(all[0].inode, d->identity);
    EXPECT_EQ(position_of(all[0].cookie), 1u);
    EXPECT_STREQ(all[1].name, "..");
    // The export root's ".." is the root itself: the folder above is not exported.
    EXPECT_EQ(all[1].inode, d->identity);
    EXPECT_EQ(position_of(all[1].cookie), 2u);
    EXPECT_EQ(names(all), (std::vector<std::string>{".", "..", "a.txt", "b.txt", "lower", "sub"}));
    for (size_t i = 2; i < all.size(); ++i) {
        EXPECT_EQ(position_of(all[i].cookie), i + 1);
        EXPECT_EQ(slot_of(all[i].cookie), slot_of(all[0].cookie));
        EXPECT_EQ(all[i].inode, inode_lookup(uint32_t(d->identity), all[i].name, std::strlen(all[i].name)));
        EXPECT_EQ(all[i].mount_id, share_mount);
    }
    EXPECT_EQ(dir_scan_open_searches(), 0) << "the end closes the search";
}

// Windows before 7 knows neither the basic search level nor large fetches.
TEST_F(dir_scan_test, systems_before_windows_7_list_with_the_standard_level) {
    SKIP_ON_WINE("the version is the system's own");
    static char forced[3][40] = {"TERVALO_WINDOWS_VERSION=5.1", "TERVALO_WINDOWS_VERSION=6.0",
                                 "TERVALO_WINDOWS_VERSION=6.1"};
    for (char* setting : forced) {
        const char* version = setting + 24;
        putenv(setting);
        auto d = open("share", share_mount);
        int last = 1;
        EXPECT_EQ(names(read(*d, 0, 100, &last)), (std::vector<std::string>{".", "..", "a.txt", "b.txt", "lower", "sub"}))
            << version;
        EXPECT_EQ(last, 0) << version;
    }
    static char cleared[] = "TERVALO_WINDOWS_VERSION=";
    putenv(cleared);
}

TEST_F(dir_scan_test, a_large_directory_read_in_small_pieces_loses_and_repeats_nothing) {
    make_dir("share\\many");
    for (int i = 0; i < 300; ++i) make_file("share\\many\\f" + std::to_string(i), "");
    auto d = open("share\\many", share_mount);
    std::vector<std::string> got;
    uint32_t cookie = 0;
    int r = 1;
    for (int request = 0; request < 1000 && r == 1; ++request) {
        // Seven entries are fetched, six fit: the seventh comes again next time.
        dir_entry e;
        for (int i = 0; i < 7 && (r = next(*d, cookie, &e)) == 1; ++i) {
            if (i == 6) break;
            got.push_back(e.name);
            cookie = e.cookie;
        }
    }
    EXPECT_EQ(r, 0);
    ASSERT_EQ(got.size(), 302u);
    const std::set<std::string> unique(got.begin(), got.end());
    EXPECT_EQ(unique.size(), 302u) << "no entry twice";
    EXPECT_TRUE(unique.count("f0") && unique.count("f299"));
}

// In a folder whose path is near the limit, the long names are not listed
// (their paths would not fit); a listing resumed by skipping must count
// only the names it hands out.
TEST_F(dir_scan_test, a_resumed_listing_skips_only_the_entries_it_hands_out) {
    // The names are made in a short folder, which then moves to the deep place.
    make_dir("share\\p");
    std::set<std::string> listed{".", ".."};
    for (char c = 'a'; c < 'k'; c += 2) {
        make_file("share\\p\\" + std::string(1, c), "");
        listed.insert(std::string(1, c));
        make_file("share\\p\\" + std::string(1, char(c + 1)) + std::string(240, 'x'), "");   // its path will be too long
    }
    std::string deep = "share";
    while (at(deep).size() < 1850) {
        deep += "\\" + std::string(150, 'd');
        ASSERT_NO_FATAL_FAILURE(make_dir(deep));
    }
    deep += "\\p";
    ASSERT_TRUE(wp_move_file(at("share\\p").c_str(), at(deep).c_str())) << file_last_error();
    auto d = open(deep, share_mount);
    // Three entries are fetched and one is kept: every request goes back
    // behind the slot's position, so the search starts over and skips.
    std::vector<std::string> got;
    uint32_t cookie = 0;
    int r = 1;
    for (int request = 0; request < 100; ++request) {
        dir_entry first, e;
        if ((r = next(*d, cookie, &first)) != 1) break;
        e = first;
        for (int i = 0; i < 2 && next(*d, e.cookie, &e) == 1; ++i) {
        }
        got.push_back(first.name);
        cookie = first.cookie;
    }
    EXPECT_EQ(r, 0);
    EXPECT_EQ(std::set<std::string>(got.begin(), got.end()), listed);
    EXPECT_EQ(got.size(), listed.size()) << "no entry twice";
}

TEST_F(dir_scan_test, an_older_cookie_restarts_and_a_repeated_one_hands_the_same_entry) {
    auto d = open("share", share_mount);
    const auto first = read(*d, 0, 5);   // up to the third entry of the search
    ASSERT_EQ(first.size(), 5u);
    dir_entry again, twice;
    ASSERT_EQ(next(*d, first[3].cookie, &again), 1);
    ASSERT_EQ(next(*d, first[3].cookie, &twice), 1);
    for (const dir_entry* e : {&again, &twice}) {
        EXPECT_STREQ(e->name, first[4].name);
        EXPECT_EQ(e->inode, first[4].inode);
        EXPECT_EQ(e->cookie, first[4].cookie);
    }
    // Back to the first entry of the search: the search starts over.
    dir_entry older;
    ASSERT_EQ(next(*d, first[2].cookie, &older), 1);
    EXPECT_STREQ(older.name, first[3].name);
    EXPECT_EQ(older.cookie, first[3].cookie);
    // Back to ".": ".." follows, then the search from its start.
    const auto from_dot = read(*d, first[0].cookie);
    ASSERT_EQ(from_dot.size(), 5u);
    EXPECT_STREQ(from_dot[0].name, "..");
    EXPECT_STREQ(from_dot[1].name, first[2].name);
}

// A client holds a quarter of the slots; past that, and in a full table,
// the slot idle the longest is given up (the client's own when it holds its
// share), so idle scans never keep a fresh client out.
TEST_F(dir_scan_test, a_client_gets_a_quarter_of_the_table_and_a_full_table_gives_up_its_longest_idle_slot) {
    auto d = open("share", share_mount);
    dir_entry e, first;
    ASSERT_EQ(next(*d, 0, &first), 1);
    for (int i = 1; i < 16; ++i) ASSERT_EQ(next(*d, 0, &e), 1) << i;
    ASSERT_EQ(next(*d, 0, &e), 1) << "a 17th scan of one client";
    EXPECT_EQ(slot_of(e.cookie), slot_of(first.cookie)) << "in the place of its own longest idle scan";
    for (uint32_t host = 8; host < 11; ++host)
        for (int i = 0; i < 16; ++i) ASSERT_EQ(next(*d, 0, &e, ip(("192.0.2." + std::to_string(host)).c_str())), 1);
    ASSERT_EQ(next(*d, 0, &e, ip("192.0.2.11")), 1) << "a fresh client in a full table";
}

// A cookie continues the listing of the client and mount that began it;
// another host, or the same folder through another mount, lists in a slot
// of its own and leaves that listing alone.
TEST_F(dir_scan_test, a_cookie_serves_only_the_client_and_mount_of_its_listing) {
    auto through_share = open("share\\lower", share_mount);
    auto through_lower = open("share\\lower", lower_mount);
    ASSERT_EQ(through_share->identity, through_lower->identity);
    const auto mine = read(*through_share, 0, 3);
    ASSERT_EQ(mine.size(), 3u);
    dir_entry e;
    for (int other = 0; other < 2; ++other) {
        const int r = other ? next(*through_lower, mine[1].cookie, &e)
                            : next(*through_share, mine[1].cookie, &e, ip("192.0.2.8"));
        ASSERT_EQ(r, 1) << other;
        EXPECT_NE(slot_of(e.cookie), slot_of(mine[1].cookie)) << other;
    }
    ASSERT_EQ(next(*through_share, mine[1].cookie, &e), 1) << "the listing itself goes on";
    EXPECT_STREQ(e.name, mine[2].name);
    EXPECT_EQ(e.cookie, mine[2].cookie);
}

TEST_F(dir_scan_test, an_idle_slot_is_taken_over_and_its_old_cookie_lists_on_in_a_slot_of_its_own) {
    auto share = open("share", share_mount);
    const auto mine = read(*share, 0, 4);   // ".", ".." and two entries: the search is open
    ASSERT_EQ(mine.size(), 4u);
    ASSERT_EQ(slot_of(mine[0].cookie), 0u);
    ASSERT_EQ(dir_scan_open_searches(), 1);
    auto sub = open("share\\sub", share_mount);
    dir_entry e;
    g_settings.dir_timeout = 1;
    sleep_ms(50);
    ASSERT_EQ(next(*sub, 0, &e, ip("192.0.2.8")), 1);
    EXPECT_EQ(slot_of(e.cookie), 0u) << "the idle slot is reused";
    EXPECT_EQ(dir_scan_open_searches(), 0) << "its search was closed";
    g_settings.dir_timeout = 5000;
    // The old cookie finds its place again from the start of the directory.
    ASSERT_EQ(next(*share, mine[2].cookie, &e), 1);
    EXPECT_NE(slot_of(e.cookie), 0u);
    EXPECT_STREQ(e.name, mine[3].name);
}

TEST_F(dir_scan_test, the_end_frees_the_slot_and_purges_files_gone_behind_the_server) {
    make_file("share\\sub\\gone", "");
    auto d = open("share\\sub", share_mount);
    EXPECT_EQ(names(read(*d, 0)), (std::vector<std::string>{".", "..", "gone", "inner"}));
    const uint32_t dir_inode = uint32_t(d->identity);
    ASSERT_NE(inode_lookup(dir_inode, "gone", 4), 0u);
    ASSERT_TRUE(wp_delete_file(at("share\\sub\\gone").c_str()));
    const auto again = read(*d, 0);
    EXPECT_EQ(names(again), (std::vector<std::string>{".", "..", "inner"}));
    EXPECT_EQ(slot_of(again[0].cookie), 0u) << "the first listing freed its slot";
    EXPECT_EQ(inode_lookup(dir_inode, "gone", 4), 0u);
    EXPECT_NE(inode_lookup(dir_inode, "inner", 5), 0u);
}

// The stop closes every search, also the one a request still works on: it
// goes when that request ends.
TEST_F(dir_scan_test, a_search_in_use_at_the_stop_is_closed_when_its_request_ends) {
    auto d = open("share", share_mount);
    const auto first = read(*d, 0, 3);   // the search is open
    ASSERT_EQ(first.size(), 3u);
    uint32_t index = 0, position = 0;
    scan_slot* inside = scan_slot_take(client, share_mount, d->identity, first[2].cookie, &index, &position);
    ASSERT_NE(inside, nullptr);
    ASSERT_NE(inside->search, WP_INVALID_FIND_HANDLE);
    dir_scan_close_all();
    scan_slot_release(inside, false);
    EXPECT_EQ(dir_scan_open_searches(), 0);
}

TEST_F(dir_scan_test, made_up_cookies_end_or_resume_without_a_long_skip) {
    auto d = open("share", share_mount);
    dir_entry e;
    const uint32_t far = 5u | (0x3FFFFFFu << 6);   // the largest position
    EXPECT_EQ(next(*d, far, &e), 0);
    EXPECT_EQ(next(*d, 5u | (1000000u << 6), &e), 0) << "the search ends long before";
    EXPECT_EQ(dir_scan_open_searches(), 0);
    // A free slot named by a cookie is scanned from the start.
    ASSERT_EQ(next(*d, 63u | (2u << 6), &e), 1);
    EXPECT_EQ(slot_of(e.cookie), 63u);
    EXPECT_EQ(position_of(e.cookie), 3u);
    dir_scan_close_all();
    EXPECT_EQ(dir_scan_open_searches(), 0) << "stop closes every search";
}

TEST_F(dir_scan_test, open_directory_checks_type_permission_and_handle) {
    open_dir d;
    EXPECT_EQ(open_directory(handle_of("share\\a.txt", share_mount), user(1000, 1000), true, d),
              uint32_t(NFSERR_NOTDIR));
    EXPECT_EQ(open_directory(handle_of("closed", closed_mount), user(1000, 1000), false, d),
              uint32_t(NFSERR_ACCES));
    EXPECT_EQ(open_directory(handle_of("closed", closed_mount), user(500, 500), false, d), uint32_t(NFS_OK));
    EXPECT_EQ(d.attributes.type, uint32_t(NF_DIR));
    EXPECT_EQ(open_directory(handle_of("closed", closed_mount + 1), user(500, 500), true, d),
              uint32_t(NFSERR_STALE))
        << "no such mount";
    EXPECT_EQ(open_directory(handle_of("closed", share_mount), user(500, 500), true, d), uint32_t(NFSERR_STALE))
        << "outside the mount";
    ASSERT_EQ(open_directory(handle_of("share\\sub", share_mount), user(1000, 1000), true, d), uint32_t(NFS_OK));
    EXPECT_EQ(d.parent, inode_of_path(at("share").c_str()));
    EXPECT_EQ(d.attributes.type, uint32_t(NF_DIR));
}

TEST_F(dir_scan_test, a_junction_out_of_the_export_is_not_listed) {
    SKIP_ON_WINE("the volume holds no reparse points");
    make_dir("elsewhere");
    make_link("share\\out", at("elsewhere"), true, true);
    open_dir d;
    EXPECT_EQ(open_directory(handle_of("share\\out", share_mount), user(1000, 1000), true, d), uint32_t(NFSERR_ACCES));
}

TEST_F(dir_scan_test, names_follow_the_encoding_and_the_lowercase_option) {
    make_file("share\\sub\\caf\xc3\xa9", "");
    auto d = open("share\\sub", share_mount);
    std::vector<std::string> n = names(read(*d, 0));
    EXPECT_NE(std::find(n.begin(), n.end(), "caf\xc3\xa9"), n.end());
    // Clients of the ASCII encoding (chosen by the MNT call) never see it.
    d->ctx.name_encoding = NAME_ENCODING_ASCII;
    n = names(read(*d, 0));
    EXPECT_EQ(std::find(n.begin(), n.end(), "caf\xc3\xa9"), n.end());
    EXPECT_NE(std::find(n.begin(), n.end(), "inner"), n.end());

    auto lower = open("share\\lower", lower_mount);
    EXPECT_EQ(names(read(*lower, 0)), (std::vector<std::string>{".", "..", "mixed.txt"}));
    auto same = open("share\\lower", share_mount);
    EXPECT_EQ(names(read(*same, 0)), (std::vector<std::string>{".", "..", "MiXed.TXT"}));
}

// READDIRPLUS answers an entry with the facts its search read instead of
// opening it: they must give what GETATTR of the entry gives.
TEST_F(dir_scan_test, the_facts_a_listing_read_give_what_getattr_gives) {
    make_dir("share\\kinds");
    make_file("share\\kinds\\file", "data");
    make_dir("share\\kinds\\dir");
    make_dir("share\\kinds\\dir\\inner");
    make_file("share\\kinds\\linked", "two names");
    ASSERT_TRUE(wp_create_hard_link(at("share\\kinds\\twin").c_str(), at("share\\kinds\\linked").c_str()));
    const bool wine = running_under_wine();   // its volume holds no reparse points
    if (!wine) make_link("share\\kinds\\link", at("share\\kinds\\file"), false);
    auto d = open("share\\kinds", share_mount);
    const auto all = read(*d, 0);
    ASSERT_EQ(all.size(), wine ? 6u : 7u);
    const auto fields = [](const file_attributes& a) {
        return std::make_tuple(a.type, a.mode, a.nlink, a.uid, a.gid, a.size, a.rdev_major, a.rdev_minor, a.fsid,
                               a.fileid, a.atime.seconds, a.mtime.seconds, a.ctime.seconds);
    };
    for (size_t i = 2; i < all.size(); ++i) {
        const dir_entry& e = all[i];
        // A Windows search record has no link count: there only files that
        // may have several names were opened for it.
        if (!wine) {
            EXPECT_TRUE(e.has_info) << e.name;
        }
        if (!e.has_info) continue;
        const internal_handle h = handle_make(uint32_t(e.inode), uint32_t(e.inode >> 32), share_mount);
        file_attributes listed{}, fetched{};
        ASSERT_EQ(fs_getattr(h, user(1000, 1000), listed, &e.info), uint32_t(NFS_OK)) << e.name;
        ASSERT_EQ(fs_getattr(h, user(1000, 1000), fetched), uint32_t(NFS_OK)) << e.name;
        EXPECT_EQ(fields(listed), fields(fetched)) << e.name;
    }
}

}  // namespace
