// The probe on a Linux file system without user extended attributes
// (ramfs): the volume describes itself as FAT, so none of the NTFS-only
// bits may appear whatever the settings and options ask. ramfs is mounted
// in a private mount namespace of a forked child, which sends its flags
// back through a pipe.
#include "quen/fs/volume.h"
#include "tests/attrs/attrs_env.h"
#include "tests/support/private_mounts.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

struct child_report {
    uint32_t ok;
    uint32_t flags_default;
    uint32_t flags_asked;     // SaveAttr on and `at`, `i32`
    uint32_t max_component;
};

std::string probe_ramfs(const std::string& dir, child_report& r) {
    std::string failed = mount_in_child("ramfs", dir, "mode=0755");
    if (!failed.empty()) return failed;
    char probe = '1';
    if (::setxattr(dir.c_str(), "user.tervalo.probe", &probe, 1, 0) == 0)
        return "ramfs keeps user extended attributes on this kernel";
    const std::string windows = "Z:" + [&] {
        std::string s = dir;
        for (char& c : s)
            if (c == '/') c = '\\';
        return s;
    }();
    volume_probe_result v{};
    g_settings.record.save_attr = 0;
    g_settings.record.file_id = 1;
    uint32_t flags = 0;
    r.ok = probe_volume(windows.c_str(), &flags, &v);
    r.flags_default = flags;
    r.max_component = v.max_component_length;
    g_settings.record.save_attr = 1;
    flags = MOUNT_FLAG_AT | MOUNT_FLAG_I32;
    r.ok = r.ok && probe_volume(windows.c_str(), &flags, &v);
    r.flags_asked = flags;
    return "";
}

TEST(volume_probe_without_xattrs, RamfsGetsNoNtfsBits) {
    if (!may_mount()) GTEST_SKIP() << "mounting ramfs needs root";
    char name[] = "/tmp/tervalo-attrs-ramfs-XXXXXX";
    ASSERT_NE(::mkdtemp(name), nullptr) << std::strerror(errno);
    const std::string dir = name;
    child_report r{};
    const child_outcome c = run_with_private_mounts(&r, sizeof r, [&] { return probe_ramfs(dir, r); });
    // The mount went with the child's namespace.
    EXPECT_EQ(::rmdir(dir.c_str()), 0) << dir << ": " << std::strerror(errno);
    ASSERT_TRUE(c.reported);
    if (!c.skip.empty()) GTEST_SKIP() << c.skip;
    ASSERT_TRUE(r.ok);
    const uint32_t ntfs_only = MOUNT_FLAG_NTFS | MOUNT_FLAG_FILE_ID | MOUNT_FLAG_SAVED_ATTRIBUTES |
                               MOUNT_FLAG_CASE_SENSITIVE | MOUNT_FLAG_REPARSE;
    EXPECT_EQ(r.flags_default & ntfs_only, 0u);
    EXPECT_EQ(r.flags_asked & ntfs_only, 0u);
    EXPECT_TRUE(r.flags_default & MOUNT_FLAG_FIXED_DRIVE);
    EXPECT_FALSE(r.flags_default & MOUNT_FLAG_CASE_BLIND);
    // The volume still says it keeps hard links, and the layer has them.
    EXPECT_TRUE(r.flags_default & MOUNT_FLAG_HARD_LINKS);
    EXPECT_EQ(r.flags_asked & ~uint32_t(MOUNT_FLAGS_PROBED), uint32_t(MOUNT_FLAG_AT | MOUNT_FLAG_I32));
    EXPECT_EQ(r.max_component, 255u);
}

}  // namespace
