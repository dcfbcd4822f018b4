// RENAME through directory handles: moves and replacements, the type rules,
// names of one file, case-only changes, and that a target is never lost.
#include "quen/config/settings.h"
#include "quen/fs/nfs_status.h"
#include "tests/fs/namespace_test_env.h"
#include "tests/support/file_tree.h"

namespace {

using rename_test = namespace_test;

TEST_F(rename_test, a_file_moves_with_its_number_and_replaces_a_target) {
    make_dir("plain\\sub");
    struct move {
        const char* from_dir;
        const char* to_dir;
        const char* to;
        bool target_exists;
    };
    const move moves[] = {
        {"plain", "plain", "renamed", false},
        {"plain", "plain\\sub", "moved", false},
        {"plain", "plain", "victim", true},
        {"plain", "plain\\sub", "victim", true},
    };
    for (const move& m : moves) {
        const std::string from = std::string(m.from_dir) + "\\f", to = std::string(m.to_dir) + "\\" + m.to;
        make_file("plain\\f", "source");
        if (m.target_exists) make_file(to, "target");
        ASSERT_TRUE(wp_set_file_attributes(at(from).c_str(), WP_FILE_ATTRIBUTE_HIDDEN));
        const uint32_t number = inode_of_path(at(from).c_str());
        ASSERT_EQ(rename(m.from_dir, "f", m.to_dir, m.to, me), uint32_t(NFS_OK)) << to;
        EXPECT_FALSE(exists(from)) << to;
        EXPECT_EQ(read_file(to), "source") << to;
        EXPECT_EQ(record_of(m.to_dir, m.to), number) << to << ": handles of the file stay valid";
        EXPECT_EQ(record_of(m.from_dir, "f"), 0u) << to;
        EXPECT_EQ(windows_attributes(to), uint32_t(WP_FILE_ATTRIBUTE_HIDDEN)) << to << ": the attributes go along";
        ASSERT_TRUE(wp_set_file_attributes(at(to).c_str(), WP_FILE_ATTRIBUTE_NORMAL));
        ASSERT_TRUE(wp_delete_file(at(to).c_str()));
    }
}

TEST_F(rename_test, the_type_rules_of_rfc_1813) {
    make_file("plain\\f", "file");
    make_dir("plain\\d");
    make_file("plain\\d\\f", "inside");
    make_dir("plain\\empty");
    make_dir("plain\\full");
    make_file("plain\\full\\x", "");
    EXPECT_EQ(rename("plain", "f", "plain", "d", me), uint32_t(NFSERR_ISDIR)) << "not moved inside";
    EXPECT_EQ(read_file("plain\\d\\f"), "inside");
    EXPECT_EQ(rename("plain", "d", "plain", "f", me), uint32_t(NFSERR_NOTDIR));
    EXPECT_EQ(rename("plain", "d", "plain", "full", me), uint32_t(NFSERR_NOTEMPTY));
    EXPECT_EQ(read_file("plain\\full\\x"), "");
    EXPECT_EQ(rename("plain", "d", "plain", "empty", me), uint32_t(NFS_OK));
    EXPECT_EQ(read_file("plain\\empty\\f"), "inside");
    EXPECT_EQ(rename("plain", "f", "plain", ".", me), uint32_t(NFSERR_INVAL));
    EXPECT_EQ(rename("plain", "empty", "plain\\full", "..", me), uint32_t(NFSERR_INVAL));
    EXPECT_EQ(rename("plain", "..", "plain", "up", me), uint32_t(NFSERR_INVAL));
    EXPECT_EQ(rename("plain", "gone", "plain", "x", me), uint32_t(NFSERR_NOENT));
    EXPECT_TRUE(exists("plain\\f"));
}

// Open without sharing delete, the source cannot move: the target, file or
// emptied directory, must still be there afterwards.
TEST_F(rename_test, a_failed_move_keeps_the_target) {
    for (bool directories : {false, true}) {
        const std::string source = directories ? "plain\\sd" : "plain\\sf";
        const std::string target = directories ? "plain\\td" : "plain\\tf";
        if (directories) {
            make_dir(source);
            make_dir(target);
            ASSERT_TRUE(wp_set_file_attributes(at(target).c_str(), WP_FILE_ATTRIBUTE_SYSTEM));
        } else {
            make_file(source, "source");
            make_file(target, "target");
        }
        const uint32_t number = inode_of_path(at(target).c_str());
        file_handle keep(wp_create_file(at(source).c_str(), WP_GENERIC_READ, WP_FILE_SHARE_READ, WP_OPEN_EXISTING,
                                        WP_FILE_FLAG_BACKUP_SEMANTICS));
        ASSERT_TRUE(keep.valid());
        EXPECT_NE(rename("plain", source.substr(6), "plain", target.substr(6), me), uint32_t(NFS_OK)) << target;
        ASSERT_TRUE(exists(target)) << target;
        if (directories) {
            EXPECT_EQ(windows_attributes(target), uint32_t(WP_FILE_ATTRIBUTE_SYSTEM));
        } else {
            EXPECT_EQ(read_file(target), "target");
        }
        EXPECT_EQ(inode_of_path(at(target).c_str()), number) << target;
        EXPECT_TRUE(exists(source));
    }
}

TEST_F(rename_test, two_names_of_one_file_stay_whatever_the_hard_link_setting) {
    const uint32_t was = g_settings.record.hard_links;
    for (uint32_t setting : {1u, 0u}) {
        g_settings.record.hard_links = setting;
        make_file("plain\\a", "shared");
        ASSERT_TRUE(wp_create_hard_link(at("plain\\b").c_str(), at("plain\\a").c_str()));
        EXPECT_EQ(rename("plain", "a", "plain", "b", me), uint32_t(NFS_OK)) << setting;
        EXPECT_EQ(read_file("plain\\a"), "shared") << setting;
        EXPECT_EQ(read_file("plain\\b"), "shared") << setting;
        ASSERT_TRUE(wp_delete_file(at("plain\\a").c_str()));
        ASSERT_TRUE(wp_delete_file(at("plain\\b").c_str()));
    }
    g_settings.record.hard_links = was;
}

TEST_F(rename_test, a_change_of_case_only_renames_on_disk) {
    SKIP_ON_WINE("MoveFileW to another case of the same name keeps the old one");
    make_file("plain\\Readme", "text");
    const uint32_t number = inode_of_path(at("plain\\Readme").c_str());
    ASSERT_EQ(rename("plain", "Readme", "plain", "README", me), uint32_t(NFS_OK));
    wp_find_data found;
    wp_find_handle h = wp_find_first(at("plain\\readme").c_str(), WP_FIND_EX_INFO_BASIC, &found, 0, 0);
    ASSERT_NE(h, WP_INVALID_FIND_HANDLE);
    wp_find_close(h);
    EXPECT_STREQ(found.name, "README");
    EXPECT_EQ(read_file("plain\\README"), "text");
    EXPECT_EQ(record_of("plain", "README"), number);
}

TEST_F(rename_test, who_may_rename) {
    make_file("plain\\f", "");
    make_file("other\\g", "");
    EXPECT_EQ(rename("plain", "f", "other", "f", me), uint32_t(NFSERR_IO)) << "two mounts";
    EXPECT_TRUE(exists("plain\\f"));
    SKIP_ON_WINE("creation times are not stored");
    const fs_credential owner = user(500, 500), stranger = user(1000, 1000);
    ASSERT_EQ(mkdir("saved", "tmp", with_mode(01777), owner), uint32_t(NFS_OK));
    ASSERT_EQ(create("saved\\tmp", "f", with_mode(0666), owner), uint32_t(NFS_OK));
    ASSERT_EQ(create("saved\\tmp", "mine", with_mode(0666), stranger), uint32_t(NFS_OK));
    EXPECT_EQ(rename("saved\\tmp", "f", "saved\\tmp", "g", stranger), uint32_t(NFSERR_PERM)) << "sticky";
    EXPECT_EQ(rename("saved\\tmp", "mine", "saved\\tmp", "f", stranger), uint32_t(NFSERR_PERM)) << "not the target's owner";
    ASSERT_EQ(mkdir("saved", "closed", with_mode(0755), owner), uint32_t(NFS_OK));
    EXPECT_EQ(rename("saved\\tmp", "mine", "saved\\closed", "mine", stranger), uint32_t(NFSERR_ACCES));
    EXPECT_EQ(rename("saved\\tmp", "f", "saved", "f", owner), uint32_t(NFS_OK));
}

}  // namespace
