// SETATTR: modes as Windows attributes or saved in the creation time,
// owners, sizes and times, and who may change them.
#include "tests/support/fs_calls.h"
#include "quen/fs/nfs_status.h"
#include "quen/fs/set_attr.h"
#include "quen/inode/inode_tree.h"
#include "tests/mount/mount_test_env.h"
#include "tests/support/file_tree.h"

#include <string>

namespace {

constexpr uint32_t RO = WP_FILE_ATTRIBUTE_READONLY, HIDDEN = WP_FILE_ATTRIBUTE_HIDDEN,
                   SYSTEM = WP_FILE_ATTRIBUTE_SYSTEM, NORMAL = WP_FILE_ATTRIBUTE_NORMAL;

xdr_sattr mode(uint32_t m) {
    xdr_sattr s{};
    s.set_mode = true;
    s.mode = m;
    return s;
}

struct set_attr_test : mount_test {
    uint32_t plain = 0, exec = 0, saved = 0, owned = 0, readonly = 0;

    void SetUp() override {
        mount_test::SetUp();
        if (HasFatalFailure()) return;
        for (const char* d : {"plain", "exec", "saved", "owned", "ro"}) make_dir(d);
        load_exports("@\\plain -ci -maproot:0\n@\\exec -ci -exec\n@\\saved -ci -sa -maproot:0\n@\\owned -ci -uid:500:500\n@\\ro -ci -ro\n");
        uint32_t* ids[] = {&plain, &exec, &saved, &owned, &readonly};
        for (size_t i = 0; i < 5; ++i) {
            *ids[i] = mount_folder(ip("192.0.2.7"), export_at(i)->folder, export_at(i));
            ASSERT_NE(*ids[i], 0u) << i;
        }
    }

    internal_handle handle_of(const std::string& relative, uint32_t mount) {
        return handle_make(inode_of_path(at(relative).c_str()), 0, mount);
    }
    uint32_t set(const std::string& relative, uint32_t mount, const xdr_sattr& s, file_attributes& after,
                 const fs_credential& cred = user(1000, 1000)) {
        file_attributes before{};
        return fs_setattr(handle_of(relative, mount), s, cred, before, after);
    }
    uint32_t windows_attributes(const std::string& relative) {
        return wp_get_file_attributes(at(relative).c_str()) & (RO | HIDDEN | SYSTEM);
    }
};

TEST(attributes_for_mode, the_mode_as_windows_attributes) {
    EXPECT_EQ(attributes_for_mode(0100644, 0, false), NORMAL);
    EXPECT_EQ(attributes_for_mode(0100444, 0, false), RO);
    EXPECT_EQ(attributes_for_mode(0100755, 0, false), exec_marker());
    EXPECT_EQ(attributes_for_mode(0100755, MOUNT_FLAG_EXEC, false), NORMAL) << "exec: every file is executable";
    EXPECT_EQ(attributes_for_mode(0104755, 0, false), HIDDEN | SYSTEM);
    EXPECT_EQ(attributes_for_mode(0104500, 0, false), RO | HIDDEN | SYSTEM);
    EXPECT_EQ(attributes_for_mode(040700, 0, false), NORMAL);
    EXPECT_EQ(attributes_for_mode(040600, 0, false), HIDDEN);
    EXPECT_EQ(attributes_for_mode(041777, 0, false), SYSTEM);
    EXPECT_EQ(attributes_for_mode(020644, 0, false), special_marker());
    EXPECT_EQ(attributes_for_mode(0120777, 0, false), special_marker());
    EXPECT_EQ(attributes_for_mode(020644, 0, true), NORMAL) << "a reparse point keeps no marker";
}

TEST_F(set_attr_test, chmod_of_a_file_sets_read_only_and_the_markers) {
    make_file("plain\\f", "abc");
    ASSERT_TRUE(wp_set_file_attributes(at("plain\\f").c_str(), RO));
    file_attributes a{};
    ASSERT_EQ(set("plain\\f", plain, mode(0644), a), uint32_t(NFS_OK));
    EXPECT_EQ(windows_attributes("plain\\f"), 0u);
    EXPECT_EQ(a.mode, 0100644u);
    ASSERT_EQ(set("plain\\f", plain, mode(0444), a), uint32_t(NFS_OK));
    EXPECT_EQ(windows_attributes("plain\\f"), RO);
    EXPECT_EQ(a.mode, 0100444u);
    ASSERT_EQ(set("plain\\f", plain, mode(0755), a), uint32_t(NFS_OK));
    EXPECT_EQ(windows_attributes("plain\\f"), exec_marker());
    EXPECT_EQ(a.mode, 0100755u);
    EXPECT_EQ(set("plain\\f", plain, mode(04755), a), uint32_t(NFSERR_ACCES)) << "set-user-id needs root";
    ASSERT_EQ(set("plain\\f", plain, mode(04755), a, user(0, 0)), uint32_t(NFS_OK));
    EXPECT_EQ(windows_attributes("plain\\f"), HIDDEN | SYSTEM);
    EXPECT_EQ(a.mode, 0104555u);
    EXPECT_EQ(a.size, 3u) << "the data is untouched";

    make_file("exec\\g", "x");
    ASSERT_EQ(set("exec\\g", exec, mode(0755), a), uint32_t(NFS_OK));
    EXPECT_EQ(windows_attributes("exec\\g"), 0u) << "exec export: no marker needed";
    EXPECT_EQ(a.mode, 0100755u);
}

TEST_F(set_attr_test, chmod_of_a_directory_sets_hidden_and_system) {
    make_dir("plain\\d");
    file_attributes a{};
    ASSERT_EQ(set("plain\\d", plain, mode(0700), a), uint32_t(NFS_OK));
    EXPECT_EQ(windows_attributes("plain\\d"), 0u);
    ASSERT_EQ(set("plain\\d", plain, mode(0600), a), uint32_t(NFS_OK));
    EXPECT_EQ(windows_attributes("plain\\d"), HIDDEN);
    ASSERT_EQ(set("plain\\d", plain, mode(01777), a), uint32_t(NFS_OK));
    EXPECT_EQ(windows_attributes("plain\\d"), SYSTEM);
    EXPECT_EQ(a.type, uint32_t(NF_DIR));
}

TEST_F(set_attr_test, saved_attributes_keep_mode_and_owner_in_the_creation_time) {
    SKIP_ON_WINE("creation times are not stored");
    make_file("saved\\f", "abc");
    xdr_sattr s = mode(0640);
    s.set_uid = s.set_gid = true;
    s.uid = s.gid = 1000;
    file_attributes a{};
    ASSERT_EQ(set("saved\\f", saved, s, a, user(0, 0)), uint32_t(NFS_OK));
    uint64_t creation = 0;
    {
        file_handle h(wp_create_file(at("saved\\f").c_str(), WP_FILE_READ_ATTRIBUTES, WP_FILE_SHARE_ALL,
                                     WP_OPEN_EXISTING, 0));
        ASSERT_TRUE(wp_get_file_time(h.get(), &creation, nullptr, nullptr));
    }
    EXPECT_EQ(creation, 0x000081A003E803E8ull);
    EXPECT_EQ(a.mode, 0100640u) << "no widening, no umask";
    EXPECT_EQ(a.uid, 1000u);
    EXPECT_EQ(a.gid, 1000u);
    // A chmod alone keeps the owner the file shows.
    ASSERT_EQ(set("saved\\f", saved, mode(0600), a, user(1000, 1000)), uint32_t(NFS_OK));
    EXPECT_EQ(a.mode, 0100600u);
    EXPECT_EQ(a.uid, 1000u);
    EXPECT_EQ(a.gid, 1000u);
    ASSERT_EQ(set("saved\\f", saved, mode(0400), a, user(1000, 1000)), uint32_t(NFS_OK));
    EXPECT_EQ(windows_attributes("saved\\f"), RO);
    // Times alone leave the creation time as it is.
    xdr_sattr t{};
    t.set_mtime = true;
    t.mtime_sec = 1000000000;
    ASSERT_EQ(set("saved\\f", saved, t, a, user(1000, 1000)), uint32_t(NFS_OK));
    EXPECT_EQ(a.mode, 0100400u);
    EXPECT_EQ(a.mtime.seconds, 1000000000u);
}

// The set-group-id bit stays only with a group its owner is in, else any
// user could make a file that runs as group 0.
TEST_F(set_attr_test, a_user_keeps_set_group_id_only_with_a_group_of_its_own) {
    SKIP_ON_WINE("creation times are not stored");
    make_file("saved\\f", "abc");
    xdr_sattr own = mode(0755);
    own.set_uid = own.set_gid = true;
    own.uid = own.gid = 1000;
    file_attributes a{};
    ASSERT_EQ(set("saved\\f", saved, own, a, user(0, 0)), uint32_t(NFS_OK));
    fs_credential in_50 = user(1000, 1000);
    in_50.gid_count = 1;
    in_50.gids[0] = 50;
    struct step { bool set_mode; uint32_t gid; fs_credential caller; uint32_t status, mode_after; } steps[] = {
        {true, 50, in_50, NFS_OK, 0102755},             // a supplementary group of the caller
        {false, 1000, in_50, NFS_OK, 0102755},          // its own group: the bit stays
        {false, 0, in_50, NFSERR_PERM, 0102755},        // group 0 is none of its groups
        {true, 0, user(0, 0), NFS_OK, 0102755},         // root gives the file any group
        {true, 0, user(1000, 1000), NFS_OK, 0100755},   // where its owner cannot set the bit
    };
    for (const step& t : steps) {
        xdr_sattr s = t.set_mode ? mode(02755) : xdr_sattr{};
        s.set_gid = true;
        s.gid = t.gid;
        ASSERT_EQ(set("saved\\f", saved, s, a, t.caller), t.status) << t.gid;
        if (t.status != NFS_OK) {
            ASSERT_EQ(set("saved\\f", saved, xdr_sattr{}, a, t.caller), uint32_t(NFS_OK));
        }
        EXPECT_EQ(a.mode, t.mode_after) << t.gid << " by " << t.caller.uid;
        EXPECT_EQ(a.gid, t.status == NFS_OK ? t.gid : 1000u);
    }
}

// The saved form keeps 16 bits of each id: a wider one would be cut to
// another user's or group's.
TEST_F(set_attr_test, ids_too_wide_for_the_saved_form_are_invalid_and_change_nothing) {
    SKIP_ON_WINE("no creation times are stored, so saved ids cannot be read back");
    make_file("saved\\f", "abc");
    xdr_sattr own = mode(0640);
    own.set_uid = own.set_gid = true;
    own.uid = own.gid = 1000;
    file_attributes was{};
    ASSERT_EQ(set("saved\\f", saved, own, was, user(0, 0)), uint32_t(NFS_OK));
    struct wide { bool uid; uint32_t id; int32_t caller; } cases[] = {
        {true, 70000, 0}, {false, 65536, 0}, {false, 65536, 1000}};
    for (const wide& c : cases) {
        xdr_sattr s = mode(0600);
        (c.uid ? s.set_uid : s.set_gid) = true;
        (c.uid ? s.uid : s.gid) = c.id;
        file_attributes a{};
        fs_credential caller = user(c.caller, 1000);
        caller.gid_count = 1;
        caller.gids[0] = 65536;   // a group it is in, but one the saved form cannot hold
        EXPECT_EQ(set("saved\\f", saved, s, a, caller), uint32_t(NFSERR_INVAL)) << c.id;
        file_attributes now{};
        ASSERT_EQ(set("saved\\f", saved, xdr_sattr{}, now, user(1000, 1000)), uint32_t(NFS_OK));
        EXPECT_EQ(now.mode, was.mode) << c.id;
        EXPECT_EQ(now.uid, was.uid) << c.id;
        EXPECT_EQ(now.gid, was.gid) << c.id;
    }
}

TEST_F(set_attr_test, a_size_change_of_a_link_is_refused_and_leaves_the_target) {
    SKIP_ON_WINE("the volume holds no reparse points");
    make_file("owned\\victim", "keep me");
    make_link("plain\\out", at("owned\\victim"), false);
    xdr_sattr s{};
    s.set_size = true;
    file_attributes a{};
    EXPECT_EQ(set("plain\\out", plain, s, a), uint32_t(NFSERR_INVAL));
    EXPECT_EQ(read_file("owned\\victim"), "keep me");
}

TEST_F(set_attr_test, who_may_change_what) {
    make_file("owned\\f", "abc");
    file_attributes a{};
    EXPECT_EQ(set("owned\\f", owned, mode(0600), a, user(1000, 1000)), uint32_t(NFSERR_PERM)) << "not the owner";
    xdr_sattr chown{};
    chown.set_uid = true;
    chown.uid = 600;
    EXPECT_EQ(set("owned\\f", owned, chown, a, user(500, 500)), uint32_t(NFSERR_ACCES)) << "only root gives files away";
    EXPECT_EQ(set("owned\\f", owned, mode(04755), a, user(500, 500)), uint32_t(NFSERR_ACCES));
    xdr_sattr chgrp{};
    chgrp.set_gid = true;
    chgrp.gid = 700;
    EXPECT_EQ(set("owned\\f", owned, chgrp, a, user(500, 500)), uint32_t(NFSERR_PERM)) << "only to a group of its own";
    fs_credential in_700 = user(500, 500);
    in_700.gid_count = 1;
    in_700.gids[0] = 700;
    EXPECT_EQ(set("owned\\f", owned, chgrp, a, in_700), uint32_t(NFS_OK));
    EXPECT_EQ(set("owned\\f", owned, mode(0600), a, user(500, 500)), uint32_t(NFS_OK));

    make_file("ro\\f", "abc");
    EXPECT_EQ(set("ro\\f", readonly, mode(0600), a), uint32_t(NFSERR_ROFS));
    EXPECT_EQ(set("plain\\gone", plain, mode(0600), a), uint32_t(NFSERR_STALE));
}

TEST_F(set_attr_test, a_device_keeps_its_permissions_in_its_record_and_needs_root) {
    uint8_t record[kSpecialRecordSize];
    make_special_record(NF_CHR, 4, 64, 0644, record);
    make_file("plain\\tty", std::string(reinterpret_cast<char*>(record), sizeof record));
    ASSERT_TRUE(wp_set_file_attributes(at("plain\\tty").c_str(), special_marker()));
    file_attributes a{};
    EXPECT_EQ(set("plain\\tty", plain, mode(0600), a, user(1000, 1000)), uint32_t(NFSERR_PERM)) << "root owns devices";
    ASSERT_EQ(set("plain\\tty", plain, mode(0600), a, user(0, 0)), uint32_t(NFS_OK));
    EXPECT_EQ(a.type, uint32_t(NF_CHR));
    EXPECT_EQ(a.mode, 020600u);
    EXPECT_EQ(a.rdev_major, 4u);
    EXPECT_EQ(a.rdev_minor, 64u);
    EXPECT_EQ(windows_attributes("plain\\tty"), special_marker());
    // A file that holds no record is never written into.
    make_file("plain\\data", "0123456789");
    EXPECT_TRUE(write_special_mode(0600, at("plain\\data").c_str()));
    EXPECT_EQ(read_file("plain\\data"), "0123456789");
}

TEST_F(set_attr_test, sizes_and_times) {
    make_file("plain\\f", "hello world");
    ASSERT_TRUE(wp_set_file_attributes(at("plain\\f").c_str(), RO));
    xdr_sattr s{};
    s.set_size = true;
    s.size = 5;
    file_attributes a{};
    ASSERT_EQ(set("plain\\f", plain, s, a), uint32_t(NFS_OK));
    EXPECT_EQ(a.size, 5u);
    EXPECT_EQ(read_file("plain\\f"), "hello");
    EXPECT_EQ(windows_attributes("plain\\f"), RO) << "read-only comes back after the change";
    s.size = 8;
    s.set_mtime = true;
    s.mtime_sec = 1234567890;
    s.mtime_nsec = 500000000;
    ASSERT_EQ(set("plain\\f", plain, s, a), uint32_t(NFS_OK));
    EXPECT_EQ(read_file("plain\\f"), std::string("hello\0\0\0", 8));
    EXPECT_EQ(a.mtime.seconds, 1234567890u);
    make_dir("plain\\d");
    EXPECT_EQ(set("plain\\d", plain, s, a), uint32_t(NFSERR_ISDIR));
}

}  // namespace
