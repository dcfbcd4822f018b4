// LOOKUP through directory handles: names, ".", "..", files gone behind the
// server's back, hostile names, hard links.
#include "tests/support/fs_calls.h"
#include "tests/support/file_tree.h"
#include "quen/fs/lookup.h"
#include "quen/fs/nfs_status.h"
#include "quen/inode/inode_tree.h"
#include "tests/mount/mount_test_env.h"

#include <string>

namespace {

struct lookup_test : mount_test {
    uint32_t mount_id = 0;

    void SetUp() override {
        mount_test::SetUp();
        if (HasFatalFailure()) return;
        make_dir("share");
        make_dir("share\\docs");
        make_file("share\\docs\\a.txt", "hello");
        make_file("outside.txt", "no");
        load_exports("@\\share -ci -alldirs\n");
        mount_id = mount_folder(ip("192.0.2.7"), export_at(0)->folder, export_at(0));
        ASSERT_NE(mount_id, 0u);
    }

    internal_handle handle_of(const std::string& relative, uint32_t mount) {
        const uint32_t inode = inode_of_path(at(relative).c_str());
        EXPECT_NE(inode, 0u) << relative;
        return handle_make(inode, 0, mount);
    }
    uint32_t look(const internal_handle& dir, const std::string& name, lookup_result& r, bool dir_attributes = true) {
        return fs_lookup(dir, name.data(), name.size(), ip("192.0.2.7"), user(1000, 1000), dir_attributes, r);
    }
};

TEST_F(lookup_test, a_name_gives_the_handle_and_attributes_of_its_file) {
    lookup_result r;
    ASSERT_EQ(look(handle_of("share\\docs", mount_id), "a.txt", r), uint32_t(NFS_OK));
    EXPECT_EQ(r.handle.word[HANDLE_WORD_ID_LOW], inode_of_path(at("share\\docs\\a.txt").c_str()));
    EXPECT_EQ(r.handle.word[HANDLE_WORD_MOUNT], mount_id);
    EXPECT_EQ(r.attributes.type, uint32_t(NF_REG));
    EXPECT_EQ(r.attributes.size, 5u);
    EXPECT_EQ(r.attributes.fileid, r.handle.word[HANDLE_WORD_ID_LOW]);
    EXPECT_EQ(r.dir_attributes.type, uint32_t(NF_DIR));
    // Names are found in any case, as Windows finds them.
    lookup_result upper;
    ASSERT_EQ(look(handle_of("share\\docs", mount_id), "A.TXT", upper), uint32_t(NFS_OK));
    EXPECT_EQ(upper.handle.word[HANDLE_WORD_ID_LOW], r.handle.word[HANDLE_WORD_ID_LOW]);
}

TEST_F(lookup_test, dot_is_the_directory_and_dot_dot_its_parent_inside_the_mount) {
    const internal_handle docs = handle_of("share\\docs", mount_id);
    lookup_result r;
    ASSERT_EQ(look(docs, ".", r), uint32_t(NFS_OK));
    EXPECT_EQ(r.handle.word[HANDLE_WORD_ID_LOW], docs.word[HANDLE_WORD_ID_LOW]);
    ASSERT_EQ(look(docs, "..", r), uint32_t(NFS_OK));
    EXPECT_EQ(r.handle.word[HANDLE_WORD_ID_LOW], inode_of_path(at("share").c_str()));
    EXPECT_EQ(r.attributes.type, uint32_t(NF_DIR));
    // Above the mounted folder is outside: stale, in both ways of asking.
    EXPECT_EQ(look(handle_of("share", mount_id), "..", r), uint32_t(NFSERR_STALE));
    EXPECT_EQ(look(handle_of("share", mount_id), "..", r, false), uint32_t(NFSERR_STALE));
    // A mount of the subfolder alone: its ".." is outside too.
    const uint32_t sub = mount_folder(ip("192.0.2.7"), at("share\\docs"), export_at(0));
    ASSERT_NE(sub, 0u);
    EXPECT_EQ(look(handle_of("share\\docs", sub), "..", r), uint32_t(NFSERR_STALE));
}

// Windows follows a folder link or junction to a name below it: one that
// leads out of the export is not passed through, inside it is.
TEST_F(lookup_test, a_folder_link_out_of_the_export_is_not_passed_through) {
    SKIP_ON_WINE("the volume holds no reparse points");
    make_dir("elsewhere");
    make_file("elsewhere\\secret", "no");
    // A junction, and a folder link looked up without the folder's attributes.
    for (bool junction : {true, false}) {
        const std::string out = junction ? "share\\out_j" : "share\\out_l", in = junction ? "share\\in_j" : "share\\in_l";
        make_link(out, at("elsewhere"), true, junction);
        make_link(in, at("share\\docs"), true, junction);
        lookup_result r;
        EXPECT_EQ(look(handle_of(out, mount_id), "secret", r, junction), uint32_t(NFSERR_ACCES)) << junction;
        EXPECT_EQ(look(handle_of(in, mount_id), "a.txt", r, junction), uint32_t(NFS_OK)) << junction;
    }
}

TEST_F(lookup_test, missing_names_give_2_and_a_file_deleted_behind_the_servers_back_loses_its_inode) {
    const internal_handle docs = handle_of("share\\docs", mount_id);
    lookup_result r;
    const uint32_t docs_inode = docs.word[HANDLE_WORD_ID_LOW];
    EXPECT_EQ(look(docs, "nothing", r), uint32_t(NFSERR_NOENT));
    EXPECT_EQ(inode_lookup(docs_inode, "nothing", 7), 0u) << "a missing name makes no record";
    ASSERT_EQ(look(docs, "a.txt", r), uint32_t(NFS_OK));
    ASSERT_NE(inode_lookup(docs_inode, "a.txt", 5), 0u);
    ASSERT_TRUE(wp_delete_file(at("share\\docs\\a.txt").c_str()));
    EXPECT_EQ(look(docs, "a.txt", r), uint32_t(NFSERR_NOENT));
    EXPECT_EQ(inode_lookup(docs_inode, "a.txt", 5), 0u);
}

TEST_F(lookup_test, a_file_handle_is_no_directory) {
    const internal_handle file = handle_of("share\\docs\\a.txt", mount_id);
    lookup_result r;
    EXPECT_EQ(look(file, "x", r), uint32_t(NFSERR_NOTDIR));
    EXPECT_EQ(look(file, "x", r, false), uint32_t(NFSERR_NOENT)) << "without attributes it is not examined";
    EXPECT_EQ(look(handle_of("share\\docs", mount_id + 1), "a.txt", r), uint32_t(NFSERR_STALE));
}

TEST_F(lookup_test, hostile_names_never_leave_the_export) {
    const internal_handle share = handle_of("share", mount_id);
    lookup_result r;
    for (const std::string& name : {std::string("../outside.txt"), std::string("..\\outside.txt"),
                                   std::string("docs/../../outside.txt"), std::string("..."),
                                   std::string("a\0b", 3), std::string("")}) {
        const uint32_t status = look(share, name, r);
        EXPECT_NE(status, uint32_t(NFS_OK)) << "name " << name;
        EXPECT_EQ(r.handle.word[HANDLE_WORD_ID_LOW], 0u) << "name " << name;
    }
}

TEST_F(lookup_test, hard_links_of_a_file_answer_with_one_number) {
    if (!wp_hard_links_available()) GTEST_SKIP() << "no hard links on this system";
    ASSERT_TRUE(wp_create_hard_link(at("share\\docs\\b.txt").c_str(), at("share\\docs\\a.txt").c_str()));
    const internal_handle docs = handle_of("share\\docs", mount_id);
    lookup_result a, b;
    ASSERT_EQ(look(docs, "a.txt", a), uint32_t(NFS_OK));
    ASSERT_EQ(look(docs, "b.txt", b), uint32_t(NFS_OK));
    EXPECT_EQ(a.handle.word[HANDLE_WORD_ID_LOW], b.handle.word[HANDLE_WORD_ID_LOW]);
    EXPECT_EQ(a.attributes.fileid, b.attributes.fileid);
    EXPECT_EQ(b.attributes.nlink, 2u);
}

}  // namespace
