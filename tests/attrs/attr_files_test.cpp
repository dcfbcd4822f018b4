// Files made on the volume, read back as a UNIX client sees them (default
// markers, umask 022, caller 1000/1000 unless a test says otherwise).
#include "quen/fs/nfs_status.h"
#include "tests/attrs/attrs_env.h"

#include <cstring>
#include <functional>

namespace {

constexpr uint32_t RO = WP_FILE_ATTRIBUTE_READONLY;
constexpr uint32_t HIDDEN = WP_FILE_ATTRIBUTE_HIDDEN;
constexpr uint32_t SYSTEM = WP_FILE_ATTRIBUTE_SYSTEM;

std::string special_record(uint32_t type, uint32_t major, uint32_t minor, uint32_t perms) {
    uint8_t r[kSpecialRecordSize];
    make_special_record(type, major, minor, perms, r);
    return std::string(reinterpret_cast<const char*>(r), sizeof r);
}

TEST_F(attrs_test, PlainFiles) {
    make_file("ro", "x", RO);
    make_file("rw", "hello");
    make_file("hidden", "", HIDDEN);
    file_attributes a = attr_of("ro");
    EXPECT_EQ(a.mode, 0100444u);
    EXPECT_EQ(a.type, uint32_t(NF_REG));
    EXPECT_EQ(a.size, 1u);
    a = attr_of("rw");
    EXPECT_EQ(a.mode, 0100644u);
    EXPECT_EQ(a.size, 5u);
    EXPECT_EQ(a.nlink, 1u);
    EXPECT_EQ(a.uid, 1000u);
    EXPECT_EQ(a.gid, 1000u);
    EXPECT_EQ(a.fsid, ctx.volume_serial);
    EXPECT_EQ(a.fileid, 4096u);
    EXPECT_EQ(attr_of("hidden").mode, 0100755u);
}

TEST_F(attrs_test, ExecOptionAndSetting) {
    make_file("f");
    make_file("ro", "", RO);
    ctx.flags |= MOUNT_FLAG_EXEC;
    EXPECT_EQ(attr_of("f").mode, 0100755u);
    EXPECT_EQ(attr_of("ro").mode, 0100555u);
    ctx.flags &= ~uint32_t(MOUNT_FLAG_EXEC);
    g_settings.record.set_exec = 1;
    EXPECT_EQ(attr_of("f").mode, 0100755u);
}

TEST_F(attrs_test, UmaskOfTheExport) {
    make_file("f");
    make_dir("d");
    entry.fixed.umask = 077;
    EXPECT_EQ(attr_of("f").mode, 0100600u);
    EXPECT_EQ(attr_of("d").mode, 040700u);
    entry.fixed.umask = 0777;  // only group and other bits count
    EXPECT_EQ(attr_of("f").mode, 0100600u);
    entry.fixed.umask = 0;
    EXPECT_EQ(attr_of("f").mode, 0100666u);
}

TEST_F(attrs_test, Directories) {
    make_dir("d");
    make_dir("hd", HIDDEN);
    make_dir("sd", SYSTEM);
    file_attributes a = attr_of("d");
    EXPECT_EQ(a.mode, 040755u);
    EXPECT_EQ(a.type, uint32_t(NF_DIR));
    EXPECT_EQ(a.size, 4096u);  // whatever the volume says of a directory's size, never 0
    EXPECT_EQ(attr_of("hd").mode, 040644u);
    EXPECT_EQ(attr_of("sd").mode, 041755u);
}

TEST_F(attrs_test, DirectoryLinkCount) {
    make_dir("d");
    make_dir("d\\a");
    make_dir("d\\b");
    make_dir("d\\c");
    make_file("d\\file");
    EXPECT_EQ(count_subdirectories(at("d").c_str()), 5u);
    EXPECT_EQ(attr_of("d").nlink, 5u);
    EXPECT_EQ(attr_of("d\\a").nlink, 2u);
    ctx.flags |= MOUNT_FLAG_NOSDC;
    EXPECT_EQ(attr_of("d").nlink, 1u);
    g_settings.record.dir_count = 7;
    EXPECT_EQ(attr_of("d").nlink, 7u);
}

// The count is kept between fetches: every change of the directory's
// subdirectories, made by anyone, shows at the next fetch; files do not count.
TEST_F(attrs_test, DirectoryLinkCountFollowsEveryChange) {
    make_dir("d");
    make_dir("d\\a");
    make_dir("d\\b");
    const struct {
        const char* what;
        std::function<bool()> change;
        uint32_t nlink;
    } steps[] = {
        {"start", [] { return true; }, 4},
        {"mkdir", [&] { return wp_create_directory(at("d\\c").c_str()); }, 5},
        {"new file", [&] { make_file("d\\f"); return true; }, 5},
        {"rename inside", [&] { return wp_move_file(at("d\\a").c_str(), at("d\\a2").c_str()); }, 5},
        {"moved out", [&] { return wp_move_file(at("d\\b").c_str(), at("b").c_str()); }, 4},
        {"moved in", [&] { return wp_move_file(at("b").c_str(), at("d\\b").c_str()); }, 5},
        {"rmdir", [&] { return wp_remove_directory(at("d\\c").c_str()); }, 4},
        {"file removed", [&] { return wp_delete_file(at("d\\f").c_str()); }, 4},
        {"junction", [&] {
             make_dir("d\\j");
             return set_reparse(at("d\\j"), link_reparse_data(WP_IO_REPARSE_TAG_MOUNT_POINT,
                                                                "\\??\\" + at("d\\a2"), at("d\\a2"), false));
         }, 5},
    };
    for (const auto& s : steps) {
        if (running_under_wine() && std::string(s.what) == "junction") break;  // Wine sets no reparse points
        ASSERT_TRUE(s.change()) << s.what;
        EXPECT_EQ(attr_of("d").nlink, s.nlink) << s.what;
        EXPECT_EQ(count_subdirectories(at("d").c_str()), s.nlink) << s.what;
    }
}

TEST_F(attrs_test, VolumeRootModeAndCount) {
    // A volume root lists no "." and "..": they are added.
    make_dir("d");
    const uint32_t plain = count_subdirectories(at("d").c_str());
    const uint32_t with_slash = count_subdirectories((at("d") + "\\").c_str());
    EXPECT_EQ(plain, 2u);
    EXPECT_EQ(with_slash, 4u);
    // A hidden volume root keeps owner search, unlike a hidden directory.
    windows_facts f{};
    f.attributes = WP_FILE_ATTRIBUTE_DIRECTORY | HIDDEN;
    file_attributes a{};
    synthesize_mode(ctx, "Z:\\", user_credential(1000, 1000), f, a);
    EXPECT_EQ(a.mode, 040755u);
    synthesize_mode(ctx, "Z:\\x", user_credential(1000, 1000), f, a);
    EXPECT_EQ(a.mode, 040644u);
}

TEST_F(attrs_test, CharacterAndBlockDeviceRecords) {
    make_file("tty", special_record(NF_CHR, 4, 64, 0620), SYSTEM);
    make_file("disk", special_record(NF_BLK, 8, 1, 0660), SYSTEM | RO);
    file_attributes a = attr_of("tty");
    EXPECT_EQ(a.type, uint32_t(NF_CHR));
    EXPECT_EQ(a.mode, 020620u);
    EXPECT_EQ(a.rdev_major, 4u);
    EXPECT_EQ(a.rdev_minor, 64u);
    EXPECT_EQ(a.uid, 0u);
    EXPECT_EQ(a.gid, 0u);
    a = attr_of("disk");
    EXPECT_EQ(a.type, uint32_t(NF_BLK));
    EXPECT_EQ(a.mode, 060660u);  // the stored bits, read-only or not
    EXPECT_EQ(a.rdev_major, 8u);
    EXPECT_EQ(a.rdev_minor, 1u);
}

TEST_F(attrs_test, RecordOfAnotherTypeIsARegularFile) {
    make_file("odd", special_record(NF_REG, 1, 2, 0777), SYSTEM);
    // Without the marker a device record is just data.
    make_file("plain", special_record(NF_CHR, 1, 2, 0777));
    file_attributes a = attr_of("odd");
    EXPECT_EQ(a.type, uint32_t(NF_REG));
    EXPECT_EQ(a.mode, 0100755u);
    EXPECT_EQ(a.uid, 0u);
    a = attr_of("plain");
    EXPECT_EQ(a.type, uint32_t(NF_REG));
    EXPECT_EQ(a.mode, 0100644u);
    EXPECT_EQ(a.rdev_major, 0u);
}

TEST_F(attrs_test, SymbolicLinkFiles) {
    make_file("lib", "../lib", SYSTEM);
    make_file("zero", std::string("../l\0b", 6), SYSTEM);
    make_file("lf", "../lib\n", SYSTEM | RO);
    make_file("empty", "", SYSTEM);
    file_attributes a = attr_of("lib");
    EXPECT_EQ(a.type, uint32_t(NF_LNK));
    EXPECT_EQ(a.mode, 0120777u);
    EXPECT_EQ(a.size, 6u);
    a = attr_of("zero");
    EXPECT_EQ(a.type, uint32_t(NF_REG));
    EXPECT_EQ(a.mode, 0100755u);
    EXPECT_EQ(a.uid, 0u);
    a = attr_of("lf");
    EXPECT_EQ(a.type, uint32_t(NF_REG));
    EXPECT_EQ(a.mode, 0100555u);
    EXPECT_EQ(attr_of("empty").type, uint32_t(NF_REG));
}

TEST_F(attrs_test, SystemAndHidden) {
    make_file("suid", "data", SYSTEM | HIDDEN);
    make_file("ro", "data", SYSTEM | HIDDEN | RO);
    file_attributes a = attr_of("suid");
    EXPECT_EQ(a.mode, 0104555u);
    EXPECT_EQ(a.type, uint32_t(NF_REG));
    EXPECT_EQ(a.uid, 0u);
    EXPECT_EQ(attr_of("ro").mode, 0100500u);
}

TEST_F(attrs_test, X2systemSwapsMarkers) {
    g_settings.record.x2system = 1;
    make_file("exec", "data", SYSTEM);
    make_file("link", "target", HIDDEN);
    EXPECT_EQ(attr_of("exec").mode, 0100755u);
    file_attributes a = attr_of("link");
    EXPECT_EQ(a.type, uint32_t(NF_LNK));
    EXPECT_EQ(a.size, 6u);
}

TEST_F(attrs_test, SavedAttributesInCreationTime) {
    SKIP_ON_WINE("creation times are not stored");
    make_file("f", "abc");
    set_creation_time("f", 0x000081A403E803E8ull);
    file_attributes a = attr_of("f");
    // Without saved attributes the creation time means nothing.
    EXPECT_EQ(a.mode, 0100644u);
    EXPECT_EQ(a.uid, 1000u);
    ASSERT_TRUE(ctx.flags & MOUNT_FLAG_NTFS) << "the test folder's volume keeps no extended attributes";
    ctx.flags |= MOUNT_FLAG_SAVED_ATTRIBUTES;
    a = attr_of("f", user_credential(5, 6));
    EXPECT_EQ(a.mode, 0100644u);
    EXPECT_EQ(a.type, uint32_t(NF_REG));
    EXPECT_EQ(a.uid, 1000u);
    EXPECT_EQ(a.gid, 1000u);
    EXPECT_EQ(a.size, 3u);
    // Stored modes are final: no widening, no umask.
    set_creation_time("f", saved_attributes_time(0140701, 7, 8));
    a = attr_of("f");
    EXPECT_EQ(a.type, uint32_t(NF_SOCK));
    EXPECT_EQ(a.mode, 0140701u);
    // Read-only clears the write bits.
    set_creation_time("f", saved_attributes_time(0100666, 7, 8));
    ASSERT_TRUE(wp_set_file_attributes(at("f").c_str(), RO));
    EXPECT_EQ(attr_of("f").mode, 0100444u);
}

TEST_F(attrs_test, SavedIdsSignExtendForNegativeCallers) {
    SKIP_ON_WINE("creation times are not stored");
    make_file("f");
    ctx.flags |= MOUNT_FLAG_SAVED_ATTRIBUTES;
    set_creation_time("f", saved_attributes_time(0100600, 0xFFFE, 0xFFFD));
    file_attributes a = attr_of("f", user_credential(-2, -3));
    EXPECT_EQ(a.uid, 0xFFFFFFFEu);
    EXPECT_EQ(a.gid, 0xFFFFFFFDu);
    a = attr_of("f", user_credential(1000, -3));
    EXPECT_EQ(a.uid, 0xFFFEu);
    EXPECT_EQ(a.gid, 0xFFFFFFFDu);
    a = attr_of("f", user_credential(-40000, 1));
    EXPECT_EQ(a.uid, 0xFFFEu);
    EXPECT_EQ(a.gid, 0xFFFDu);
}

TEST_F(attrs_test, SquashedRootSeesRootOwnership) {
    make_file("f");
    fs_credential c = user_credential(0, 0);
    c.gid_count = 1;
    c.gids[0] = 0;
    map_credential(ctx, c);
    ASSERT_EQ(c.uid, 65534);
    file_attributes a = attr_of("f", c);
    EXPECT_EQ(a.uid, 0u);
    EXPECT_EQ(a.gid, 0u);
    EXPECT_EQ(a.mode, 0100644u);
    // ... and may not write it.
    EXPECT_EQ(permitted_bits(0222, a, c), 0u);
    EXPECT_FALSE(is_owner(a.uid, c));
}

TEST_F(attrs_test, UidOptionOwnsEverything) {
    make_file("f");
    ctx.flags |= MOUNT_FLAG_UID;
    entry.fixed.uid_uid = 77;
    entry.fixed.uid_gid = 88;
    file_attributes a = attr_of("f");
    EXPECT_EQ(a.uid, 77u);
    EXPECT_EQ(a.gid, 1000u);
    ctx.flags |= MOUNT_FLAG_UID_GROUP;
    a = attr_of("f");
    EXPECT_EQ(a.gid, 88u);
}

TEST_F(attrs_test, TimesComeFromLastWriteAndAccess) {
    make_file("f");
    {
        file_handle h(wp_create_file(at("f").c_str(), WP_FILE_WRITE_ATTRIBUTES, WP_FILE_SHARE_ALL, WP_OPEN_EXISTING, 0));
        ASSERT_TRUE(h.valid());
        const uint64_t write = unix_to_filetime(1500000000, 0), access = unix_to_filetime(1600000000, 0);
        ASSERT_TRUE(wp_set_file_time(h.get(), nullptr, &access, &write));
    }
    const file_attributes a = attr_of("f");
    EXPECT_EQ(a.mtime.seconds, 1500000000u);
    EXPECT_EQ(a.ctime.seconds, 1500000000u);
    EXPECT_EQ(a.atime.seconds, 1600000000u);
    EXPECT_EQ(a.mtime.nseconds, 0u);
}

TEST_F(attrs_test, MissingFileIsStale) {
    file_attributes a{};
    a.mode = 123;
    uint32_t status = 0;
    EXPECT_EQ(get_attributes(0, ctx, at("gone").c_str(), WP_INVALID_HANDLE, user_credential(1, 1), a, &status),
              WP_INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(status, uint32_t(NFSERR_STALE));
    EXPECT_EQ(a.mode, 0u);
    EXPECT_EQ(get_attributes(0, ctx, at("gone\\deeper").c_str(), WP_INVALID_HANDLE, user_credential(1, 1), a, &status),
              WP_INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(status, uint32_t(NFSERR_STALE));
}

TEST_F(attrs_test, GivenHandleOfAnotherVolumeIsStale) {
    make_file("f");
    file_handle h(wp_create_file(at("f").c_str(), 0, WP_FILE_SHARE_ALL, WP_OPEN_EXISTING, WP_FILE_FLAG_BACKUP_SEMANTICS));
    ASSERT_TRUE(h.valid());
    file_attributes a{};
    uint32_t status = 0;
    EXPECT_NE(get_attributes(32, ctx, at("f").c_str(), h.get(), user_credential(1, 1), a, &status),
              WP_INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(status, 0u);
    mount_context other = ctx;
    other.volume_serial ^= 1;
    EXPECT_EQ(get_attributes(32, other, at("f").c_str(), h.get(), user_credential(1, 1), a, &status),
              WP_INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(status, uint32_t(NFSERR_STALE));
}

TEST_F(attrs_test, TypeAndModeWithoutOpening) {
    make_file("tty", special_record(NF_CHR, 5, 1, 0600), SYSTEM);
    make_dir("Dir");
    type_and_mode t{};
    uint32_t status = 1;
    EXPECT_NE(get_type_and_mode(ctx, at("tty").c_str(), user_credential(1000, 1000), false, t, &status),
              WP_INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(t.type, uint32_t(NF_CHR));
    EXPECT_EQ(t.mode, 020600u);
    EXPECT_EQ(t.rdev_major, 5u);
    EXPECT_EQ(t.uid, 0u);
    EXPECT_NE(get_type_and_mode(ctx, at("dir").c_str(), user_credential(1000, 1000), false, t, &status),
              WP_INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(t.mode, 040755u);
    EXPECT_EQ(t.uid, 1000u);
    // Case-exact in a case-sensitive mount: "dir" is not "Dir".
    ctx.flags |= MOUNT_FLAG_CASE_SENSITIVE;
    EXPECT_EQ(get_type_and_mode(ctx, at("dir").c_str(), user_credential(1000, 1000), true, t, &status),
              WP_INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(status, uint32_t(NFSERR_NOENT));
    EXPECT_NE(get_type_and_mode(ctx, at("Dir").c_str(), user_credential(1000, 1000), true, t, &status),
              WP_INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(t.type, uint32_t(NF_DIR));
    EXPECT_EQ(get_type_and_mode(ctx, at("none").c_str(), user_credential(1000, 1000), false, t, &status),
              WP_INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(status, uint32_t(NFSERR_NOENT));
}

}  // namespace

namespace {

TEST_F(attrs_test, I32FileIdsInFileIdMode) {
    make_file("f");
    make_dir("d");
    for (const char* name : {"f", "d"}) {
        SCOPED_TRACE(name);
        file_handle h(wp_create_file(at(name).c_str(), 0, WP_FILE_SHARE_ALL, WP_OPEN_EXISTING,
                                     WP_FILE_FLAG_BACKUP_SEMANTICS));
        ASSERT_TRUE(h.valid());
        wp_file_information info{};
        ASSERT_TRUE(wp_get_file_information_by_handle(h.get(), &info));
        mount_context by_id = ctx;
        by_id.flags |= MOUNT_FLAG_FILE_ID;
        file_attributes a{};
        uint32_t status = 1;
        // Without i32 the file id is the identity the handle carried.
        ASSERT_NE(get_attributes(info.file_index, by_id, at(name).c_str(), WP_INVALID_HANDLE, user_credential(1, 1), a,
                                 &status),
                  WP_INVALID_FILE_ATTRIBUTES);
        EXPECT_EQ(a.fileid, info.file_index);
        by_id.flags |= MOUNT_FLAG_I32;
        ASSERT_NE(get_attributes(info.file_index, by_id, at(name).c_str(), h.get(), user_credential(1, 1), a, &status),
                  WP_INVALID_FILE_ATTRIBUTES);
        EXPECT_EQ(a.fileid, fileid_hash(info.file_index));
        EXPECT_LE(a.fileid, 0xFFFFFFFFull);
        // i32 means nothing outside file id mode.
        mount_context by_inode = ctx;
        by_inode.flags |= MOUNT_FLAG_I32;
        ASSERT_NE(get_attributes(64, by_inode, at(name).c_str(), WP_INVALID_HANDLE, user_credential(1, 1), a, &status),
                  WP_INVALID_FILE_ATTRIBUTES);
        EXPECT_EQ(a.fileid, 64u);
    }
}

}  // namespace
