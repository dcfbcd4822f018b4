// From a handle to the file it names: the path check against the mounted
// folder, and the attribute and file system calls built on it.
#include "tests/support/fs_calls.h"
#include "quen/config/settings.h"
#include "quen/fs/handle_calls.h"
#include "quen/fs/nfs_status.h"
#include "quen/fs/resolve.h"
#include "quen/inode/inode_tree.h"
#include "tests/mount/mount_test_env.h"

#include <cstring>
#include <string>

namespace {

struct handle_calls_test : mount_test {
    export_entry* exp = nullptr;
    uint32_t mount_id = 0;
    uint32_t saved_hard_links = 0;

    void SetUp() override {
        mount_test::SetUp();
        if (HasFatalFailure()) return;
        saved_hard_links = g_settings.record.hard_links;
        make_dir("share");
        make_dir("share\\docs");
        make_file("share\\docs\\a.txt", "hello");
        make_dir("share2");
        make_file("share2\\secret", "no");
        load_exports("@\\share -ci\n@\\share2 -ci -mapall:1000:100\n");
        exp = export_at(0);
        ASSERT_NE(exp, nullptr);
        mount_id = mount_folder(ip("192.0.2.7"), exp->folder, exp);
        ASSERT_NE(mount_id, 0u);
    }
    void TearDown() override {
        g_settings.record.hard_links = saved_hard_links;
        mount_test::TearDown();
    }

    internal_handle handle_of(const std::string& relative, uint32_t id) {
        const uint32_t inode = inode_of_path(at(relative).c_str());
        EXPECT_NE(inode, 0u) << relative;
        return handle_make(inode, 0, id);
    }
};

TEST_F(handle_calls_test, resolves_files_at_and_below_the_mounted_folder) {
    for (const char* relative : {"share", "share\\docs", "share\\docs\\a.txt"}) {
        mount_context ctx{};
        char mounted[kHandlePathSize];
        const uint64_t inode = handle_resolve(handle_of(relative, mount_id), &ctx, mounted);
        ASSERT_NE(inode, 0u) << relative;
        char path[kResolvePathSize];
        ASSERT_TRUE(resolve_handle_path(ctx, inode, path, nullptr)) << relative;
        EXPECT_EQ(std::string(path), at(relative));
    }
}

TEST_F(handle_calls_test, a_sibling_whose_name_extends_the_mounted_path_is_outside) {
    // Inode numbers are shared by all exports: a client of "share" who
    // presents the number of a file in "share2" must not reach it.
    file_attributes a{};
    EXPECT_EQ(fs_getattr(handle_of("share2\\secret", mount_id), user(1000, 1000), a), uint32_t(NFSERR_STALE));
    EXPECT_EQ(fs_getattr(handle_of("share2", mount_id), user(1000, 1000), a), uint32_t(NFSERR_STALE));
    mount_context ctx{};
    char mounted[kHandlePathSize];
    ASSERT_NE(handle_resolve(handle_make(inode_of_path(at("share").c_str()), 0, mount_id), &ctx, mounted), 0u);
    EXPECT_TRUE(path_inside_mount(ctx, at("SHARE\\Docs").c_str(), true)) << "case is not significant";
    EXPECT_FALSE(path_inside_mount(ctx, at("share2\\secret").c_str(), true));
    EXPECT_FALSE(path_inside_mount(ctx, at("shar").c_str(), true));
}

TEST_F(handle_calls_test, getattr_gives_the_unix_view_of_the_file) {
    file_attributes a{};
    const internal_handle fh = handle_of("share\\docs\\a.txt", mount_id);
    ASSERT_EQ(fs_getattr(fh, user(1000, 1000), a), uint32_t(NFS_OK));
    EXPECT_EQ(a.type, uint32_t(NF_REG));
    EXPECT_EQ(a.mode, 0100644u);
    EXPECT_EQ(a.size, 5u);
    EXPECT_EQ(a.uid, 1000u);
    EXPECT_EQ(a.gid, 1000u);
    EXPECT_EQ(a.fileid, fh.word[HANDLE_WORD_ID_LOW]);
    mount_context ctx{};
    char mounted[kHandlePathSize];
    ASSERT_NE(handle_resolve(fh, &ctx, mounted), 0u);
    EXPECT_EQ(a.fsid, ctx.volume_serial);
    ASSERT_EQ(fs_getattr(handle_of("share\\docs", mount_id), user(1000, 1000), a), uint32_t(NFS_OK));
    EXPECT_EQ(a.type, uint32_t(NF_DIR));
    EXPECT_EQ(a.mode, 040755u);
}

TEST_F(handle_calls_test, getattr_maps_the_caller_by_the_mounts_export) {
    export_entry* mapped = export_at(1);
    ASSERT_NE(mapped, nullptr);
    const uint32_t id = mount_folder(ip("192.0.2.7"), mapped->folder, mapped);
    file_attributes a{};
    ASSERT_EQ(fs_getattr(handle_of("share2\\secret", id), user(0, 0), a), uint32_t(NFS_OK));
    EXPECT_EQ(a.uid, 1000u) << "mapall: replaces root too";
    EXPECT_EQ(a.gid, 100u);
}

TEST_F(handle_calls_test, a_file_deleted_behind_the_servers_back_is_gone_with_its_inode) {
    const internal_handle fh = handle_of("share\\docs\\a.txt", mount_id);
    const uint32_t inode = fh.word[HANDLE_WORD_ID_LOW];
    ASSERT_TRUE(wp_delete_file(at("share\\docs\\a.txt").c_str()));
    file_attributes a{};
    EXPECT_EQ(fs_getattr(fh, user(1000, 1000), a), uint32_t(NFSERR_STALE)) << "GETATTR knows no NOENT";
    char path[kInodePathSize];
    EXPECT_EQ(inode_path(inode, path), 0u) << "the record went with the file";
    EXPECT_EQ(fs_getattr(fh, user(1000, 1000), a), uint32_t(NFSERR_STALE));
}

TEST_F(handle_calls_test, every_call_is_stale_after_the_unmount) {
    const internal_handle fh = handle_of("share\\docs", mount_id);
    ASSERT_TRUE(mount_remove_path(ip("192.0.2.7"), exp->folder.c_str()));
    file_attributes a{};
    statfs_values s{};
    pathconf_values p{};
    uint32_t properties = 0;
    EXPECT_EQ(fs_getattr(fh, user(1000, 1000), a), uint32_t(NFSERR_STALE));
    EXPECT_EQ(fs_statfs(fh, s), uint32_t(NFSERR_STALE));
    EXPECT_EQ(fs_fsinfo_properties(fh, &properties, user(1000, 1000), a), uint32_t(NFSERR_STALE));
    EXPECT_EQ(fs_pathconf_values(fh, user(1000, 1000), p, a), uint32_t(NFSERR_STALE));
}

TEST_F(handle_calls_test, statfs_reports_the_volume_in_4096_byte_blocks) {
    statfs_values s{};
    ASSERT_EQ(fs_statfs(handle_of("share\\docs", mount_id), s), uint32_t(NFS_OK));
    uint64_t to_caller = 0, total = 0, total_free = 0;
    ASSERT_TRUE(wp_get_disk_free_space_ex(exp->folder.c_str(), &to_caller, &total, &total_free));
    EXPECT_EQ(s.block_size, 4096u);
    EXPECT_EQ(s.total_blocks, total / 4096);
    // Other processes write meanwhile: the free count only has to be close.
    const uint64_t now_free = total_free / 4096;
    EXPECT_LE(s.free_blocks > now_free ? s.free_blocks - now_free : now_free - s.free_blocks, 65536u);
    EXPECT_LE(s.free_blocks, s.total_blocks);
}

TEST_F(handle_calls_test, fsinfo_and_pathconf_follow_the_hard_links_setting) {
    const internal_handle fh = handle_of("share\\docs", mount_id);
    mount_context ctx{};
    char mounted[kHandlePathSize];
    ASSERT_NE(handle_resolve(fh, &ctx, mounted), 0u);
    const bool volume_links = ctx.flags & MOUNT_FLAG_HARD_LINKS;
    for (uint32_t setting : {0u, 1u}) {
        g_settings.record.hard_links = setting;
        const bool links = setting && volume_links;
        file_attributes a{};
        uint32_t properties = setting ? 0u : uint32_t(FSINFO_LINK) | 0x10u;
        ASSERT_EQ(fs_fsinfo_properties(fh, &properties, user(1000, 1000), a), uint32_t(NFS_OK));
        EXPECT_EQ(properties & FSINFO_LINK, links ? uint32_t(FSINFO_LINK) : 0u);
        EXPECT_EQ(properties & 0x10u, setting ? 0u : 0x10u) << "other bits pass through";
        EXPECT_EQ(a.type, uint32_t(NF_DIR));
        pathconf_values p{};
        ASSERT_EQ(fs_pathconf_values(fh, user(1000, 1000), p, a), uint32_t(NFS_OK));
        EXPECT_EQ(p.link_max, links ? 31u : 1u);
        EXPECT_EQ(p.name_max, ctx.max_component_length);
        EXPECT_EQ(p.case_insensitive, !(ctx.flags & MOUNT_FLAG_CASE_SENSITIVE));
        EXPECT_TRUE(p.case_preserving);
        EXPECT_EQ(a.mode & 0170000u, 040000u);
    }
}

}  // namespace
