// Hard links: the base keeps the number of the file's first name, every
// name reports it, and the last name folds back to it.
#include "tests/inode/inode_test_env.h"

namespace {

struct links : inode_test {
    void SetUp() override {
        inode_test::SetUp();
        ASSERT_TRUE(open_table(256));
        top = inode_of_path("C:");
    }
    uint32_t top = 0;
};

TEST_F(links, TwoLinksShareTheFirstNumberAndFoldBack) {
    const uint32_t f = enter(top, "first");
    const uint32_t g = enter(top, "second-name-longer-than-16");
    ASSERT_EQ(inode_link_base(f, 0x1111, 0x2222, 0x3333), f);
    // f's name lives in a copy now; the old number is the base.
    const uint32_t f_copy = lookup(top, "first");
    EXPECT_NE(f_copy, f);
    EXPECT_EQ(inode_base_of(f_copy), f);
    EXPECT_EQ(path_of(f), "C:\\first");
    {
        inode_table_guard guard;
        EXPECT_TRUE(record_at(f)->flags & INODE_LINK_BASE);
        EXPECT_EQ(record_at(f)->name_length, 0);
        EXPECT_EQ(record_at(f)->parent, 0u);
        EXPECT_EQ(link_base_list_head(), f);
    }
    EXPECT_EQ(child_names(top), (std::vector<std::string>{"first", "second-name-longer-than-16"}));
    // The second name joins the same base.
    EXPECT_EQ(inode_link_base(g, 0x1111, 0x2222, 0x3333), f);
    EXPECT_EQ(inode_base_of(g), f);
    EXPECT_EQ(inode_link_base(g, 0x1111, 0x2222, 0x3333), f);   // already on the ring
    // Another file gets another base.
    const uint32_t h = enter(top, "other");
    EXPECT_EQ(inode_link_base(h, 0x1111, 0x2222, 0x4444), h);
    // Removing the first name: the second takes over the number.
    ASSERT_TRUE(inode_delete(f_copy));
    EXPECT_EQ(inode_base_of(g), f);
    ASSERT_TRUE(inode_unlink_base(f));
    EXPECT_EQ(lookup(top, "second-name-longer-than-16"), f);
    EXPECT_EQ(path_of(f), "C:\\second-name-longer-than-16");
    EXPECT_EQ(path_of(g), "");
    EXPECT_EQ(inode_base_of(f), f);
    EXPECT_EQ(child_names(top), (std::vector<std::string>{"other", "second-name-longer-than-16"}));
    inode_table_guard guard;
    EXPECT_EQ(record_at(f)->flags & (INODE_LINK_BASE | INODE_RING_MEMBER), 0);
    EXPECT_EQ(link_base_list_head(), h);
}

TEST_F(links, ABaseWithManyNamesStaysUntilOneIsLeft) {
    const uint32_t a = enter(top, "a"), b = enter(top, "b"), c = enter(top, "c");
    ASSERT_EQ(inode_link_base(a, 1, 0, 9), a);
    inode_link_add(a, b);
    inode_link_add(a, c);
    inode_link_add(a, c);
    EXPECT_EQ(inode_base_of(b), a);
    EXPECT_EQ(inode_base_of(c), a);
    ASSERT_TRUE(inode_delete(b));
    ASSERT_TRUE(inode_unlink_base(a));   // two names left: nothing folds
    EXPECT_EQ(inode_base_of(c), a);
    ASSERT_TRUE(inode_delete(c));
    ASSERT_TRUE(inode_unlink_base(a));
    EXPECT_EQ(lookup(top, "a"), a);
    EXPECT_FALSE(inode_unlink_base(a));   // a plain record now
}

TEST_F(links, DeletingEveryNameFreesTheBase) {
    const uint32_t before = free_bytes();
    const uint32_t a = enter(top, "a"), b = enter(top, "b");
    ASSERT_EQ(inode_link_base(a, 1, 0, 9), a);
    inode_link_add(a, b);
    ASSERT_TRUE(inode_delete(lookup(top, "a")));
    ASSERT_TRUE(inode_delete(b));
    EXPECT_EQ(path_of(a), "");
    EXPECT_EQ(free_bytes(), before);
    inode_table_guard guard;
    EXPECT_EQ(link_base_list_head(), 0u);
}

TEST_F(links, RingsSurviveAReload) {
    const uint32_t a = enter(top, "a"), b = enter(top, "b");
    ASSERT_EQ(inode_link_base(a, 7, 8, 9), a);
    inode_link_add(a, b);
    close_table();
    ASSERT_TRUE(open_table(256));
    EXPECT_FALSE(g_inode_table.load.rebuilt);
    EXPECT_EQ(inode_base_of(lookup(top, "a")), a);
    EXPECT_EQ(inode_base_of(lookup(top, "b")), a);
    EXPECT_EQ(inode_link_base(lookup(top, "b"), 7, 8, 9), a);
}

}  // namespace
