// The inode table loader over any byte image: the load must end, stay
// inside the image, leave an exact free list, and leave a table that the
// tree operations can use.
#include "quen/inode/inode_table.h"
#include "quen/inode/inode_tree.h"
#include "tests/fuzz/fuzz_check.h"

#include <cstring>
#include <vector>

namespace {

uint32_t free_sum() {
    uint64_t sum = 0;
    uint32_t r = table_head()->free_head;
    for (uint32_t i = 0; r != 0; ++i) {
        FUZZ_CHECK(i <= g_inode_table.total / kBlockSize);
        FUZZ_CHECK(r % kBlockSize == 0 && r >= kBlockSize && r <= g_inode_table.total - kBlockSize);
        const free_run* run = reinterpret_cast<const free_run*>(g_inode_table.base + r);
        sum += run->size;
        r = run->next;
    }
    FUZZ_CHECK(sum <= g_inode_table.total);
    return uint32_t(sum);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 20)) return 0;
    const uint32_t old = uint32_t(size);
    const uint32_t capacity = std::max<uint32_t>((old + 31) / 32 * 32, kMinTableRecords * kBlockSize);
    // Exactly the table's bytes, so that ASan sees any access past its end.
    std::vector<uint8_t> image(capacity, 0);
    std::memcpy(image.data(), data, size);
    FUZZ_CHECK(inode_table_open_image(image.data(), capacity, old));
    const inode_load_report first = g_inode_table.load;
    FUZZ_CHECK(first.used + free_sum() == g_inode_table.total);

    // Use what was loaded: every number as a handle, and a few changes.
    char path[kInodePathSize];
    for (uint32_t o = 0; o < g_inode_table.total && o < 64 * 1024; o += kBlockSize) {
        inode_path(o, path);
        inode_base_of(o);
        inode_lookup(o, "a", 1);
        inode_parent(o);
    }
    const uint32_t x = inode_of_path("C:\\fuzz\\x");
    const uint32_t y = inode_of_path("C:\\fuzz\\a-name-longer-than-sixteen");
    if (x && y) {
        inode_link_base(x, 1, 2, 3);
        inode_link_base(y, 1, 2, 3);
        inode_rename(y, 0, inode_parent(y), "", 0, "renamed", 7);
        inode_delete(inode_lookup(inode_parent(y), "x", 1));
        inode_unlink_base(x);
    }
    for (uint32_t o = kBlockSize; o < g_inode_table.total && o < 4096; o += 7 * kBlockSize) inode_delete(o);
    const uint32_t used = g_inode_table.total - free_sum();
    inode_table_close();

    // A second load finds nothing to repair.
    FUZZ_CHECK(inode_table_open_image(image.data(), capacity, capacity));
    FUZZ_CHECK(!g_inode_table.load.rebuilt);
    FUZZ_CHECK(g_inode_table.load.used == used);
    inode_table_close();
    return 0;
}
