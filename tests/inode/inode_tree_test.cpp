// The tree of names: lookups, names of every size, paths, deletion, rename,
// and dropping records of vanished files.
#include "tests/inode/inode_test_env.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>

namespace {

struct tree : inode_test {
    void SetUp() override {
        inode_test::SetUp();
        ASSERT_TRUE(open_table(256));
        top = inode_of_path("C:");
        ASSERT_NE(top, 0u);
    }
    uint32_t top = 0;
};

TEST_F(tree, ReadmeAndREADMEAreOneRecordWithTheFirstCase) {
    const uint32_t a = enter(top, "Readme");
    EXPECT_EQ(enter(top, "README"), a);
    EXPECT_EQ(lookup(top, "readme"), a);
    EXPECT_EQ(path_of(a), "C:\\Readme");
    EXPECT_EQ(lookup(top, "Readme2"), 0u);
    EXPECT_EQ(lookup(top, "."), top);
}

TEST_F(tree, NamesOfEverySizeTakeTheirBlocks) {
    struct { size_t length, blocks; } cases[] = {{16, 0}, {17, 1}, {40, 1}, {41, 2}, {511, 18}, {600, 18}};
    for (auto c : cases) {
        const std::string name(c.length, char('a' + c.length % 26));
        const uint32_t before = free_bytes();
        const uint32_t n = enter(top, name);
        ASSERT_NE(n, 0u) << c.length;
        EXPECT_EQ(before - free_bytes(), 32 * (1 + c.blocks)) << c.length;
        const std::string stored = name.substr(0, 511);
        EXPECT_EQ(path_of(n), "C:\\" + stored);
        EXPECT_EQ(lookup(top, name), n);
        EXPECT_EQ(lookup(top, stored), n);
        EXPECT_TRUE(inode_delete(n));
        EXPECT_EQ(free_bytes(), before) << c.length;
    }
}

TEST_F(tree, PathsWithDotsAndSeparators) {
    EXPECT_EQ(inode_of_path("C:\\a\\..\\b"), 0u);
    const uint32_t b = inode_of_path("C:\\a\\b");
    ASSERT_NE(b, 0u);
    EXPECT_EQ(inode_of_path("C:\\a\\.\\b"), b);
    EXPECT_EQ(inode_of_path("C:\\a\\b\\"), b);
    EXPECT_EQ(inode_of_path("C:/a//b"), b);
    EXPECT_EQ(inode_of_path("c:\\A\\B"), b);
    EXPECT_EQ(path_of(b), "C:\\a\\b");
    EXPECT_EQ(path_of(top), "C:\\");
    EXPECT_EQ(inode_of_path("C:\\"), top);
    EXPECT_EQ(inode_parent(b), inode_of_path("C:\\a"));
    EXPECT_EQ(inode_parent(top), 0u);
    EXPECT_EQ(inode_of_path(""), 0u);
    const uint32_t unc = inode_of_path("\\\\server\\share\\x");
    EXPECT_EQ(path_of(unc), "\\\\server\\share\\x");
    const uint32_t lp = inode_of_path("//?/C:/long");
    EXPECT_EQ(path_of(lp), "\\\\?\\C:\\long");
    EXPECT_NE(inode_parent(lp), top);
}

TEST_F(tree, SixtyFiveLevelsCannotBeRebuilt) {
    uint32_t d = top;
    std::string expect = "C:";
    for (int level = 1; level <= 65; ++level) {
        d = enter(d, "d");
        ASSERT_NE(d, 0u);
        expect += "\\d";
        if (level == 64) {
            EXPECT_EQ(path_of(d), expect);
        }
    }
    EXPECT_EQ(path_of(d), "");
}

TEST_F(tree, APathOf2048BytesIsTooLong) {
    uint32_t d = top;
    for (int i = 0; i < 4; ++i) d = enter(d, std::string(500, char('a' + i)));
    EXPECT_EQ(path_of(d).size(), 2u + 4 * 501);
    EXPECT_EQ(path_of(enter(d, std::string(41, 'z'))), "");   // 2006 + 1 + 41 = 2048
    EXPECT_EQ(path_of(enter(d, std::string(40, 'y'))).size(), 2047u);
}

TEST_F(tree, ChildListsAreSortedWithoutRegardToCase) {
    const std::vector<std::string> sorted = {"_x", "A", "aa", "Alpha", "b", "B2", "c", "zeta", "\xc3\xa9t\xc3\xa9"};
    std::vector<std::string> shuffled = sorted;
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(3));
    const std::vector<std::string> orders[] = {shuffled, sorted, {sorted.rbegin(), sorted.rend()}};
    for (size_t k = 0; k < std::size(orders); ++k) {
        const uint32_t dir = enter(top, "order" + std::to_string(k));
        for (auto& n : orders[k]) ASSERT_NE(enter(dir, n), 0u) << k;
        EXPECT_EQ(child_names(dir), sorted) << k;
        for (auto& n : sorted) EXPECT_NE(lookup(dir, n), 0u) << k << n;
    }
}

TEST_F(tree, RenameKeepsTheNumberAndTheOrder) {
    const uint32_t a = enter(top, "a"), b = enter(top, "b"), c = enter(top, "c");
    ASSERT_TRUE(inode_rename(b, top, top, "b", 1, "z", 1));
    EXPECT_EQ(child_names(top), (std::vector<std::string>{"a", "c", "z"}));
    EXPECT_EQ(lookup(top, "z"), b);
    EXPECT_EQ(path_of(b), "C:\\z");
    // Over an existing name: the old record goes.
    ASSERT_TRUE(inode_rename(b, top, top, "z", 1, "c", 1));
    EXPECT_EQ(child_names(top), (std::vector<std::string>{"a", "c"}));
    EXPECT_EQ(lookup(top, "c"), b);
    EXPECT_EQ(path_of(c), "");
    // A change of case alone keeps the stored name.
    ASSERT_TRUE(inode_rename(b, top, top, "c", 1, "C", 1));
    EXPECT_EQ(child_names(top), (std::vector<std::string>{"a", "c"}));
    // Into another directory, with a long name.
    const uint32_t d = enter(top, "d");
    const std::string lng(100, 'q');
    ASSERT_TRUE(inode_rename(a, top, d, "a", 1, lng.c_str(), lng.size()));
    EXPECT_EQ(path_of(a), "C:\\d\\" + lng);
    EXPECT_EQ(child_names(top), (std::vector<std::string>{"c", "d"}));
    EXPECT_EQ(inode_parent(a), d);
    // Not into itself or below itself, and not over its own ancestor.
    const uint32_t e = enter(a, "e");
    EXPECT_FALSE(inode_rename(d, top, e, "d", 1, "x", 1));
    EXPECT_FALSE(inode_rename(e, a, top, "e", 1, "d", 1));
    EXPECT_EQ(path_of(e), "C:\\d\\" + lng + "\\e");
    EXPECT_FALSE(inode_rename(0, 0, top, "", 0, "x", 1));
}

// Lookups remember where they found a name: what moved, went or took the
// place of a deleted record is never found under a name it no longer has.
TEST_F(tree, NamesThatMovedOrWentAreNotFoundWhereTheyWere) {
    const uint32_t d = enter(top, "d");
    const uint32_t x = enter(top, "x"), y = enter(top, "y");
    ASSERT_EQ(lookup(top, "X"), x);
    ASSERT_TRUE(inode_rename(x, top, d, "x", 1, "x", 1));
    EXPECT_EQ(lookup(top, "x"), 0u);
    EXPECT_EQ(lookup(d, "x"), x);
    ASSERT_EQ(lookup(top, "y"), y);
    ASSERT_TRUE(inode_delete(y));
    const uint32_t w = enter(top, "w");   // may take the deleted record's place
    EXPECT_EQ(lookup(top, "y"), 0u);
    EXPECT_EQ(lookup(top, "w"), w);
    EXPECT_NE(enter(top, "y"), 0u);
    EXPECT_EQ(child_names(top), (std::vector<std::string>{"d", "w", "y"}));
    // Renamed back and forth: each name was found once, and the record moving
    // is no child of its directory while it moves.
    for (const char* name : {"v", "w2", "v"}) {
        ASSERT_TRUE(inode_rename(w, top, top, "", 0, name, std::strlen(name))) << name;
        ASSERT_EQ(lookup(top, name), w) << name;
    }
    EXPECT_EQ(child_names(top), (std::vector<std::string>{"d", "v", "y"}));
    EXPECT_EQ(path_of(w), "C:\\v");
}

TEST_F(tree, DeletingADirectoryTakesItsWholeSubtree) {
    const uint32_t before = free_bytes();
    const uint32_t d = inode_of_path("C:\\d");
    std::vector<uint32_t> below;
    for (const char* p : {"C:\\d\\a", "C:\\d\\b", "C:\\d\\b\\x", "C:\\d\\b\\y", "C:\\d\\c-with-a-rather-long-name"})
        below.push_back(inode_of_path(p));
    ASSERT_TRUE(inode_delete(d));
    for (uint32_t n : below) EXPECT_EQ(path_of(n), "");
    EXPECT_EQ(free_bytes(), before);
    EXPECT_EQ(lookup(top, "d"), 0u);
    EXPECT_FALSE(inode_delete(d));
}

TEST_F(tree, BusyRecordsSurviveAPlainDelete) {
    const uint32_t a = enter(top, "a");
    EXPECT_EQ(inode_set_busy(a, 1), 0);
    EXPECT_EQ(inode_set_busy(a, -1), 1);
    EXPECT_TRUE(inode_delete(a));
    EXPECT_EQ(lookup(top, "a"), a);
    EXPECT_TRUE(inode_delete_forced(a));
    EXPECT_EQ(lookup(top, "a"), 0u);
    EXPECT_EQ(inode_set_busy(a, -1), -1);
}

TEST_F(tree, NoChildrenUnderARingMemberOrBadNumbers) {
    const uint32_t f = enter(top, "f");
    ASSERT_EQ(inode_link_base(f, 5, 0, 1), f);
    const uint32_t member = lookup(top, "f");
    EXPECT_EQ(enter(member, "x"), 0u);
    EXPECT_EQ(lookup(member, "x"), 0u);
    EXPECT_EQ(enter(f, "x"), 0u);       // the base
    EXPECT_EQ(enter(12345, "x"), 0u);   // no record
    EXPECT_EQ(enter(top, std::string("a\xff", 2)), 0u);
}

TEST_F(tree, PurgeDropsUnseenRecordsOfVanishedFiles) {
    namespace fs = std::filesystem;
    fs::create_directories(fs::path(dir.native) / "d");
    for (const char* n : {"kept", "seen", "gone"}) std::ofstream(fs::path(dir.native) / "d" / n) << "x";
    const uint32_t d = inode_of_path((dir.windows + "d").c_str());
    const uint32_t kept = enter(d, "kept"), seen = enter(d, "seen"), gone = enter(d, "gone");
    const uint32_t never = enter(d, "never-existed");
    fs::remove(fs::path(dir.native) / "d" / "gone");
    inode_mark_seen(seen);
    inode_purge_unseen(d);
    EXPECT_EQ(lookup(d, "kept"), kept);
    EXPECT_EQ(lookup(d, "seen"), seen);
    EXPECT_EQ(lookup(d, "gone"), 0u);
    EXPECT_EQ(lookup(d, "never-existed"), 0u);
    EXPECT_EQ(path_of(gone), "");
    EXPECT_EQ(path_of(never), "");
    // The seen flag was cleared: a second purge looks at it again.
    fs::remove(fs::path(dir.native) / "d" / "seen");
    inode_purge_unseen(d);
    EXPECT_EQ(lookup(d, "seen"), 0u);
    EXPECT_EQ(lookup(d, "kept"), kept);
}

TEST_F(tree, TheVanishedFilePassDropsRecordsOfMissingFiles) {
    namespace fs = std::filesystem;
    fs::create_directories(fs::path(dir.native) / "here");
    const uint32_t here = inode_of_path((dir.windows + "here").c_str());
    const uint32_t missing = inode_of_path((dir.windows + "missing\\below").c_str());
    const uint32_t missing_dir = inode_parent(missing);
    ASSERT_NE(here, 0u);
    close_table();
    ASSERT_TRUE(open_table(256, false, true));
    ASSERT_NE(g_inode_table.pass_done, nullptr);
    EXPECT_TRUE(event_wait(g_inode_table.pass_done, 20000));
    close_table();
    ASSERT_TRUE(open_table(256));
    EXPECT_EQ(path_of(here), dir.windows + "here");
    EXPECT_EQ(path_of(missing), "");
    EXPECT_EQ(path_of(missing_dir), "");
    EXPECT_NE(inode_of_path(dir.windows.c_str()), 0u);
}

}  // namespace
