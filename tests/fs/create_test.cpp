// CREATE and MKDIR through directory handles: the three creation modes,
// the exclusive-create stamp, default modes, who may create, hostile names.
#include "tests/support/fs_calls.h"
#include "platform/filetime.h"
#include "quen/config/settings.h"
#include "quen/fs/create.h"
#include "quen/fs/nfs_status.h"
#include "quen/inode/inode_tree.h"
#include "tests/mount/mount_test_env.h"
#include "tests/support/file_tree.h"

#include <iterator>
#include <string>

namespace {

constexpr uint32_t RO = WP_FILE_ATTRIBUTE_READONLY, HIDDEN = WP_FILE_ATTRIBUTE_HIDDEN,
                   SYSTEM = WP_FILE_ATTRIBUTE_SYSTEM;

xdr_sattr mode(uint32_t m) {
    xdr_sattr s{};
    s.set_mode = true;
    s.mode = m;
    return s;
}

// A verifier whose bytes, read as a FILETIME, are 2000-01-01 00:00:00 UTC.
constexpr uint8_t kVerifier2000[8] = {0x00, 0x40, 0x6D, 0x25, 0xEB, 0x53, 0xBF, 0x01};
constexpr uint8_t kOtherVerifier[8] = {0x01, 0x40, 0x6D, 0x25, 0xEB, 0x53, 0xBF, 0x01};

struct create_test : mount_test {
    uint32_t plain = 0, dc = 0, owned = 0, readonly = 0, saved = 0, cs = 0;
    uint32_t saved_create_access = 0;

    void SetUp() override {
        mount_test::SetUp();
        if (HasFatalFailure()) return;
        saved_create_access = g_settings.record.create_access;
        g_settings.record.create_access = 0;
        for (const char* d : {"plain", "dc", "owned", "ro", "saved", "cs"}) make_dir(d);
        load_exports("@\\plain -ci\n@\\dc -ci -dc\n@\\owned -ci -uid:500:500\n@\\ro -ci -ro\n"
                     "@\\saved -ci -sa\n@\\cs -ci -cs\n");
        uint32_t* ids[] = {&plain, &dc, &owned, &readonly, &saved, &cs};
        for (size_t i = 0; i < 6; ++i) {
            *ids[i] = mount_folder(ip("192.0.2.7"), export_at(i)->folder, export_at(i));
            ASSERT_NE(*ids[i], 0u) << i;
        }
    }
    void TearDown() override {
        g_settings.record.create_access = saved_create_access;
        mount_test::TearDown();
    }

    internal_handle handle_of(const std::string& relative, uint32_t mount) {
        return handle_make(inode_of_path(at(relative).c_str()), 0, mount);
    }
    uint32_t create(const std::string& dir, uint32_t mount, const std::string& name, uint32_t how,
                    const xdr_sattr& s, create_result& r, const uint8_t* verifier = nullptr,
                    const fs_credential& cred = user(1000, 1000)) {
        return fs_create(handle_of(dir, mount), name.data(), name.size(), how, s, verifier, cred, true, r);
    }
    uint32_t mkdir(const std::string& dir, uint32_t mount, const std::string& name, const xdr_sattr& s,
                   create_result& r, const fs_credential& cred = user(1000, 1000)) {
        return fs_mkdir(handle_of(dir, mount), name.data(), name.size(), s, cred, true, r);
    }
    uint32_t windows_attributes(const std::string& relative) {
        return wp_get_file_attributes(at(relative).c_str()) & (RO | HIDDEN | SYSTEM);
    }
    uint64_t last_write(const std::string& relative) {
        file_handle h(wp_create_file(at(relative).c_str(), WP_FILE_READ_ATTRIBUTES, WP_FILE_SHARE_ALL,
                                     WP_OPEN_EXISTING, WP_FILE_FLAG_BACKUP_SEMANTICS));
        uint64_t t = 0;
        EXPECT_TRUE(h.valid() && wp_get_file_time(h.get(), nullptr, nullptr, &t)) << relative;
        return t;
    }
    // The handle names the file at relative, and the record is that file's.
    void expect_names(const create_result& r, const std::string& relative, uint32_t mount) {
        const uint32_t inode = inode_of_path(at(relative).c_str());
        EXPECT_NE(inode, 0u);
        EXPECT_EQ(r.handle.word[HANDLE_WORD_ID_LOW], inode) << relative;
        EXPECT_EQ(r.handle.word[HANDLE_WORD_MOUNT], mount);
        EXPECT_EQ(r.attributes.fileid, inode);
    }
};

// Expected values from a one-off bit-by-bit python loop (crc = 0xFFFF; per
// byte, 0 replaced by 0x20: crc ^= b, then 8 times crc = crc >> 1, xor
// 0x8408 when the bit shifted out was 1). The same loop gives 0x6F91 for
// "123456789", the published check value of CRC-16/MCRF4XX.
TEST(exclusive_stamp, crc16_of_the_verifier_counts_zero_bytes_as_spaces) {
    const uint8_t digits[8] = {'1', '2', '3', '4', '5', '6', '7', '8'};
    EXPECT_EQ(verifier_crc16(digits), 0xF795);
    const uint8_t mixed[8] = {0x00, 0x01, 0x02, 0x00, 0xFE, 0xFF, 0x10, 0x00};
    const uint8_t spaced[8] = {0x20, 0x01, 0x02, 0x20, 0xFE, 0xFF, 0x10, 0x20};
    EXPECT_EQ(verifier_crc16(mixed), 0x9667);
    EXPECT_EQ(verifier_crc16(spaced), 0x9667);
    const uint8_t zero[8] = {};
    EXPECT_EQ(verifier_crc16(zero), 0xC257);
}

TEST(exclusive_stamp, off_ntfs_it_is_a_1980_time_in_whole_two_seconds) {
    const uint8_t zero[8] = {};
    const uint64_t stamp = exclusive_stamp(zero, false);
    EXPECT_EQ(stamp, (5980003200ull + 0xC257) * 20000000ull);
    const nfs_time t = filetime_to_unix(stamp);
    EXPECT_EQ(t.seconds, 315532800u + 2u * 0xC257) << "1980-01-01 plus twice the CRC";
    EXPECT_EQ(t.nseconds, 0u);
    EXPECT_NE(exclusive_stamp(kVerifier2000, false), exclusive_stamp(kOtherVerifier, false));
}

TEST(exclusive_stamp, on_ntfs_it_is_the_verifier_as_a_filetime) {
    EXPECT_EQ(exclusive_stamp(kVerifier2000, true), 0x01BF53EB256D4000ull);
    EXPECT_EQ(filetime_to_unix(exclusive_stamp(kVerifier2000, true)).seconds, 946684800u);
}

// Verifiers SetFileTime would ignore or refuse get stamps it keeps, and
// they stay apart from their neighbours.
TEST(exclusive_stamp, verifiers_windows_takes_for_no_time_get_distinct_stamps_it_keeps) {
    const uint8_t zero[8] = {}, one[8] = {1};
    const uint8_t ones[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    const uint8_t ones_low[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F};
    const uint8_t high[8] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0xF8};
    const uint8_t high_low[8] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x78};
    const std::pair<const uint8_t*, const uint8_t*> neighbours[] = {{zero, one}, {ones, ones_low}, {high, high_low}};
    for (const auto& [special, other] : neighbours) {
        const uint64_t stamp = exclusive_stamp(special, true);
        EXPECT_NE(stamp, 0u);
        EXPECT_LT(stamp, 1ull << 63);
        EXPECT_LT(filetime_to_unix(stamp).seconds, 0xFFFFFFFFu) << "a time every volume keeps";
        EXPECT_NE(stamp, exclusive_stamp(other, true));
    }
}

TEST_F(create_test, a_new_file_answers_with_its_handle_and_attributes) {
    create_result r;
    xdr_sattr s = mode(0644);
    s.set_size = true;
    s.size = 3;
    ASSERT_EQ(create("plain", plain, "new.txt", CREATE_GUARDED, s, r), uint32_t(NFS_OK));
    expect_names(r, "plain\\new.txt", plain);
    EXPECT_EQ(r.attributes.type, uint32_t(NF_REG));
    EXPECT_EQ(r.attributes.mode, 0100644u);
    EXPECT_EQ(r.attributes.uid, 1000u);
    EXPECT_EQ(r.attributes.size, 3u);
    EXPECT_EQ(read_file("plain\\new.txt"), std::string(3, '\0'));
    EXPECT_EQ(r.dir_attributes.type, uint32_t(NF_DIR));
}

TEST_F(create_test, unchecked_truncates_an_existing_file_only_when_asked_guarded_refuses_it) {
    make_file("plain\\f", "hello");
    const uint32_t before = inode_of_path(at("plain\\f").c_str());
    create_result r;
    EXPECT_EQ(create("plain", plain, "f", CREATE_GUARDED, mode(0644), r), uint32_t(NFSERR_EXIST));
    EXPECT_EQ(read_file("plain\\f"), "hello");
    ASSERT_EQ(create("plain", plain, "f", CREATE_UNCHECKED, mode(0644), r), uint32_t(NFS_OK));
    EXPECT_EQ(read_file("plain\\f"), "hello") << "no size asked for: the data stays";
    xdr_sattr truncate = mode(0644);
    truncate.set_size = true;
    ASSERT_EQ(create("plain", plain, "f", CREATE_UNCHECKED, truncate, r), uint32_t(NFS_OK));
    EXPECT_EQ(read_file("plain\\f"), "");
    EXPECT_EQ(r.attributes.size, 0u);
    EXPECT_EQ(r.handle.word[HANDLE_WORD_ID_LOW], before) << "the same file, the same number";
}

TEST_F(create_test, an_overwritten_file_keeps_its_mode) {
    make_file("plain\\run", "#!/bin/sh\n");
    ASSERT_TRUE(wp_set_file_attributes(at("plain\\run").c_str(), exec_marker()));
    create_result r;
    ASSERT_EQ(create("plain", plain, "run", CREATE_UNCHECKED, mode(0600), r), uint32_t(NFS_OK));
    EXPECT_EQ(read_file("plain\\run"), "#!/bin/sh\n");
    EXPECT_EQ(r.attributes.mode, 0100755u) << "open(O_CREAT) leaves an existing file's mode";
}

TEST_F(create_test, only_a_regular_file_is_ever_overwritten) {
    make_dir("plain\\d");
    make_file("plain\\link", "target/file");
    ASSERT_TRUE(wp_set_file_attributes(at("plain\\link").c_str(), special_marker()));
    create_result r;
    EXPECT_EQ(create("plain", plain, "d", CREATE_UNCHECKED, mode(0644), r), uint32_t(NFSERR_EXIST));
    EXPECT_EQ(create("plain", plain, "link", CREATE_UNCHECKED, mode(0644), r), uint32_t(NFSERR_EXIST));
    EXPECT_EQ(read_file("plain\\link"), "target/file") << "the link text stays";
}

TEST_F(create_test, an_exclusive_create_repeated_with_its_verifier_succeeds) {
    create_result first, again, other;
    ASSERT_EQ(create("plain", plain, "x", CREATE_EXCLUSIVE, xdr_sattr{}, first, kVerifier2000), uint32_t(NFS_OK));
    EXPECT_EQ(last_write("plain\\x"), 0x01BF53EB256D4000ull);
    EXPECT_EQ(first.attributes.mtime.seconds, 946684800u);
    EXPECT_EQ(windows_attributes("plain\\x"), RO) << "no mode: read-only";
    // The retransmission finds the file read-only and still succeeds.
    ASSERT_EQ(create("plain", plain, "x", CREATE_EXCLUSIVE, xdr_sattr{}, again, kVerifier2000), uint32_t(NFS_OK));
    EXPECT_EQ(again.handle.word[HANDLE_WORD_ID_LOW], first.handle.word[HANDLE_WORD_ID_LOW]);
    EXPECT_EQ(create("plain", plain, "x", CREATE_EXCLUSIVE, xdr_sattr{}, other, kOtherVerifier),
              uint32_t(NFSERR_EXIST));
    make_file("plain\\y", "data");
    EXPECT_EQ(create("plain", plain, "y", CREATE_EXCLUSIVE, xdr_sattr{}, other, kVerifier2000),
              uint32_t(NFSERR_EXIST));
    EXPECT_EQ(read_file("plain\\y"), "data");
}

// Verifiers SetFileTime ignores or refuses; then times before 1901 and
// after 2446, which NTFS keeps and Linux file systems clamp.
constexpr uint8_t kVerifiers[][8] = {{0}, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
                                     {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0xF8}};
constexpr uint8_t kFarVerifiers[][8] = {{0x01}, {0x8A, 0x13, 0x5C, 0x77, 0x02, 0x9E, 0x41, 0x6D},
                                        {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x70}};

// The stamp crosses the Win32 calls as the two halves of a FILETIME.
TEST(exclusive_stamp, survives_the_halves_of_a_filetime) {
    const wp_filetime_halves h = wp_filetime_split(exclusive_stamp(kVerifier2000, true));
    EXPECT_EQ(h.low, 0x256D4000u);
    EXPECT_EQ(h.high, 0x01BF53EBu);
    for (const auto* table : {kVerifiers, kFarVerifiers})
        for (size_t i = 0; i < 3; ++i) {
            const uint64_t stamp = exclusive_stamp(table[i], true);
            EXPECT_EQ(wp_filetime_join(wp_filetime_split(stamp).low, wp_filetime_split(stamp).high), stamp);
        }
}

void expect_retransmissions_succeed(create_test& t, const uint8_t (*verifiers)[8], size_t n) {
    for (size_t i = 0; i < n; ++i) {
        const uint8_t* v = verifiers[i];
        const std::string name = "x" + std::to_string(v[7]) + "-" + std::to_string(v[0]);
        create_result first, again, other;
        ASSERT_EQ(t.create("plain", t.plain, name, CREATE_EXCLUSIVE, xdr_sattr{}, first, v), uint32_t(NFS_OK)) << name;
        EXPECT_EQ(t.create("plain", t.plain, name, CREATE_EXCLUSIVE, xdr_sattr{}, again, v), uint32_t(NFS_OK)) << name;
        EXPECT_EQ(t.create("plain", t.plain, name, CREATE_EXCLUSIVE, xdr_sattr{}, other, kOtherVerifier),
                  uint32_t(NFSERR_EXIST))
            << name;
    }
}

TEST_F(create_test, every_verifier_survives_its_retransmission) {
    expect_retransmissions_succeed(*this, kVerifiers, std::size(kVerifiers));
}

TEST_F(create_test, verifiers_of_times_far_from_now_survive_their_retransmission) {
    SKIP_ON_WINE("the host's file system clamps times that NTFS keeps");
    expect_retransmissions_succeed(*this, kFarVerifiers, std::size(kFarVerifiers));
}

TEST_F(create_test, default_modes) {
    create_result r;
    ASSERT_EQ(create("plain", plain, "nomode", CREATE_GUARDED, xdr_sattr{}, r), uint32_t(NFS_OK));
    EXPECT_EQ(r.attributes.mode, 0100444u);
    EXPECT_EQ(windows_attributes("plain\\nomode"), RO);
    ASSERT_EQ(create("plain", plain, "zero", CREATE_GUARDED, mode(0), r), uint32_t(NFS_OK));
    EXPECT_EQ(r.attributes.mode, 0100444u);

    ASSERT_EQ(create("dc", dc, "zero", CREATE_GUARDED, mode(0), r), uint32_t(NFS_OK));
    EXPECT_EQ(r.attributes.mode, 0100755u) << "dc: 0777 minus the umask";
    ASSERT_EQ(create("dc", dc, "asked", CREATE_GUARDED, mode(0644), r), uint32_t(NFS_OK));
    EXPECT_EQ(r.attributes.mode, 0100644u) << "dc keeps a requested mode";

    g_settings.record.create_access = 1;
    ASSERT_EQ(create("plain", plain, "any", CREATE_GUARDED, mode(0400), r), uint32_t(NFS_OK));
    EXPECT_EQ(r.attributes.mode, 0100755u) << "CreateAccess ignores the requested mode";
    EXPECT_EQ(windows_attributes("plain\\any") & RO, 0u);
}

TEST_F(create_test, set_user_id_needs_root) {
    create_result r;
    ASSERT_EQ(create("plain", plain, "s", CREATE_GUARDED, mode(04755), r), uint32_t(NFS_OK));
    EXPECT_EQ(r.attributes.mode, 0100755u);
    EXPECT_EQ(windows_attributes("plain\\s") & SYSTEM, 0u);
}

// A request's owner is checked as SETATTR checks one: only root names
// another uid, a gid must be one of the caller's groups, and only root
// keeps a set-id bit. A squashed root owns its files as nobody.
TEST_F(create_test, the_owner_a_request_names_is_checked) {
    SKIP_ON_WINE("creation times are not stored");
    fs_credential grouped = user(1000, 1000);
    grouped.gids[0] = 20;
    grouped.gid_count = 1;
    auto owned = [](uint32_t m, int64_t uid, int64_t gid) {
        xdr_sattr s = mode(m);
        s.set_uid = uid >= 0, s.uid = uint32_t(uid);
        s.set_gid = gid >= 0, s.gid = uint32_t(gid);
        return s;
    };
    struct owner_case {
        const char* name;
        xdr_sattr request;
        fs_credential cred;
        uint32_t status, mode, uid, gid;
    } cases[] = {
        {"as_root", owned(04755, 0, 0), grouped, NFSERR_PERM, 0, 0, 0},
        {"other_group", owned(0644, -1, 30), grouped, NFSERR_PERM, 0, 0, 0},
        {"own_group", owned(0644, 1000, 20), grouped, NFS_OK, 0100644, 1000, 20},
        {"set_ids", owned(06755, -1, -1), grouped, NFS_OK, 0100755, 1000, 1000},
        {"root_gives", owned(04755, 7, 8), user(0, 0), NFS_OK, 0104755, 7, 8},
    };
    const uint32_t was = g_settings.record.map_root;
    g_settings.record.map_root = 1;
    for (const owner_case& c : cases) {
        create_result r;
        ASSERT_EQ(create("saved", saved, c.name, CREATE_GUARDED, c.request, r, nullptr, c.cred), c.status) << c.name;
        EXPECT_EQ(exists(std::string("saved\\") + c.name), c.status == NFS_OK) << c.name;
        if (c.status != NFS_OK) continue;
        EXPECT_EQ(r.attributes.mode, c.mode) << c.name;
        EXPECT_EQ(r.attributes.uid, c.uid) << c.name;
        EXPECT_EQ(r.attributes.gid, c.gid) << c.name;
    }
    g_settings.record.map_root = 0;
    create_result r, pub;
    ASSERT_EQ(mkdir("saved", saved, "pub", mode(0777), pub), uint32_t(NFS_OK));
    ASSERT_EQ(fs_mkdir(pub.handle, "squashed", 8, mode(02755), user(0, 0), true, r), uint32_t(NFS_OK));
    EXPECT_EQ(r.attributes.uid, uint32_t(kNobodyId));
    EXPECT_EQ(r.attributes.mode, 040755u);
    g_settings.record.map_root = was;
}

TEST_F(create_test, saved_attributes_keep_the_requested_mode_and_the_creator) {
    SKIP_ON_WINE("creation times are not stored");
    create_result r;
    ASSERT_EQ(create("saved", saved, "f", CREATE_GUARDED, mode(0640), r, nullptr, user(1000, 100)),
              uint32_t(NFS_OK));
    EXPECT_EQ(r.attributes.mode, 0100640u);
    EXPECT_EQ(r.attributes.uid, 1000u);
    EXPECT_EQ(r.attributes.gid, 100u);
    ASSERT_EQ(mkdir("saved", saved, "d", mode(0750), r, user(1000, 100)), uint32_t(NFS_OK));
    EXPECT_EQ(r.attributes.mode, 040750u);
}

TEST_F(create_test, who_may_create) {
    create_result r;
    // Files in a uid: export belong to 500; 1000 gets the other bits, r-x.
    EXPECT_EQ(create("owned", owned, "f", CREATE_GUARDED, mode(0644), r), uint32_t(NFSERR_ACCES));
    EXPECT_EQ(mkdir("owned", owned, "d", mode(0755), r), uint32_t(NFSERR_ACCES));
    EXPECT_EQ(r.dir_attributes.type, uint32_t(NF_DIR)) << "the directory's record comes back anyway";
    EXPECT_EQ(create("owned", owned, "f", CREATE_GUARDED, mode(0644), r, nullptr, user(500, 500)),
              uint32_t(NFS_OK));
    EXPECT_EQ(create("ro", readonly, "f", CREATE_GUARDED, mode(0644), r), uint32_t(NFSERR_ROFS));
    EXPECT_EQ(mkdir("ro", readonly, "d", mode(0755), r), uint32_t(NFSERR_ROFS));
    EXPECT_FALSE(exists("owned\\d"));
    EXPECT_FALSE(exists("ro\\f"));
    // Truncating needs a write bit on the file itself.
    make_file("plain\\locked", "keep");
    ASSERT_TRUE(wp_set_file_attributes(at("plain\\locked").c_str(), RO));
    EXPECT_EQ(create("plain", plain, "locked", CREATE_UNCHECKED, mode(0644), r), uint32_t(NFSERR_ACCES));
    EXPECT_EQ(read_file("plain\\locked"), "keep");
}

TEST_F(create_test, names_that_must_not_create_anything) {
    create_result r;
    EXPECT_EQ(create("plain", plain, ".", CREATE_UNCHECKED, mode(0644), r), uint32_t(NFSERR_ISDIR));
    EXPECT_EQ(create("plain", plain, "..", CREATE_UNCHECKED, mode(0644), r), uint32_t(NFSERR_ISDIR));
    EXPECT_EQ(create("plain", plain, "", CREATE_UNCHECKED, mode(0644), r), uint32_t(NFSERR_NOENT));
    EXPECT_EQ(create("plain", plain, std::string("a\0b", 3), CREATE_UNCHECKED, mode(0644), r),
              uint32_t(NFSERR_NOENT));
    EXPECT_EQ(create("plain", plain, std::string(600, 'n'), CREATE_UNCHECKED, mode(0644), r),
              uint32_t(NFSERR_NAMETOOLONG));
    create("plain", plain, "../evil", CREATE_UNCHECKED, mode(0644), r);
    create("plain", plain, "..\\evil2", CREATE_UNCHECKED, mode(0644), r);
    EXPECT_FALSE(exists("evil"));
    EXPECT_FALSE(exists("evil2"));
    EXPECT_FALSE(exists("a"));
}

TEST_F(create_test, mkdir_makes_a_directory_with_the_requested_mode) {
    create_result r;
    ASSERT_EQ(mkdir("plain", plain, "d", mode(0700), r), uint32_t(NFS_OK));
    expect_names(r, "plain\\d", plain);
    EXPECT_EQ(r.attributes.type, uint32_t(NF_DIR));
    EXPECT_EQ(r.attributes.mode, 040755u);
    EXPECT_EQ(r.attributes.uid, 1000u);
    EXPECT_EQ(windows_attributes("plain\\d"), 0u);
    ASSERT_EQ(mkdir("plain", plain, "sticky", mode(01777), r), uint32_t(NFS_OK));
    EXPECT_EQ(windows_attributes("plain\\sticky"), SYSTEM);
    EXPECT_EQ(r.attributes.mode, 041755u);
    // A file can be made inside the new directory through its handle.
    create_result inner;
    ASSERT_EQ(fs_create(r.handle, "f", 1, CREATE_GUARDED, mode(0644), nullptr, user(1000, 1000), false, inner),
              uint32_t(NFS_OK));
    EXPECT_TRUE(exists("plain\\sticky\\f"));
}

TEST_F(create_test, mkdir_of_dot_dot_dot_or_an_existing_name_gives_17) {
    create_result r;
    EXPECT_EQ(mkdir("plain", plain, ".", mode(0755), r), uint32_t(NFSERR_EXIST));
    EXPECT_EQ(mkdir("plain", plain, "..", mode(0755), r), uint32_t(NFSERR_EXIST));
    ASSERT_EQ(mkdir("plain", plain, "d", mode(0755), r), uint32_t(NFS_OK));
    EXPECT_EQ(mkdir("plain", plain, "d", mode(0755), r), uint32_t(NFSERR_EXIST));
    make_file("plain\\f", "x");
    EXPECT_EQ(mkdir("plain", plain, "f", mode(0755), r), uint32_t(NFSERR_EXIST));
}

TEST_F(create_test, mkdir_default_modes) {
    create_result r;
    ASSERT_EQ(mkdir("plain", plain, "bare", xdr_sattr{}, r), uint32_t(NFS_OK));
    EXPECT_EQ(windows_attributes("plain\\bare"), HIDDEN) << "owner read only: not searchable";
    EXPECT_EQ(r.attributes.mode, 040644u);
    ASSERT_EQ(mkdir("dc", dc, "bare", xdr_sattr{}, r), uint32_t(NFS_OK));
    EXPECT_EQ(r.attributes.mode, 040755u);
    g_settings.record.create_access = 1;
    ASSERT_EQ(mkdir("plain", plain, "kept", mode(0600), r), uint32_t(NFS_OK));
    EXPECT_EQ(windows_attributes("plain\\kept"), HIDDEN) << "mkdir keeps a requested mode";
}

TEST_F(create_test, the_directory_record_is_read_after_the_change) {
    {
        file_handle h(wp_create_file(at("plain").c_str(), WP_FILE_WRITE_ATTRIBUTES, WP_FILE_SHARE_ALL,
                                     WP_OPEN_EXISTING, WP_FILE_FLAG_BACKUP_SEMANTICS));
        const uint64_t old = unix_to_filetime(1000000000, 0);
        ASSERT_TRUE(h.valid() && wp_set_file_time(h.get(), nullptr, nullptr, &old));
    }
    create_result r;
    ASSERT_EQ(create("plain", plain, "f", CREATE_GUARDED, mode(0644), r), uint32_t(NFS_OK));
    EXPECT_GT(r.dir_attributes.mtime.seconds, 1000000000u);
}

TEST_F(create_test, another_case_of_the_name_is_another_file_in_a_case_sensitive_mount) {
    mount_context ctx;
    char mounted[kHandlePathSize];
    ASSERT_NE(handle_resolve(handle_of("cs", cs), &ctx, mounted), 0u);
    if (!(ctx.flags & MOUNT_FLAG_CASE_SENSITIVE)) GTEST_SKIP() << "the volume keeps no case-sensitive names";
    make_file("cs\\readme", "lower");
    create_result r;
    ASSERT_EQ(create("cs", cs, "README", CREATE_UNCHECKED, mode(0644), r), uint32_t(NFS_OK));
    EXPECT_EQ(read_file("cs\\readme"), "lower") << "not truncated";
    EXPECT_NE(r.handle.word[HANDLE_WORD_ID_LOW], inode_of_path(at("cs\\readme").c_str()));
    EXPECT_EQ(create("cs", cs, "README", CREATE_GUARDED, mode(0644), r), uint32_t(NFSERR_EXIST));
    ASSERT_EQ(mkdir("cs", cs, "Readme", mode(0755), r), uint32_t(NFS_OK));
    EXPECT_EQ(read_file("cs\\readme"), "lower");
}

}  // namespace
