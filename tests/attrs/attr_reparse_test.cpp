// Reparse points set on the volume and read back: every kind through
// classify_reparse_point, and the attribute records they give.
#include "tests/attrs/attrs_env.h"

namespace {

struct reparse_case {
    const char* name;
    bool directory;
    std::string data;
    int kind;
    std::string stripped;
    std::string unstripped;
    uint32_t major, minor;
};

TEST_F(attrs_test, EveryKindRoundTrips) {
    SKIP_ON_WINE("FSCTL_SET_REPARSE_POINT gives error 50");
    const reparse_case cases[] = {
        {"junction", true, link_reparse_data(WP_IO_REPARSE_TAG_MOUNT_POINT, "\\??\\Z:\\tmp\\j", "Z:\\tmp\\j", false),
         REPARSE_JUNCTION, "Z:\\tmp\\j", "\\\\?\\Z:\\tmp\\j", 0, 0},
        {"absolute", false, link_reparse_data(WP_IO_REPARSE_TAG_SYMLINK, "\\??\\Z:\\tmp\\a", "Z:\\tmp\\a", false),
         REPARSE_ABSOLUTE_LINK, "Z:\\tmp\\a", "\\\\?\\Z:\\tmp\\a", 0, 0},
        {"relative", false, link_reparse_data(WP_IO_REPARSE_TAG_SYMLINK, "..\\lib", "..\\lib", true),
         REPARSE_RELATIVE_LINK, "..\\lib", "..\\lib", 0, 0},
        {"nfslink", false, nfs_reparse_link("../x/y"), REPARSE_NFS_LINK, "../x/y", "../x/y", 0, 0},
        {"chr", false, nfs_reparse_device(0x524843, 4, 5), REPARSE_NFS_CHR, "", "", 4, 5},
        {"blk", false, nfs_reparse_device(0x4B4E42, 8, 16), REPARSE_NFS_BLK, "", "", 8, 16},
    };
    for (const reparse_case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.directory)
            make_dir(c.name);
        else
            make_file(c.name);
        ASSERT_TRUE(set_reparse(at(c.name), c.data)) << "error " << file_last_error();
        char target[2048];
        reparse_info r = classify_reparse_point(at(c.name).c_str(), target, sizeof target, true);
        EXPECT_EQ(r.kind, c.kind);
        EXPECT_EQ(std::string(target), c.stripped);
        EXPECT_EQ(r.major, c.major);
        EXPECT_EQ(r.minor, c.minor);
        r = classify_reparse_point(at(c.name).c_str(), target, sizeof target, false);
        EXPECT_EQ(r.kind, c.kind);
        EXPECT_EQ(std::string(target), c.unstripped);
    }
    char target[64] = "untouched";
    EXPECT_EQ(classify_reparse_point(at("none").c_str(), target, sizeof target, true).kind, REPARSE_NONE);
    EXPECT_EQ(std::string(target), "");
    make_file("plain");
    EXPECT_EQ(classify_reparse_point(at("plain").c_str(), target, sizeof target, true).kind, REPARSE_NONE);
}

TEST_F(attrs_test, ReparsePointsAsClientsSeeThem) {
    SKIP_ON_WINE("FSCTL_SET_REPARSE_POINT gives error 50");
    make_dir("junction");
    ASSERT_TRUE(set_reparse(at("junction"),
                            link_reparse_data(WP_IO_REPARSE_TAG_MOUNT_POINT, "\\??\\" + root, root, false)));
    make_file("abs");
    ASSERT_TRUE(set_reparse(at("abs"), link_reparse_data(WP_IO_REPARSE_TAG_SYMLINK, "\\??\\Z:\\tmp\\x", "", false)));
    make_file("rel");
    ASSERT_TRUE(set_reparse(at("rel"), link_reparse_data(WP_IO_REPARSE_TAG_SYMLINK, "..\\lib", "", true)));
    make_file("nfs");
    ASSERT_TRUE(set_reparse(at("nfs"), nfs_reparse_link("a/b'=c")));
    make_file("chr");
    ASSERT_TRUE(set_reparse(at("chr"), nfs_reparse_device(0x524843, 4, 5)));
    make_file("blk");
    ASSERT_TRUE(set_reparse(at("blk"), nfs_reparse_device(0x4B4E42, 8, 16)));

    file_attributes a = attr_of("junction");
    EXPECT_EQ(a.type, uint32_t(NF_DIR));  // a junction shows as the directory it is
    EXPECT_EQ(a.mode, 040755u);
    a = attr_of("abs");
    EXPECT_EQ(a.type, uint32_t(NF_LNK));
    EXPECT_EQ(a.mode, 0120777u);
    EXPECT_EQ(a.size, 8u);  // "/z/tmp/x"
    a = attr_of("rel");
    EXPECT_EQ(a.type, uint32_t(NF_LNK));
    EXPECT_EQ(a.size, 6u);  // "../lib"
    a = attr_of("nfs");
    EXPECT_EQ(a.type, uint32_t(NF_LNK));
    EXPECT_EQ(a.size, 5u);  // "a/b:c": the escaped colon comes back
    a = attr_of("chr");
    EXPECT_EQ(a.type, uint32_t(NF_CHR));
    EXPECT_EQ(a.mode, 020666u);
    EXPECT_EQ(a.rdev_major, 4u);
    EXPECT_EQ(a.rdev_minor, 5u);
    EXPECT_EQ(a.uid, 0u);
    a = attr_of("blk");
    EXPECT_EQ(a.type, uint32_t(NF_BLK));
    EXPECT_EQ(a.mode, 060666u);
    EXPECT_EQ(a.rdev_major, 8u);
    EXPECT_EQ(a.rdev_minor, 16u);
}

}  // namespace
