// The probe on a Linux file system without user extended attributes
// (ramfs): the volume describes itself as FAT, so none of the NTFS-only
// bits may appear whatever the settings and options ask. ramfs is mounted
// in a private mount namespace of a forked child, which sends its flags
// back through a pipe.
#include "quen/fs/volume.h"
#include "tests/attrs/attrs_env.h"

#include <cerrno>
#include <cstring>
#include <sched.h>
#include <linux/mount.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

constexpr int kChildSkips = 77;

struct child_report {
    uint32_t ok;
    uint32_t flags_default;
    uint32_t flags_asked;     // SaveAttr on and `at`, `i32`
    uint32_t max_component;
    char skip_reason[200];
};

long mount_call(const char* source, const char* target, const char* type, unsigned long flags, const char* data) {
    return ::syscall(SYS_mount, source, target, type, flags, data);
}

[[noreturn]] void child(int fd, const std::string& dir) {
    child_report r{};
    const auto finish = [&](int code) {
        if (::write(fd, &r, sizeof r) != ssize_t(sizeof r)) code = 3;
        ::_exit(code);
    };
    const auto skip = [&](const char* what) {
        std::snprintf(r.skip_reason, sizeof r.skip_reason, "%s: %s", what, std::strerror(errno));
        finish(kChildSkips);
    };
    if (::unshare(CLONE_NEWNS) != 0) skip("unshare(CLONE_NEWNS)");
    if (mount_call(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) skip("making / private");
    if (mount_call("tervalo-attrs", dir.c_str(), "ramfs", 0, "mode=0755") != 0) skip("mounting ramfs");
    char probe = '1';
    if (::setxattr(dir.c_str(), "user.tervalo.probe", &probe, 1, 0) == 0) {
        errno = 0;
        skip("ramfs keeps user extended attributes on this kernel");
    }
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
    finish(0);
    ::_exit(3);
}

TEST(volume_probe_without_xattrs, RamfsGetsNoNtfsBits) {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting ramfs needs root";
    char name[] = "/tmp/tervalo-attrs-ramfs-XXXXXX";
    ASSERT_NE(::mkdtemp(name), nullptr) << std::strerror(errno);
    const std::string dir = name;
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        child(fds[1], dir);
    }
    ::close(fds[1]);
    child_report r{};
    size_t got = 0;
    while (got < sizeof r) {
        const ssize_t n = ::read(fds[0], reinterpret_cast<char*>(&r) + got, sizeof r - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += size_t(n);
    }
    ::close(fds[0]);
    int status = 0;
    const pid_t waited = pid > 0 ? ::waitpid(pid, &status, 0) : -1;
    // The mount went with the child's namespace.
    EXPECT_EQ(::rmdir(dir.c_str()), 0) << dir << ": " << std::strerror(errno);
    ASSERT_GT(pid, 0);
    ASSERT_EQ(waited, pid);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(got, sizeof r);
    if (WEXITSTATUS(status) == kChildSkips) GTEST_SKIP() << r.skip_reason;
    ASSERT_EQ(WEXITSTATUS(status), 0);
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
