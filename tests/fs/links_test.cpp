// LINK, SYMLINK, READLINK and MKNOD through directory handles: every form
// the settings choose, read back, and the targets and names that must not
// make anything.
#include "tests/support/fs_calls.h"
#include "quen/config/settings.h"
#include "quen/fs/links.h"
#include "quen/fs/nfs_status.h"
#include "quen/inode/paths.h"
#include "quen/fs/mknod.h"
#include "tests/fs/namespace_test_env.h"
#include "tests/support/file_tree.h"

namespace {

struct links_test : namespace_test {
    uint32_t saved_soft = 0, saved_hard = 0;
    void SetUp() override {
        namespace_test::SetUp();
        saved_soft = g_settings.record.soft_links;
        saved_hard = g_settings.record.hard_links;
    }
    void TearDown() override {
        g_settings.record.soft_links = saved_soft;
        g_settings.record.hard_links = saved_hard;
        namespace_test::TearDown();
    }
    uint32_t symlink(const std::string& dir, const std::string& name, const std::string& target,
                     create_result& r) {
        return fs_symlink(dir_handle(dir), name.data(), name.size(), xdr_sattr{}, target.data(), target.size(), me,
                          true, r);
    }
    std::string readlink(const create_result& r, uint32_t* status) {
        char text[1100];
        file_attributes a;
        *status = fs_readlink(r.handle, text, sizeof text, me, a);
        return text;
    }
    uint32_t mknod(const std::string& dir, const std::string& name, uint32_t type, const fs_credential& cred,
                   create_result& r, uint32_t major = 4, uint32_t minor = 64) {
        return fs_mknod(dir_handle(dir), name.data(), name.size(), type, with_mode(0644), major, minor, cred, true, r);
    }
    std::string client_form(const std::string& relative) {
        char out[2048];
        windows_path_to_nfs(at(relative).c_str(), out, sizeof out);
        return out;
    }
    // Whether the volume under the exports holds reparse points.
    bool reparse_volume() {
        mount_context ctx;
        char mounted[kHandlePathSize];
        return handle_resolve(dir_handle("plain"), &ctx, mounted) && (ctx.flags & MOUNT_FLAG_REPARSE);
    }
    int reparse_kind(const std::string& relative) {
        char target[2048];
        return classify_reparse_point(at(relative).c_str(), target, sizeof target, true).kind;
    }
};

TEST_F(links_test, symbolic_links_in_every_form_read_back) {
    make_dir("plain\\sub");
    const std::string inside = client_form("plain\\sub");
    struct form {
        uint32_t soft_links;
        const char* name;
        std::string target;
        int kind;          // REPARSE_NONE: the marker file
        bool directory;
    } forms[] = {
        {1, "lib", "../lib", REPARSE_NONE, false},
        {2, "abs", inside, REPARSE_ABSOLUTE_LINK, true},
        {2, "rel", "sub/x", REPARSE_RELATIVE_LINK, false},
        {2, "dird", "missing.d", REPARSE_RELATIVE_LINK, true},
        {2, "out", "../../../../etc", REPARSE_NONE, false},
        {6, "nfs", "sub/x", REPARSE_NFS_LINK, false},
        {6, "nfsout", "/etc/passwd", REPARSE_NFS_LINK, false},
    };
    const bool reparse = reparse_volume();
    for (const form& f : forms) {
        if (f.soft_links >= 2 && !reparse) continue;   // no reparse points to make
        g_settings.record.soft_links = f.soft_links;
        const std::string path = std::string("plain\\") + f.name;
        create_result r;
        ASSERT_EQ(symlink("plain", f.name, f.target, r), uint32_t(NFS_OK)) << f.name;
        EXPECT_EQ(r.attributes.type, uint32_t(NF_LNK)) << f.name;
        EXPECT_EQ(reparse_kind(path), f.kind) << f.name;
        const uint32_t windows = wp_get_file_attributes(at(path).c_str());
        EXPECT_EQ((windows & WP_FILE_ATTRIBUTE_DIRECTORY) != 0, f.directory) << f.name;
        if (f.kind == REPARSE_NONE) {
            EXPECT_EQ(read_file(path), f.target) << f.name;
            EXPECT_NE(windows & special_marker(), 0u) << f.name;
        }
        uint32_t status = 0;
        EXPECT_EQ(readlink(r, &status), f.target) << f.name;
        EXPECT_EQ(status, uint32_t(NFS_OK)) << f.name;
        // REMOVE takes the link, a directory one included, never its target.
        EXPECT_EQ(remove("plain", f.name, me), uint32_t(NFS_OK)) << f.name;
        EXPECT_FALSE(exists(path)) << f.name;
    }
    EXPECT_TRUE(exists("plain\\sub"));
}

TEST_F(links_test, what_symlink_refuses) {
    create_result r;
    g_settings.record.soft_links = 0;
    EXPECT_EQ(symlink("plain", "l", "x", r), uint32_t(NFSERR_ACCES)) << "no form allowed";
    g_settings.record.soft_links = 1;
    std::string device(32, '\0');
    device[4] = 'x';
    const std::string targets[] = {"", std::string("a\0b", 3), "a\nb", device, std::string(1100, 'a')};
    for (const std::string& t : targets) EXPECT_NE(symlink("plain", "l", t, r), uint32_t(NFS_OK)) << t.size();
    EXPECT_FALSE(exists("plain\\l"));
    make_file("plain\\f", "data");
    EXPECT_EQ(symlink("plain", "f", "x", r), uint32_t(NFSERR_EXIST));
    EXPECT_EQ(read_file("plain\\f"), "data");
    EXPECT_EQ(symlink("plain", "..", "x", r), uint32_t(NFSERR_ISDIR));
}

TEST_F(links_test, readlink_of_what_is_no_link) {
    make_file("plain\\f", "plain text");
    create_result r;
    r.handle = handle_of("plain\\f", plain);
    uint32_t status = 0;
    EXPECT_EQ(readlink(r, &status), "");
    EXPECT_EQ(status, uint32_t(NFSERR_NOENT));
}

TEST_F(links_test, an_unchecked_create_does_not_follow_a_link) {
    if (!reparse_volume()) GTEST_SKIP() << "the volume holds no reparse points";
    g_settings.record.soft_links = 2;
    make_file("plain\\target", "kept");
    create_result r;
    ASSERT_EQ(symlink("plain", "l", "target", r), uint32_t(NFS_OK));
    ASSERT_EQ(reparse_kind("plain\\l"), REPARSE_RELATIVE_LINK);
    EXPECT_EQ(create("plain", "l", with_mode(0644), me, CREATE_UNCHECKED), uint32_t(NFSERR_EXIST));
    EXPECT_EQ(read_file("plain\\target"), "kept");
}

TEST_F(links_test, mknod_of_devices_fifos_and_sockets) {
    SKIP_ON_WINE("creation times are not stored");
    create_result r;
    const fs_credential root = user(0, 0);
    g_settings.record.map_root = 1;
    EXPECT_EQ(mknod("plain", "fifo", NF_FIFO, me, r), uint32_t(NFSERR_NOTSUPP));
    EXPECT_FALSE(exists("plain\\fifo"));
    for (uint32_t type : {uint32_t(NF_FIFO), uint32_t(NF_SOCK)}) {
        const std::string name = type == NF_FIFO ? "fifo" : "sock";
        ASSERT_EQ(mknod("saved", name, type, me, r), uint32_t(NFS_OK)) << name;
        EXPECT_EQ(r.attributes.type, type) << name;
        EXPECT_EQ(read_file("saved\\" + name), "") << name;
    }
    EXPECT_EQ(mknod("plain", "dev", NF_CHR, me, r), uint32_t(NFSERR_ACCES));
    ASSERT_EQ(mknod("plain", "dev", NF_CHR, root, r), uint32_t(NFS_OK));
    const std::string record = read_file("plain\\dev");
    ASSERT_EQ(record.size(), 32u);
    EXPECT_EQ(record[20], 4);
    EXPECT_EQ(record[24], 64);
    EXPECT_EQ(r.attributes.type, uint32_t(NF_CHR));
    EXPECT_EQ(r.attributes.rdev_major, 4u);
    EXPECT_EQ(r.attributes.rdev_minor, 64u);
    make_file("plain\\busy", "data");
    EXPECT_EQ(mknod("plain", "busy", NF_CHR, root, r), uint32_t(NFSERR_EXIST));
    EXPECT_EQ(read_file("plain\\busy"), "data");
    g_settings.record.map_root = 0;
}

TEST_F(links_test, mknod_with_nd_makes_a_reparse_device) {
    if (!reparse_volume()) GTEST_SKIP() << "the volume holds no reparse points";
    make_dir("nd");
    load_exports("@\\nd -ci -nd\n");
    const uint32_t nd = mount_folder(ip("192.0.2.7"), export_at(0)->folder, export_at(0));
    g_settings.record.map_root = 1;
    create_result r;
    const uint32_t status = fs_mknod(handle_of("nd", nd), "blk", 3, NF_BLK, with_mode(0600), 8, 1, user(0, 0), true, r);
    g_settings.record.map_root = 0;
    ASSERT_EQ(status, uint32_t(NFS_OK));
    char target[64];
    const reparse_info info = classify_reparse_point(at("nd\\blk").c_str(), target, sizeof target, true);
    EXPECT_EQ(info.kind, REPARSE_NFS_BLK);
    EXPECT_EQ(info.major, 8u);
    EXPECT_EQ(info.minor, 1u);
    EXPECT_EQ(r.attributes.type, uint32_t(NF_BLK));
}

TEST_F(links_test, hard_links_by_the_volume_or_by_copying) {
    make_file("plain\\f", "data");
    make_dir("plain\\d");
    const internal_handle file = handle_of("plain\\f", plain);
    create_result r;
    struct link_case {
        uint32_t hard_links;
        const char* name;
        uint32_t status;
        bool same_file;
    } cases[] = {{1, "hard", NFS_OK, true}, {2, "copy", NFS_OK, false}, {0, "none", NFSERR_ACCES, false}};
    for (const link_case& c : cases) {
        g_settings.record.hard_links = c.hard_links;
        ASSERT_EQ(fs_link(file, dir_handle("plain"), c.name, std::strlen(c.name), me, true, r), c.status) << c.name;
        if (c.status != NFS_OK) continue;
        EXPECT_EQ(read_file(std::string("plain\\") + c.name), "data") << c.name;
        EXPECT_EQ(r.handle.word[HANDLE_WORD_ID_LOW] == file.word[HANDLE_WORD_ID_LOW], c.same_file) << c.name;
        EXPECT_EQ(r.attributes.nlink, c.same_file ? 2u : 1u) << c.name;
    }
    g_settings.record.hard_links = 1;
    EXPECT_EQ(inode_base_of(record_of("plain", "hard")), file.word[HANDLE_WORD_ID_LOW]) << "one number for both names";
    EXPECT_EQ(fs_link(handle_of("plain\\d", plain), dir_handle("plain"), "dl", 2, me, true, r), uint32_t(NFSERR_ISDIR));
    EXPECT_EQ(fs_link(file, dir_handle("other"), "x", 1, me, true, r), uint32_t(NFSERR_IO)) << "two mounts";
    EXPECT_EQ(fs_link(file, dir_handle("plain"), "hard", 4, me, true, r), uint32_t(NFSERR_EXIST));
}

// A copy of a link would hold what the link leads to, here a file outside
// the export.
TEST_F(links_test, a_link_is_not_copied) {
    SKIP_ON_WINE("the volume holds no reparse points");
    make_file("secret", "outside");
    make_link("plain\\out", at("secret"), false);
    g_settings.record.hard_links = 2;
    create_result r;
    EXPECT_EQ(fs_link(handle_of("plain\\out", plain), dir_handle("plain"), "copy", 4, me, true, r),
              uint32_t(NFSERR_ACCES));
    EXPECT_EQ(wp_get_file_attributes(at("plain\\copy").c_str()), WP_INVALID_FILE_ATTRIBUTES);
}

}  // namespace
