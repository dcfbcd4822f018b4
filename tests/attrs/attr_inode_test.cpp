// get_attributes with the inode table: a file found gone loses its record,
// and the names of a hard-linked file answer with one number.
#include "quen/fs/nfs_status.h"
#include "quen/inode/inode_table.h"
#include "quen/inode/inode_tree.h"
#include "tests/attrs/attrs_env.h"

#include <vector>

namespace {

struct attrs_inode_test : attrs_test {
    std::vector<uint8_t> image;
    void SetUp() override {
        attrs_test::SetUp();
        image.assign(256 * 32, 0);
        ASSERT_TRUE(inode_table_open_image(image.data(), uint32_t(image.size()), 0));
    }
    void TearDown() override {
        inode_table_close();
        attrs_test::TearDown();
    }
    bool live(uint32_t inode) {
        inode_table_guard g;
        return record_at(inode) != nullptr;
    }
};

TEST_F(attrs_inode_test, VanishedFileLosesItsRecord) {
    make_file("f");
    const uint32_t inode = inode_of_path(at("f").c_str());
    ASSERT_NE(inode, 0u);
    file_attributes a{};
    uint32_t status = 1;
    ASSERT_NE(get_attributes(inode, ctx, at("f").c_str(), WP_INVALID_HANDLE, user_credential(1, 1), a, &status),
              WP_INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(a.fileid, inode);
    EXPECT_TRUE(live(inode));
    ASSERT_TRUE(wp_delete_file(at("f").c_str()));
    EXPECT_EQ(get_attributes(inode, ctx, at("f").c_str(), WP_INVALID_HANDLE, user_credential(1, 1), a, &status),
              WP_INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(status, uint32_t(NFSERR_STALE));
    EXPECT_FALSE(live(inode));
}

TEST_F(attrs_inode_test, FileIdModeKeepsRecords) {
    const uint32_t inode = inode_of_path(at("never").c_str());
    ASSERT_NE(inode, 0u);
    mount_context by_id = ctx;
    by_id.flags |= MOUNT_FLAG_FILE_ID;
    file_attributes a{};
    uint32_t status = 0;
    EXPECT_EQ(get_attributes(inode, by_id, at("never").c_str(), WP_INVALID_HANDLE, user_credential(1, 1), a, &status),
              WP_INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(status, uint32_t(NFSERR_STALE));
    EXPECT_TRUE(live(inode));
}

TEST_F(attrs_inode_test, HardLinksShareOneNumber) {
    make_file("one", "data");
    ASSERT_TRUE(wp_create_hard_link(at("two").c_str(), at("one").c_str())) << file_last_error();
    const uint32_t first = inode_of_path(at("one").c_str());
    const uint32_t second = inode_of_path(at("two").c_str());
    ASSERT_NE(first, 0u);
    ASSERT_NE(second, 0u);
    ASSERT_NE(first, second);
    file_attributes a{}, b{};
    uint32_t status = 1;
    ASSERT_NE(get_attributes(first, ctx, at("one").c_str(), WP_INVALID_HANDLE, user_credential(1, 1), a, &status),
              WP_INVALID_FILE_ATTRIBUTES);
    ASSERT_NE(get_attributes(second, ctx, at("two").c_str(), WP_INVALID_HANDLE, user_credential(1, 1), b, &status),
              WP_INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(a.nlink, 2u);
    EXPECT_EQ(b.nlink, 2u);
    EXPECT_NE(a.fileid, 0u);
    EXPECT_EQ(a.fileid, b.fileid);
}

}  // namespace
