// MKNOD of a FIFO on a volume too full to keep its saved mode: the new
// file must go again and the failure be reported, never an empty regular
// file answering as a success. A child mounts a tmpfs with a tiny inode
// space (which also pays for extended attributes) and fills it until one
// more file fits but no attribute of it.
#include "tests/support/fs_calls.h"
#include "quen/fs/mknod.h"
#include "quen/fs/nfs_status.h"
#include "tests/fs/namespace_test_env.h"
#include "tests/support/private_mounts.h"

#include <cerrno>
#include <cstdio>
#include <sys/xattr.h>

namespace {

struct mknod_report {
    uint32_t status;
    uint32_t left;   // whether a file of the name is there afterwards
};

struct mknod_full_volume_test : mount_test {
    // The POSIX stand-in shows / as drive Z:.
    std::string native(const std::string& relative) {
        std::string s = at(relative).substr(2);
        for (char& c : s)
            if (c == '\\') c = '/';
        return s;
    }
    bool make(const std::string& relative) {
        return file_handle(wp_create_file(at(relative).c_str(), WP_GENERIC_WRITE, 0, WP_CREATE_NEW, 0)).valid();
    }
    // Leaves room for one file with no attributes: the spare file goes
    // once no attribute fits any more.
    std::string fill() {
        if (!make("node\\spare") || !make("node\\filler")) return "making the filler files";
        const std::string filler = native("node\\filler");
        char name[32], one = '1';
        errno = 0;
        for (int i = 0; i < 100000; ++i) {
            std::snprintf(name, sizeof name, "user.f%d", i);
            if (::setxattr(filler.c_str(), name, &one, 1, 0) != 0) break;
        }
        if (errno != ENOSPC) return "tmpfs without user attributes";
        return wp_delete_file(at("node\\spare").c_str()) ? "" : "removing the spare file";
    }
    std::string mknod_on_full_volume(mknod_report& r) {
        std::string failed = mount_in_child("tmpfs", native("node"), "size=16k,nr_inodes=8");
        if (failed.empty()) failed = fill();
        if (!failed.empty()) return failed;
        // The set-up itself: a file can be made, its creation time not kept.
        {
            file_handle probe(wp_create_file(at("node\\probe").c_str(), WP_GENERIC_WRITE, 0, WP_CREATE_NEW, 0));
            const uint64_t t = 130000000000000000ull;
            if (!probe.valid() || wp_set_file_time(probe.get(), &t, nullptr, nullptr))
                return "no room for one file without its times";
        }
        if (!wp_delete_file(at("node\\probe").c_str())) return "removing the probe";
        load_exports("@\\node -ci -sa\n");
        const uint32_t mount = mount_folder(ip("192.0.2.7"), export_at(0)->folder, export_at(0));
        create_result out;
        r.status = fs_mknod(handle_make(inode_of_path(at("node").c_str()), 0, mount), "fifo", 4, NF_FIFO,
                            with_mode(0644), 0, 0, user(1000, 1000), true, out);
        r.left = exists("node\\fifo");
        return "";
    }
};

TEST_F(mknod_full_volume_test, a_fifo_whose_mode_cannot_be_saved_is_removed_and_reported) {
    if (!may_mount()) GTEST_SKIP() << "mounting tmpfs needs root";
    make_dir("node");
    mknod_report r{};
    const child_outcome c = run_with_private_mounts(&r, sizeof r, [&] { return mknod_on_full_volume(r); });
    ASSERT_TRUE(c.reported);
    if (!c.skip.empty()) GTEST_SKIP() << c.skip;
    EXPECT_EQ(r.status, uint32_t(NFSERR_NOSPC));
    EXPECT_EQ(r.left, 0u) << "the empty file stayed";
}

}  // namespace
