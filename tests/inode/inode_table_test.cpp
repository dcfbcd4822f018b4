// The table file: layout of a new table, existing files of other sizes,
// growth, the free list, validation of numbers, volume stamp, sharing.
#include "tests/inode/inode_test_env.h"

#include "platform/file.h"
#include "platform/file_map.h"
#include "platform/win_error.h"

#include <cstring>

namespace {

using runs = std::vector<std::pair<uint32_t, uint32_t>>;

TEST_F(inode_test, NewFileIsOneFreeRunFrom32ToTheEnd) {
    ASSERT_TRUE(open_table(256));
    const inode_table& t = g_inode_table;
    EXPECT_EQ(t.total, 256u * 32);
    EXPECT_EQ(table_head()->total, 256u * 32);
    EXPECT_EQ(table_head()->root_head, 0u);
    EXPECT_EQ(table_head()->link_base_head, 0u);
    EXPECT_EQ(free_runs(), (runs{{32, 256 * 32 - 32}}));
    EXPECT_TRUE(t.load.started_empty);
    EXPECT_EQ(t.load.used, 32u);
    uint32_t serial = 0;
    char root[2048];
    ASSERT_TRUE(wp_get_volume_path_name(table_path.c_str(), root, sizeof root));
    ASSERT_TRUE(wp_get_volume_information(root, nullptr, 0, &serial, nullptr, nullptr, nullptr, 0));
    EXPECT_EQ(table_head()->volume_stamp, serial);
    close_table();
    EXPECT_EQ(read_file().size(), 256u * 32);
}

TEST_F(inode_test, TinyInodeSizeHasAFloor) {
    ASSERT_TRUE(open_table(1));
    EXPECT_EQ(g_inode_table.total, kMinTableRecords * 32);
    close_table();
    ASSERT_TRUE(open_table(0));
    EXPECT_EQ(g_inode_table.total, kMinTableRecords * 32);
}

TEST_F(inode_test, LargerExistingFileIsMappedAtItsOwnSize) {
    ASSERT_TRUE(open_table(1024));
    const uint32_t a = inode_of_path("C:\\data\\a");
    ASSERT_NE(a, 0u);
    close_table();
    ASSERT_TRUE(open_table(256));
    EXPECT_EQ(g_inode_table.total, 1024u * 32);
    EXPECT_FALSE(g_inode_table.load.started_empty);
    EXPECT_FALSE(g_inode_table.load.rebuilt);
    EXPECT_EQ(path_of(a), "C:\\data\\a");
}

TEST_F(inode_test, SmallerFileIsExtendedAndTheExtensionIsFree) {
    ASSERT_TRUE(open_table(256));
    const uint32_t a = inode_of_path("C:\\x");
    const uint32_t before = free_bytes();
    close_table();
    ASSERT_TRUE(open_table(512));
    EXPECT_EQ(g_inode_table.total, 512u * 32);
    EXPECT_FALSE(g_inode_table.load.rebuilt);
    EXPECT_EQ(free_bytes(), before + 256 * 32);
    // The last run ended at the old end: it now reaches the new one.
    const runs r = free_runs();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].first + r[0].second, 512u * 32);
    EXPECT_EQ(path_of(a), "C:\\x");
    close_table();
    EXPECT_EQ(read_file().size(), 512u * 32);
}

TEST_F(inode_test, ExtensionAfterAUsedLastBlockIsANewRunAtTheEnd) {
    ASSERT_TRUE(open_table(64));
    // Fill the table up to its last block exactly.
    std::vector<uint32_t> blocks;
    {
        inode_table_guard g;
        while (!free_runs().empty()) blocks.push_back(block_alloc(32));
        block_free(blocks[0]);   // one free run that does not touch the end
    }
    ASSERT_EQ(g_inode_table.total, 64u * 32);
    // The used blocks are not records: make them reachable as one name so the
    // load keeps them.
    close_table();
    std::vector<uint8_t> img = read_file();
    // A top-level record at the last block keeps the end in use.
    const uint32_t last = 64 * 32 - 32;
    put32(img, 4, last);
    std::memset(img.data() + last, 0, 32);
    img[last + 8] = 0xFF;
    img[last + 10] = 2;
    img[last + 16] = 'C';
    img[last + 17] = ':';
    write_file(img);
    ASSERT_TRUE(open_table(128));
    EXPECT_TRUE(g_inode_table.load.rebuilt);   // the other used blocks were unreachable
    const runs r = free_runs();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0], std::make_pair(32u, last - 32));
    EXPECT_EQ(r[1], std::make_pair(64u * 32, 64u * 32));
    EXPECT_EQ(path_of(last), "C:\\");
}

TEST_F(inode_test, GrowthAddsHalfAndTheNewSpaceFollowsTheFreeList) {
    ASSERT_TRUE(open_table(64));
    inode_table_guard g;
    // Use every block: the list is empty, so growth makes a new run at the old end.
    for (uint32_t i = 0; i < 63; ++i) ASSERT_NE(block_alloc(32), 0u);
    EXPECT_TRUE(free_runs().empty());
    const uint32_t grown = block_alloc(32);
    EXPECT_EQ(grown, 2048u);
    EXPECT_EQ(g_inode_table.total, 3072u);
    EXPECT_EQ(table_head()->total, 3072u);
    EXPECT_EQ(free_runs(), (runs{{2080, 3072 - 2080}}));
    // A run that ends at the old end is lengthened when no run fits.
    for (uint32_t i = 0; i < (3072 - 2080) / 32 - 1; ++i) ASSERT_NE(block_alloc(32), 0u);
    EXPECT_EQ(free_runs(), (runs{{3040, 32}}));
    const uint32_t wide = block_alloc(64);
    EXPECT_EQ(wide, 3040u);
    EXPECT_EQ(g_inode_table.total, 3072u + 1536);
    EXPECT_EQ(free_runs(), (runs{{3104, 3072 + 1536 - 3104}}));
}

TEST_F(inode_test, GrowthRoundsUpToWholeBlocks) {
    ASSERT_TRUE(open_table(65));   // 2080 bytes: half is 1040, 33 blocks
    inode_table_guard g;
    while (!free_runs().empty()) ASSERT_NE(block_alloc(32), 0u);
    ASSERT_NE(block_alloc(32), 0u);
    EXPECT_EQ(g_inode_table.total, 2080u + 1056);
}

TEST_F(inode_test, FreeingMergesNeighboursAndIgnoresASecondFree) {
    ASSERT_TRUE(open_table(64));
    inode_table_guard g;
    const uint32_t a = block_alloc(32), b = block_alloc(32), c = block_alloc(32), d = block_alloc(32);
    ASSERT_EQ(a, 32u);
    ASSERT_EQ(d, 128u);
    block_free(b);
    const runs after_first = free_runs();
    EXPECT_EQ(after_first, (runs{{64, 32}, {160, 2048 - 160}}));
    const uint32_t dirty = g_inode_table.dirty;
    block_free(b);
    EXPECT_EQ(free_runs(), after_first);
    EXPECT_EQ(g_inode_table.dirty, dirty);
    block_free(d);   // touches the run after it
    EXPECT_EQ(free_runs(), (runs{{64, 32}, {128, 2048 - 128}}));
    block_free(c);   // joins both neighbours
    EXPECT_EQ(free_runs(), (runs{{64, 2048 - 64}}));
    block_free(a);
    EXPECT_EQ(free_runs(), (runs{{32, 2048 - 32}}));
    block_free(16);     // misaligned
    block_free(2048);   // past the end
    EXPECT_EQ(free_runs(), (runs{{32, 2048 - 32}}));
}

TEST_F(inode_test, AFreedBlockIsNotTheNextOneHandedOut) {
    ASSERT_TRUE(open_table(64));
    inode_table_guard g;
    const uint32_t a = block_alloc(32);
    const uint32_t b = block_alloc(32);
    block_free(a);
    const uint32_t c = block_alloc(32);
    EXPECT_NE(c, a);
    EXPECT_EQ(c, b + 32);
    // Once the never-used space is gone, freed blocks come back in order.
    std::vector<uint32_t> got;
    for (uint32_t x = block_alloc(32); x != 0 && g_inode_table.total == 2048; x = block_alloc(32)) got.push_back(x);
    ASSERT_GE(got.size(), 2u);
    EXPECT_EQ(got[got.size() - 2], 2016u);   // the last fresh block
    EXPECT_EQ(got.back(), a);                // then the freed one, before growing
}

TEST_F(inode_test, InvalidNumbersAreNoRecords) {
    ASSERT_TRUE(open_table(64));
    const uint32_t a = inode_of_path("C:");
    ASSERT_NE(a, 0u);
    inode_table_guard g;
    const uint32_t total = g_inode_table.total;
    EXPECT_NE(record_at(a), nullptr);
    for (uint32_t n : {0u, 16u, total - 16, total, a + 1, a + 32, 0xFFFFFFE0u}) EXPECT_EQ(record_at(n), nullptr) << n;
    EXPECT_EQ(block_at(0), nullptr);
    EXPECT_EQ(block_at(total), nullptr);
    EXPECT_EQ(block_at(total - 16), nullptr);
    EXPECT_NE(block_at(total - 32), nullptr);
}

TEST_F(inode_test, ATableFromAnotherVolumeStartsEmpty) {
    ASSERT_TRUE(open_table(64));
    ASSERT_NE(inode_of_path("C:\\kept"), 0u);
    const uint32_t stamp = table_head()->volume_stamp;
    close_table();
    ASSERT_TRUE(open_table(64));
    EXPECT_FALSE(g_inode_table.load.started_empty);
    EXPECT_NE(lookup(0, "C:"), 0u);
    close_table();
    std::vector<uint8_t> img = read_file();
    const uint32_t old_record = get32(img, 4);
    put32(img, 12, stamp ^ 0x5A5A5A5A);   // as written on another volume
    write_file(img);
    ASSERT_TRUE(open_table(64));
    EXPECT_TRUE(g_inode_table.load.started_empty);
    EXPECT_EQ(lookup(0, "C:"), 0u);
    EXPECT_EQ(table_head()->volume_stamp, stamp);
    inode_table_guard g;
    EXPECT_EQ(record_at(old_record), nullptr);   // an old handle is stale
}

TEST_F(inode_test, ResetDeletesTheTable) {
    ASSERT_TRUE(open_table(64));
    ASSERT_NE(inode_of_path("C:\\a"), 0u);
    close_table();
    ASSERT_TRUE(open_table(64, true));
    EXPECT_TRUE(g_inode_table.load.started_empty);
    EXPECT_EQ(lookup(0, "C:"), 0u);
}

TEST_F(inode_test, TheOpenTableFileIsNotShared) {
    ASSERT_TRUE(open_table(64));
    mapped_file other;
    uint32_t error = 0;
    EXPECT_FALSE(map_file_open(other, table_path.c_str(), &error));
    EXPECT_EQ(error, WIN_ERROR_SHARING_VIOLATION);
    close_table();
    ASSERT_TRUE(map_file_open(other, table_path.c_str(), &error));
    map_file_close(other);
}

TEST_F(inode_test, FileMappingExtendsTheFileAndKeepsTheOldViewOnFailure) {
    mapped_file f;
    ASSERT_TRUE(map_file_open(f, table_path.c_str(), nullptr));
    ASSERT_TRUE(map_file_map(f, 4096));
    uint64_t size = 0;
    ASSERT_TRUE(map_file_size(f, &size));
    EXPECT_EQ(size, 4096u);
    std::memcpy(f.view + 4000, "mark", 4);
    ASSERT_TRUE(map_file_map(f, 8192));
    EXPECT_EQ(std::memcmp(f.view + 4000, "mark", 4), 0);
    uint8_t* view = f.view;
    EXPECT_FALSE(map_file_map(f, 0));
    EXPECT_EQ(f.view, view);
    EXPECT_EQ(f.view_size, 8192u);
    EXPECT_TRUE(map_file_flush(f, 0, 8192));
    map_file_close(f);
    const std::vector<uint8_t> bytes = read_file();
    ASSERT_EQ(bytes.size(), 8192u);
    EXPECT_EQ(std::memcmp(bytes.data() + 4000, "mark", 4), 0);
}

TEST_F(inode_test, AnUnopenableFileFailsTheOpen) {
    const std::string missing_dir = dir.windows + "no\\such\\folder\\inodes.nfs";
    inode_table_options o;
    o.path = missing_dir.c_str();
    o.initial_records = 64;
    EXPECT_FALSE(inode_table_open_with(o));
    EXPECT_FALSE(g_inode_table.is_open);
    EXPECT_EQ(inode_of_path("C:\\a"), 0u);
}

// With no room to grow, the table stays usable at its size.
TEST(inode_image, AFullTableThatCannotGrowStaysUsable) {
    std::vector<uint8_t> image(64 * 32);
    ASSERT_TRUE(inode_table_open_image(image.data(), uint32_t(image.size()), 0));
    const uint32_t top = inode_of_path("C:");
    ASSERT_NE(top, 0u);
    std::vector<uint32_t> made;
    for (int i = 0; i < 100; ++i) {
        const std::string name = "n" + std::to_string(i);
        const uint32_t n = enter(top, name);
        if (!n) break;
        made.push_back(n);
    }
    EXPECT_EQ(made.size(), 62u);
    EXPECT_EQ(g_inode_table.total, 64u * 32);
    EXPECT_EQ(enter(top, "one-more"), 0u);
    // A long name that gets its record but not all of its blocks leaves nothing behind.
    ASSERT_TRUE(inode_delete(made[0]));
    EXPECT_EQ(enter(top, std::string(40, 'x')), 0u);
    EXPECT_EQ(free_bytes(), 32u);
    EXPECT_EQ(path_of(made[5]), "C:\\n5");
    EXPECT_NE(enter(top, "short"), 0u);
    inode_table_close();
}

}  // namespace
