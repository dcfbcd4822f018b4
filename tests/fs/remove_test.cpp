// REMOVE and RMDIR through directory handles: what each may remove, the
// records and attributes that go or stay, hard links.
#include "quen/fs/nfs_status.h"
#include "tests/fs/namespace_test_env.h"
#include "tests/support/file_tree.h"

namespace {

using remove_test = namespace_test;

constexpr uint32_t HIDDEN = WP_FILE_ATTRIBUTE_HIDDEN, RO = WP_FILE_ATTRIBUTE_READONLY;

TEST_F(remove_test, a_file_goes_with_its_record_whatever_attributes_it_has) {
    for (uint32_t attributes : {uint32_t(WP_FILE_ATTRIBUTE_NORMAL), HIDDEN, RO | HIDDEN, exec_marker()}) {
        make_file("plain\\f", "data");
        ASSERT_TRUE(wp_set_file_attributes(at("plain\\f").c_str(), attributes));
        ASSERT_NE(inode_of_path(at("plain\\f").c_str()), 0u);
        EXPECT_EQ(remove("plain", "f", me), uint32_t(NFS_OK)) << attributes;
        EXPECT_FALSE(exists("plain\\f")) << attributes;
        EXPECT_EQ(record_of("plain", "f"), 0u) << attributes;
    }
}

TEST_F(remove_test, a_failed_removal_puts_the_hidden_attribute_back) {
    make_file("plain\\h", "data");
    ASSERT_TRUE(wp_set_file_attributes(at("plain\\h").c_str(), HIDDEN));
    ASSERT_NE(inode_of_path(at("plain\\h").c_str()), 0u);
    // Open without sharing delete: the removal fails with a sharing violation.
    file_handle keep(wp_create_file(at("plain\\h").c_str(), WP_GENERIC_READ, WP_FILE_SHARE_READ, WP_OPEN_EXISTING, 0));
    ASSERT_TRUE(keep.valid());
    EXPECT_NE(remove("plain", "h", me), uint32_t(NFS_OK));
    EXPECT_EQ(windows_attributes("plain\\h"), HIDDEN);
    EXPECT_EQ(inode_set_busy(record_of("plain", "h"), -1), 0) << "the busy mark went again";
}

struct status_case {
    const char* what;
    bool rmdir;
    const char* name;
    uint32_t expected;
};

TEST_F(remove_test, what_remove_and_rmdir_refuse) {
    make_dir("plain\\d");
    make_dir("plain\\full");
    make_file("plain\\full\\x", "");
    make_file("plain\\f", "");
    const status_case cases[] = {
        {"remove of a directory name", false, "d", NFSERR_ISDIR},
        {"remove of a missing name", false, "gone", NFSERR_NOENT},
        {"rmdir of a non-empty directory", true, "full", NFSERR_NOTEMPTY},
        {"rmdir of a missing name", true, "gone", NFSERR_ACCES},
        {"rmdir of a file", true, "f", NFSERR_NOTDIR},
        {"rmdir of dot", true, ".", NFSERR_EXIST},
        {"rmdir of dot-dot", true, "..", NFSERR_EXIST},
    };
    for (const status_case& c : cases)
        EXPECT_EQ(c.rmdir ? rmdir("plain", c.name, me) : remove("plain", c.name, me), c.expected) << c.what;
    EXPECT_TRUE(exists("plain\\d"));
    EXPECT_TRUE(exists("plain\\full\\x"));
    EXPECT_EQ(rmdir("plain", "d", me), uint32_t(NFS_OK));
    EXPECT_FALSE(exists("plain\\d"));
    EXPECT_EQ(record_of("plain", "d"), 0u);
}

TEST_F(remove_test, a_left_over_record_of_a_missing_name_goes) {
    make_file("plain\\f", "");
    ASSERT_NE(inode_of_path(at("plain\\f").c_str()), 0u);
    ASSERT_TRUE(wp_delete_file(at("plain\\f").c_str()));
    EXPECT_EQ(remove("plain", "f", me), uint32_t(NFSERR_NOENT));
    EXPECT_EQ(record_of("plain", "f"), 0u);
}

TEST_F(remove_test, in_a_sticky_directory_only_the_owner_removes) {
    SKIP_ON_WINE("creation times are not stored");
    const fs_credential owner = user(500, 500), stranger = user(1000, 1000);
    ASSERT_EQ(mkdir("saved", "tmp", with_mode(01777), owner), uint32_t(NFS_OK));
    ASSERT_EQ(create("saved\\tmp", "f", with_mode(0666), owner), uint32_t(NFS_OK));
    ASSERT_EQ(mkdir("saved\\tmp", "d", with_mode(0777), owner), uint32_t(NFS_OK));
    EXPECT_EQ(remove("saved\\tmp", "f", stranger), uint32_t(NFSERR_PERM));
    EXPECT_EQ(rmdir("saved\\tmp", "d", stranger), uint32_t(NFSERR_PERM));
    EXPECT_EQ(remove("saved\\tmp", "f", owner), uint32_t(NFS_OK));
    EXPECT_EQ(rmdir("saved\\tmp", "d", owner), uint32_t(NFS_OK));
    // Without the sticky bit a write bit on the directory is enough.
    ASSERT_EQ(create("saved", "g", with_mode(0444), owner), uint32_t(NFS_OK));
    ASSERT_EQ(mkdir("saved", "open", with_mode(0777), owner), uint32_t(NFS_OK));
    ASSERT_EQ(create("saved\\open", "g", with_mode(0444), owner), uint32_t(NFS_OK));
    EXPECT_EQ(remove("saved\\open", "g", stranger), uint32_t(NFSERR_ACCES)) << "neither writable nor owned";
}

TEST_F(remove_test, the_other_link_keeps_the_number_and_the_attributes) {
    make_file("plain\\a", "shared");
    ASSERT_TRUE(wp_create_hard_link(at("plain\\b").c_str(), at("plain\\a").c_str()));
    const uint32_t a = inode_of_path(at("plain\\a").c_str()), b = inode_of_path(at("plain\\b").c_str());
    const uint32_t number = link_identity(a, at("plain\\a").c_str());
    ASSERT_EQ(link_identity(b, at("plain\\b").c_str()), number);
    ASSERT_TRUE(wp_set_file_attributes(at("plain\\a").c_str(), HIDDEN));
    EXPECT_EQ(remove("plain", "a", me), uint32_t(NFS_OK));
    EXPECT_EQ(read_file("plain\\b"), "shared");
    EXPECT_EQ(windows_attributes("plain\\b"), HIDDEN);
    EXPECT_EQ(record_of("plain", "b"), number) << "the one name left answers with the number clients hold";
    EXPECT_EQ(inode_base_of(number), number);
}

}  // namespace
