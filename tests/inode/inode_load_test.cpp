// Loading damaged, truncated and crafted tables: the load ends, keeps what
// is intact and reclaims the rest, and a second load finds nothing to fix.
#include "tests/inode/inode_test_env.h"

#include <cstring>
#include <random>

namespace {

// Loads an image in memory (as a file of old_size bytes).
struct image_load {
    std::vector<uint8_t> bytes;
    explicit image_load(std::vector<uint8_t> b, uint32_t capacity = 0) : bytes(std::move(b)) {
        const uint32_t old = uint32_t(bytes.size());
        bytes.resize(std::max<size_t>(capacity ? capacity : (old + 31) / 32 * 32, 64 * 32));
        ok = inode_table_open_image(bytes.data(), uint32_t(bytes.size()), old);
    }
    ~image_load() { inode_table_close(); }
    bool ok = false;
};

// A second load of the same bytes must find the free list exact.
void expect_stable(std::vector<uint8_t>& bytes) {
    const uint32_t used = g_inode_table.total - free_bytes();   // what the table holds now
    inode_table_close();
    ASSERT_TRUE(inode_table_open_image(bytes.data(), uint32_t(bytes.size()), uint32_t(bytes.size())));
    EXPECT_FALSE(g_inode_table.load.rebuilt);
    EXPECT_EQ(g_inode_table.load.used, used);
    EXPECT_EQ(free_bytes(), g_inode_table.total - used);
}

// A small tree: C: \ d \ {a, long name}.
std::vector<uint8_t> sample_tree(uint32_t* d, uint32_t* a, uint32_t* lng) {
    std::vector<uint8_t> img(64 * 32);
    EXPECT_TRUE(inode_table_open_image(img.data(), uint32_t(img.size()), 0));
    *d = inode_of_path("C:\\d");
    *a = inode_of_path("C:\\d\\a");
    *lng = inode_of_path("C:\\d\\a-name-well-beyond-sixteen-bytes");
    inode_mark_seen(*a);
    inode_table_close();
    return img;
}

TEST(inode_load, AnIntactTableLoadsWithoutRebuildAndClearsSeen) {
    uint32_t d, a, l;
    image_load t(sample_tree(&d, &a, &l));
    ASSERT_TRUE(t.ok);
    EXPECT_FALSE(g_inode_table.load.rebuilt);
    EXPECT_EQ(g_inode_table.load.used, 32u * 6);   // header, 4 records, 1 name block
    EXPECT_EQ(path_of(l), "C:\\d\\a-name-well-beyond-sixteen-bytes");
    inode_table_guard g;
    EXPECT_EQ(record_at(a)->flags & INODE_SEEN, 0);
}

TEST(inode_load, BusyMarksOfACrashedRunAreClearedSoTheRecordCanGo) {
    // A removal killed between deleting the file and dropping its record
    // leaves the record marked busy; the next run must be able to drop it.
    std::vector<uint8_t> img(64 * 32);
    ASSERT_TRUE(inode_table_open_image(img.data(), uint32_t(img.size()), 0));
    const uint32_t gone = inode_of_path("C:\\d\\gone");
    ASSERT_NE(gone, 0u);
    inode_set_busy(gone, 1);
    inode_table_close();
    image_load t(img);
    ASSERT_TRUE(t.ok);
    EXPECT_EQ(inode_set_busy(gone, -1), 0);
    EXPECT_TRUE(inode_delete(gone));
    EXPECT_FALSE(inode_is_live(gone));
}

TEST(inode_load, AWrongFreeListIsRebuiltAndRecordsKept) {
    uint32_t d, a, l;
    std::vector<uint8_t> img = sample_tree(&d, &a, &l);
    put32(img, 0, a);   // the free list claims a live record
    image_load t(img);
    ASSERT_TRUE(t.ok);
    EXPECT_TRUE(g_inode_table.load.rebuilt);
    EXPECT_EQ(path_of(a), "C:\\d\\a");
    EXPECT_EQ(path_of(l), "C:\\d\\a-name-well-beyond-sixteen-bytes");
    EXPECT_EQ(free_bytes(), g_inode_table.total - 6 * 32);
    // New records do not land on live ones.
    const uint32_t n = inode_of_path("C:\\d\\new");
    EXPECT_NE(n, a);
    EXPECT_EQ(path_of(a), "C:\\d\\a");
    expect_stable(t.bytes);
}

TEST(inode_load, ChildLinksBackUpTheTreeAreCut) {
    uint32_t d, a, l;
    std::vector<uint8_t> img = sample_tree(&d, &a, &l);
    const uint32_t top = get32(img, 4);
    put32(img, a + 12, top);    // a's child list is the top-level record
    put32(img, top + 0, top);   // the top record is its own sibling
    put32(img, l + 4, 9999);    // a wrong parent link
    image_load t(img);
    ASSERT_TRUE(t.ok);
    EXPECT_EQ(path_of(l), "C:\\d\\a-name-well-beyond-sixteen-bytes");
    inode_table_guard g;
    EXPECT_EQ(record_at(a)->child, 0u);
    EXPECT_EQ(record_at(top)->next, 0u);
    EXPECT_EQ(record_at(l)->parent, d);
}

TEST(inode_load, ARecordWithABrokenNameChainIsReclaimed) {
    uint32_t d, a, l;
    std::vector<uint8_t> img = sample_tree(&d, &a, &l);
    put32(img, l + 16, 16);   // continuation offset not a block
    image_load t(img);
    ASSERT_TRUE(t.ok);
    EXPECT_TRUE(g_inode_table.load.rebuilt);
    EXPECT_EQ(path_of(a), "C:\\d\\a");
    EXPECT_EQ(path_of(l), "");
    inode_table_guard g;
    EXPECT_EQ(record_at(l), nullptr);   // the marker of a reclaimed block is gone
}

TEST(inode_load, UnreachableRecordsAreReclaimedAndStale) {
    uint32_t d, a, l;
    std::vector<uint8_t> img = sample_tree(&d, &a, &l);
    put32(img, d + 12, 0);   // d loses its children
    image_load t(img);
    ASSERT_TRUE(t.ok);
    EXPECT_TRUE(g_inode_table.load.rebuilt);
    EXPECT_EQ(g_inode_table.load.used, 3u * 32);
    inode_table_guard g;
    EXPECT_EQ(record_at(a), nullptr);
    EXPECT_EQ(record_at(l), nullptr);
}

TEST(inode_load, ATruncatedFileKeepsWhatLiesBeforeTheCut) {
    std::vector<uint8_t> img(64 * 32);
    ASSERT_TRUE(inode_table_open_image(img.data(), uint32_t(img.size()), 0));
    std::vector<uint32_t> made;
    for (int i = 0; i < 40; ++i) made.push_back(inode_of_path(("C:\\f" + std::to_string(100 + i)).c_str()));
    inode_table_close();
    img.resize(25 * 32 + 7);   // a cut inside a block
    image_load t(img, 64 * 32);
    ASSERT_TRUE(t.ok);
    size_t kept = 0;
    for (size_t i = 0; i < made.size(); ++i) {
        const std::string p = path_of(made[i]);
        if (made[i] < 24 * 32) {
            EXPECT_EQ(p, "C:\\f" + std::to_string(100 + i));
            ++kept;
        }
    }
    EXPECT_GT(kept, 20u);
    expect_stable(t.bytes);
}

TEST(inode_load, RandomImagesLoadAndStayConsistent) {
    std::mt19937 rng(7);
    for (int round = 0; round < 300; ++round) {
        std::vector<uint8_t> img(32 * (1 + rng() % 200) + rng() % 32);
        for (auto& b : img) b = uint8_t(rng());
        // Make some links plausible so that the walk goes somewhere.
        for (size_t o = 0; o + 32 <= img.size(); o += 32) {
            if (rng() % 2) img[o + 8] = 0xFF;
            for (size_t f : {0u, 4u, 12u, 16u, 20u})
                if (rng() % 2) put32(img, o + f, uint32_t(32 * (rng() % (img.size() / 32 + 2))));
            if (rng() % 2) img[o + 10] = uint8_t(rng() % 40), img[o + 11] = 0;
        }
        image_load t(img);
        ASSERT_TRUE(t.ok);
        for (uint32_t o = 0; o < g_inode_table.total; o += 32) path_of(o);
        const uint32_t top = inode_of_path("C:\\x\\y");
        EXPECT_NE(top, 0u);
        EXPECT_EQ(path_of(top), "C:\\x\\y");
        expect_stable(t.bytes);
    }
}

TEST(inode_load, BrokenRingsAreRepaired) {
    std::vector<uint8_t> img(64 * 32);
    ASSERT_TRUE(inode_table_open_image(img.data(), uint32_t(img.size()), 0));
    const uint32_t f = inode_of_path("C:\\f");
    const uint32_t g2 = inode_of_path("C:\\g");
    ASSERT_EQ(inode_link_base(f, 1, 2, 3), f);
    ASSERT_EQ(inode_link_base(g2, 1, 2, 3), f);
    const uint32_t f_copy = lookup(lookup(0, "C:"), "f");
    inode_table_close();
    put32(img, g2 + 12, 9 * 32);   // g's ring link goes nowhere
    image_load t(img);
    ASSERT_TRUE(t.ok);
    // The ring is base, g, f's copy: it now closes at g, and the copy,
    // which no ring reaches, is a plain record again.
    EXPECT_EQ(inode_base_of(g2), f);
    EXPECT_EQ(inode_base_of(f_copy), f_copy);
    EXPECT_EQ(path_of(f), "C:\\g");
    inode_table_guard guard;
    EXPECT_EQ(record_at(f_copy)->flags & INODE_RING_MEMBER, 0);
    EXPECT_EQ(record_at(f_copy)->child, 0u);
}

TEST(inode_load, ABaseWithoutNamesIsDropped) {
    std::vector<uint8_t> img(64 * 32);
    ASSERT_TRUE(inode_table_open_image(img.data(), uint32_t(img.size()), 0));
    const uint32_t f = inode_of_path("C:\\f");
    ASSERT_EQ(inode_link_base(f, 1, 2, 3), f);
    const uint32_t copy = lookup(lookup(0, "C:"), "f");
    inode_table_close();
    put32(img, f + 12, f);                 // the base's ring holds only itself
    put32(img, f + 0, f);                  // and the base list comes back to it
    image_load t(img);
    ASSERT_TRUE(t.ok);
    EXPECT_EQ(link_base_list_head(), 0u);
    inode_table_guard guard;
    EXPECT_EQ(record_at(f), nullptr);
    ASSERT_NE(record_at(copy), nullptr);
    EXPECT_EQ(record_at(copy)->flags & INODE_RING_MEMBER, 0);
}

}  // namespace
