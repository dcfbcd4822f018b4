// The volume probe on the test folder's volume, the statistics, and the
// FSINFO and PATHCONF values derived from the mount flags.
#include "quen/fs/nfs_status.h"
#include "quen/fs/volume.h"
#include "tests/attrs/attrs_env.h"

#include <cstring>

namespace {

uint32_t probe(const std::string& path, uint32_t flags) {
    volume_probe_result v{};
    EXPECT_TRUE(probe_volume(path.c_str(), &flags, &v)) << path;
    return flags;
}

TEST_F(attrs_test, ProbeOfTheTestVolume) {
    volume_probe_result v{};
    uint32_t flags = 0;
    ASSERT_TRUE(probe_volume(root.c_str(), &flags, &v));
    uint32_t serial = 0, max_len = 0;
    ASSERT_TRUE(volume_serial_of(root.c_str(), &serial, &max_len));
    EXPECT_EQ(v.serial, serial);
    EXPECT_EQ(v.max_component_length, max_len);
    EXPECT_EQ(v.max_component_length, 255u);
    EXPECT_TRUE(flags & MOUNT_FLAG_FIXED_DRIVE);
    EXPECT_FALSE(flags & MOUNT_FLAG_CASE_BLIND);
    EXPECT_FALSE(flags & (MOUNT_FLAG_LONG_PATH | MOUNT_FLAG_VOLUME_GUID));
    EXPECT_TRUE(flags & MOUNT_FLAG_NTFS);
    EXPECT_TRUE(flags & MOUNT_FLAG_HARD_LINKS);
    EXPECT_FALSE(flags & (MOUNT_FLAG_SAVED_ATTRIBUTES | MOUNT_FLAG_CASE_SENSITIVE));
    if (running_under_wine()) {
        // Wine reports a synthetic NTFS with case-preserved names and ACLs
        // only (no reparse or hard-link flags; hard links follow from NTFS),
        // and has OpenFileById: file id mode.
        EXPECT_FALSE(flags & MOUNT_FLAG_REPARSE);
        EXPECT_TRUE(flags & MOUNT_FLAG_FILE_ID);
    } else {
        // The POSIX volume holds reparse data in extended attributes and
        // cannot open by file id.
        EXPECT_TRUE(flags & MOUNT_FLAG_REPARSE);
        EXPECT_FALSE(flags & MOUNT_FLAG_FILE_ID);
    }
    char root_path[2048];
    const size_t n = volume_root_of(root.c_str(), root_path, sizeof root_path);
    ASSERT_GT(n, 0u);
    EXPECT_EQ(root_path[n - 1], '\\');
    EXPECT_EQ(std::strncmp(root.c_str(), root_path, n), 0) << root_path;
}

TEST_F(attrs_test, ProbeTurnsSettingsAndOptionsIntoBits) {
    const uint32_t base = probe(root, 0);
    // The option bits pass through untouched.
    const uint32_t options = MOUNT_FLAG_READONLY | MOUNT_FLAG_EXEC | MOUNT_FLAG_I32;
    EXPECT_EQ(probe(root, options) & ~uint32_t(MOUNT_FLAGS_PROBED), options);
    EXPECT_TRUE(probe(root, MOUNT_FLAG_SA) & MOUNT_FLAG_SAVED_ATTRIBUTES);
    EXPECT_FALSE(probe(root, MOUNT_FLAG_SA) & MOUNT_FLAG_CASE_SENSITIVE);
    EXPECT_TRUE(probe(root, MOUNT_FLAG_CS) & MOUNT_FLAG_CASE_SENSITIVE);
    EXPECT_FALSE(probe(root, MOUNT_FLAG_CS) & MOUNT_FLAG_SAVED_ATTRIBUTES);
    const uint32_t at = probe(root, MOUNT_FLAG_AT);
    EXPECT_TRUE(at & MOUNT_FLAG_SAVED_ATTRIBUTES);
    EXPECT_TRUE(at & MOUNT_FLAG_CASE_SENSITIVE);
    // lowercase keeps saved attributes but not case-sensitive names.
    const uint32_t lower = probe(root, MOUNT_FLAG_AT | MOUNT_FLAG_LOWERCASE);
    EXPECT_TRUE(lower & MOUNT_FLAG_SAVED_ATTRIBUTES);
    EXPECT_FALSE(lower & MOUNT_FLAG_CASE_SENSITIVE);
    g_settings.record.save_attr = 1;
    const uint32_t by_setting = probe(root, 0);
    EXPECT_TRUE(by_setting & MOUNT_FLAG_SAVED_ATTRIBUTES);
    EXPECT_TRUE(by_setting & MOUNT_FLAG_CASE_SENSITIVE);
    EXPECT_FALSE(probe(root, MOUNT_FLAG_LOWERCASE) & MOUNT_FLAG_CASE_SENSITIVE);
    g_settings.record.save_attr = 0;
    // Bits left over from an earlier probe are cleared.
    EXPECT_EQ(probe(root, MOUNT_FLAGS_PROBED) & MOUNT_FLAGS_PROBED, base & MOUNT_FLAGS_PROBED);
    // ci, or FileId off, never gives file id mode.
    EXPECT_FALSE(probe(root, MOUNT_FLAG_CI) & MOUNT_FLAG_FILE_ID);
    g_settings.record.file_id = 0;
    EXPECT_FALSE(probe(root, 0) & MOUNT_FLAG_FILE_ID);
}

TEST_F(attrs_test, ProbeOfLongPathForms) {
    const uint32_t plain = probe(root, 0);
    const uint32_t long_form = probe("\\\\?\\" + root, 0);
    EXPECT_TRUE(long_form & MOUNT_FLAG_LONG_PATH);
    EXPECT_FALSE(long_form & MOUNT_FLAG_VOLUME_GUID);
    EXPECT_EQ(long_form & ~uint32_t(MOUNT_FLAG_LONG_PATH), plain);
}

TEST_F(attrs_test, ProbeFailsWithoutAVolume) {
    uint32_t flags = 0x1234;
    volume_probe_result v{};
    EXPECT_FALSE(probe_volume("Q:\\nowhere", &flags, &v));
    EXPECT_FALSE(probe_volume("\\\\?\\Volume{00000000-0000-0000-0000-000000000000}\\x", &flags, &v));
    EXPECT_EQ(flags, 0x1234u);
    char buf[64] = "x";
    EXPECT_EQ(volume_root_of("Q:\\nowhere", buf, sizeof buf), 0u);
    EXPECT_EQ(buf[0], 0);
}

TEST_F(attrs_test, StatfsCountsBlocksOf4096) {
    statfs_values s{};
    ASSERT_EQ(volume_statfs(root.c_str(), s), 0u);
    uint64_t caller = 0, total = 0, total_free = 0;
    ASSERT_TRUE(wp_get_disk_free_space_ex(root.c_str(), &caller, &total, &total_free));
    EXPECT_EQ(s.block_size, 4096u);
    EXPECT_EQ(s.total_blocks, total / 4096);
    // Free space moves while the test runs: allow a few megabytes.
    const uint64_t want_free = total_free / 4096;
    EXPECT_LE(s.free_blocks > want_free ? s.free_blocks - want_free : want_free - s.free_blocks, 4096u);
    EXPECT_GE(s.total_blocks, s.free_blocks);
    EXPECT_EQ(volume_statfs(at("missing\\deeper").c_str(), s), uint32_t(NFSERR_IO));
}

TEST(volume_values, StatfsFromBytes) {
    const statfs_values s = statfs_from_bytes(1ull << 40, 100ull << 30);  // 1 TB, 100 GB free
    EXPECT_EQ(s.total_blocks, 268435456u);
    EXPECT_EQ(s.free_blocks, 26214400u);
    EXPECT_EQ(s.block_size, 4096u);
    const statfs_values r = statfs_from_bytes(8191, 4095);  // rounded down
    EXPECT_EQ(r.total_blocks, 1u);
    EXPECT_EQ(r.free_blocks, 0u);
}

TEST(volume_values, FsinfoAndPathconf) {
    const server_config saved = g_settings.record;
    mount_context ctx{};
    ctx.max_component_length = 12;
    ctx.flags = MOUNT_FLAG_HARD_LINKS;
    g_settings.record.hard_links = 1;
    EXPECT_EQ(fsinfo_properties(ctx, 0x18), 0x19u);
    pathconf_values p = pathconf_of(ctx);
    EXPECT_EQ(p.link_max, 31u);
    EXPECT_EQ(p.name_max, 12u);
    EXPECT_TRUE(p.case_insensitive);
    EXPECT_TRUE(p.case_preserving);
    g_settings.record.hard_links = 0;
    EXPECT_EQ(fsinfo_properties(ctx, 0x19), 0x18u);
    EXPECT_EQ(pathconf_of(ctx).link_max, 1u);
    g_settings.record.hard_links = 1;
    ctx.flags = MOUNT_FLAG_CASE_SENSITIVE;
    EXPECT_EQ(fsinfo_properties(ctx, 0x19), 0x18u);
    p = pathconf_of(ctx);
    EXPECT_EQ(p.link_max, 1u);
    EXPECT_FALSE(p.case_insensitive);
    EXPECT_TRUE(p.case_preserving);
    ctx.flags = MOUNT_FLAG_LOWERCASE;
    EXPECT_FALSE(pathconf_of(ctx).case_preserving);
    ctx.flags = MOUNT_FLAG_CASE_BLIND;
    EXPECT_FALSE(pathconf_of(ctx).case_preserving);
    EXPECT_TRUE(pathconf_of(ctx).case_insensitive);
    g_settings.record = saved;
}

}  // namespace

namespace {

// What each drive's probe finds, printed for the record and checked against
// what the platform is known to report.
TEST(volume_probe_drives, DriveRoots) {
    const server_config saved = g_settings.record;
    g_settings.record.file_id = 1;
    g_settings.record.save_attr = 1;
    const bool wine = running_under_wine();
    for (const char* drive : {"C:\\", "Z:\\"}) {
        SCOPED_TRACE(drive);
        uint32_t flags = 0;
        volume_probe_result v{};
        const bool ok = probe_volume(drive, &flags, &v);
        if (!wine && drive[0] == 'C') {
            // The POSIX volume maps no C: unless the registry names a folder for it.
            if (!ok) continue;
        }
        ASSERT_TRUE(ok);
        std::printf("probe %s: flags %08x serial %08x max %u\n", drive, flags, v.serial, v.max_component_length);
        EXPECT_TRUE(flags & MOUNT_FLAG_FIXED_DRIVE);
        EXPECT_TRUE(flags & MOUNT_FLAG_NTFS);
        EXPECT_TRUE(flags & MOUNT_FLAG_HARD_LINKS);
        EXPECT_TRUE(flags & MOUNT_FLAG_SAVED_ATTRIBUTES);
        EXPECT_TRUE(flags & MOUNT_FLAG_CASE_SENSITIVE);
        EXPECT_FALSE(flags & MOUNT_FLAG_CASE_BLIND);
        EXPECT_EQ(v.max_component_length, 255u);
        // Wine: a synthetic NTFS with case-preserved names and ACLs only
        // (flags 0x0a), and OpenFileById present.
        EXPECT_EQ(bool(flags & MOUNT_FLAG_REPARSE), !wine);
        EXPECT_EQ(bool(flags & MOUNT_FLAG_FILE_ID), wine);
        // Wine cannot read a real serial (it says so on standard error) and
        // makes one of the drive letter.
        if (wine) {
            EXPECT_EQ(v.serial, uint32_t(uint8_t(drive[0])) << 24);
        }
    }
    g_settings.record = saved;
}

}  // namespace
