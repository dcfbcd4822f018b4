// Reparse points: symbolic links and junctions read back as the data that
// made them, NFS-tagged data survives a reopen, and the FSCTL error rules.
#include "tests/support/reparse_bytes.h"
#include "platform/utf16.h"
#include "platform/win_error.h"
#include "tests/volume/volume_env.h"

#include <cstring>

namespace {


// A symlink or junction buffer: substitute name then print name, each NUL-ended.
std::string link_data(uint32_t tag, const std::string& target, bool relative) {
    const std::string sub = utf16le(relative ? target : "\\??\\" + target), print = utf16le(target);
    std::string body;
    put16(body, 0);
    put16(body, uint16_t(sub.size()));
    put16(body, uint16_t(sub.size() + 2));
    put16(body, uint16_t(print.size()));
    if (tag == WP_IO_REPARSE_TAG_SYMLINK) put32(body, relative ? 1 : 0);
    body += sub + std::string(2, '\0') + print + std::string(2, '\0');
    std::string out;
    put32(out, tag);
    put16(out, uint16_t(body.size()));
    put16(out, 0);
    return out + body;
}

std::string nfs_link_data(const std::string& target) {
    std::string body;
    put32(body, 0x014B4E4C);
    put32(body, 0);
    body += utf16le(target);
    std::string out;
    put32(out, WP_IO_REPARSE_TAG_NFS);
    put16(out, uint16_t(body.size()));
    put16(out, 0);
    return out + body;
}

std::string header_only(uint32_t tag) {
    std::string out;
    put32(out, tag);
    put32(out, 0);
    return out;
}

constexpr uint32_t kReparseOpen = WP_FILE_FLAG_BACKUP_SEMANTICS | WP_FILE_FLAG_OPEN_REPARSE_POINT;

file_handle open_reparse(const std::string& path) {
    return file_handle(wp_create_file(path.c_str(), WP_GENERIC_READ | WP_GENERIC_WRITE, WP_FILE_SHARE_ALL,
                                      WP_OPEN_EXISTING, kReparseOpen));
}

bool set_reparse(const std::string& path, const std::string& data) {
    file_handle h = open_reparse(path);
    if (!h.valid()) return false;
    return wp_device_io_control(h.get(), WP_FSCTL_SET_REPARSE_POINT, data.data(), uint32_t(data.size()), nullptr, 0,
                                nullptr);
}

std::string get_reparse(const std::string& path, uint32_t* error = nullptr) {
    file_handle h = open_reparse(path);
    char buf[WP_MAXIMUM_REPARSE_DATA_BUFFER_SIZE];
    uint32_t n = 0;
    const bool ok = h.valid() && wp_device_io_control(h.get(), WP_FSCTL_GET_REPARSE_POINT, nullptr, 0, buf,
                                                      sizeof buf, &n);
    if (error) *error = ok ? 0 : file_last_error();
    return ok ? std::string(buf, n) : std::string();
}

bool delete_reparse(const std::string& path, uint32_t tag) {
    file_handle h = open_reparse(path);
    const std::string d = header_only(tag);
    return h.valid() &&
           wp_device_io_control(h.get(), WP_FSCTL_DELETE_REPARSE_POINT, d.data(), uint32_t(d.size()), nullptr, 0, nullptr);
}

struct reparse_test : volume_test {
    void SetUp() override {
        volume_test::SetUp();
        if (running_under_wine()) GTEST_SKIP() << "Wine: FSCTL_SET_REPARSE_POINT gives 50 and links are followed";
    }
};

TEST_F(reparse_test, JunctionRoundTripsAndLeadsToItsTarget) {
    make_dir("target");
    make_file("target\\inside.txt", "through");
    make_dir("jump");
    const std::string data = link_data(WP_IO_REPARSE_TAG_MOUNT_POINT, at("target"), false);
    ASSERT_TRUE(set_reparse(at("jump"), data)) << file_last_error();
    EXPECT_EQ(get_reparse(at("jump")), data);
    EXPECT_EQ(wp_get_file_attributes(at("jump").c_str()),
              uint32_t(WP_FILE_ATTRIBUTE_DIRECTORY | WP_FILE_ATTRIBUTE_REPARSE_POINT));
    EXPECT_EQ(read_all("jump\\inside.txt"), "through");
    wp_find_data d;
    wp_find_handle s = wp_find_first(at("JUMP").c_str(), WP_FIND_EX_INFO_BASIC, &d, 0, 0);
    ASSERT_NE(s, WP_INVALID_FIND_HANDLE);
    EXPECT_EQ(d.reparse_tag, uint32_t(WP_IO_REPARSE_TAG_MOUNT_POINT));
    wp_find_close(s);
    // Deleting the reparse data leaves the empty directory it was set on.
    ASSERT_TRUE(delete_reparse(at("jump"), WP_IO_REPARSE_TAG_MOUNT_POINT)) << file_last_error();
    EXPECT_EQ(wp_get_file_attributes(at("jump").c_str()), uint32_t(WP_FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(read_all("target\\inside.txt"), "through");
}

// A junction is kept as a link text ending in "/.": a file link whose own
// target ends so must still read back as a file link.
TEST_F(reparse_test, FileLinksToADotNeverReadBackAsJunctions) {
    for (const bool relative : {true, false}) {
        const std::string name = relative ? "rel" : "abs";
        make_file(name);
        const std::string data =
            link_data(WP_IO_REPARSE_TAG_SYMLINK, relative ? "missing\\." : at("missing") + "\\.", relative);
        ASSERT_TRUE(set_reparse(at(name), data)) << file_last_error();
        const std::string back = get_reparse(at(name));
        ASSERT_GE(back.size(), 4u) << name;
        uint32_t tag = 0;
        std::memcpy(&tag, back.data(), 4);
        EXPECT_EQ(tag, uint32_t(WP_IO_REPARSE_TAG_SYMLINK)) << name;
        EXPECT_TRUE(!relative || back == data) << "a relative text is kept whole";
        EXPECT_EQ(wp_get_file_attributes(at(name).c_str()), uint32_t(WP_FILE_ATTRIBUTE_REPARSE_POINT)) << name;
    }
}

TEST_F(reparse_test, SymbolicLinksRoundTripAbsoluteAndRelative) {
    make_dir("dir");
    make_file("dir\\file.txt", "linked");
    make_file("rel");
    const std::string rel = link_data(WP_IO_REPARSE_TAG_SYMLINK, "dir\\file.txt", true);
    ASSERT_TRUE(set_reparse(at("rel"), rel)) << file_last_error();
    EXPECT_EQ(get_reparse(at("rel")), rel);
    EXPECT_EQ(wp_get_file_attributes(at("rel").c_str()), uint32_t(WP_FILE_ATTRIBUTE_REPARSE_POINT));
    EXPECT_EQ(read_all("rel"), "linked");
    make_dir("abs");
    const std::string abs = link_data(WP_IO_REPARSE_TAG_SYMLINK, at("dir"), false);
    ASSERT_TRUE(set_reparse(at("abs"), abs)) << file_last_error();
    EXPECT_EQ(get_reparse(at("abs")), abs);
    EXPECT_EQ(read_all("abs\\file.txt"), "linked");
    // A dangling directory link is still a directory link.
    make_dir("dangling");
    const std::string gone = link_data(WP_IO_REPARSE_TAG_SYMLINK, at("nowhere"), false);
    ASSERT_TRUE(set_reparse(at("dangling"), gone)) << file_last_error();
    EXPECT_EQ(get_reparse(at("dangling")), gone);
    EXPECT_EQ(wp_get_file_attributes(at("dangling").c_str()),
              uint32_t(WP_FILE_ATTRIBUTE_DIRECTORY | WP_FILE_ATTRIBUTE_REPARSE_POINT));
    // Removing a link removes the link, not its target.
    EXPECT_TRUE(wp_delete_file(at("rel").c_str())) << file_last_error();
    EXPECT_TRUE(wp_remove_directory(at("abs").c_str())) << file_last_error();
    EXPECT_EQ(read_all("dir\\file.txt"), "linked");
}

TEST_F(reparse_test, NfsReparseDataSurvivesAReopenAndCanBeDeleted) {
    make_file("nfs");
    const std::string data = nfs_link_data("../lib/target");
    ASSERT_TRUE(set_reparse(at("nfs"), data)) << file_last_error();
    EXPECT_EQ(get_reparse(at("NFS")), data);
    EXPECT_EQ(wp_get_file_attributes(at("nfs").c_str()),
              uint32_t(WP_FILE_ATTRIBUTE_ARCHIVE | WP_FILE_ATTRIBUTE_REPARSE_POINT));
    uint32_t error = 0;
    EXPECT_FALSE(delete_reparse(at("nfs"), WP_IO_REPARSE_TAG_SYMLINK));
    EXPECT_EQ(file_last_error(), WIN_ERROR_REPARSE_TAG_MISMATCH);
    ASSERT_TRUE(delete_reparse(at("nfs"), WP_IO_REPARSE_TAG_NFS)) << file_last_error();
    EXPECT_EQ(get_reparse(at("nfs"), &error), "");
    EXPECT_EQ(error, WIN_ERROR_NOT_A_REPARSE_POINT);
    EXPECT_EQ(wp_get_file_attributes(at("nfs").c_str()), uint32_t(WP_FILE_ATTRIBUTE_ARCHIVE));
}

TEST_F(reparse_test, ControlErrors) {
    make_file("plain", "x");
    uint32_t error = 0;
    get_reparse(at("plain"), &error);
    EXPECT_EQ(error, WIN_ERROR_NOT_A_REPARSE_POINT);
    make_dir("full");
    make_file("full\\f");
    EXPECT_FALSE(set_reparse(at("full"), link_data(WP_IO_REPARSE_TAG_MOUNT_POINT, at("plain"), false)));
    EXPECT_EQ(file_last_error(), WIN_ERROR_DIR_NOT_EMPTY);
    std::string truncated = nfs_link_data("x");
    truncated.resize(truncated.size() - 1);
    EXPECT_FALSE(set_reparse(at("plain"), truncated));
    EXPECT_EQ(file_last_error(), WIN_ERROR_INVALID_REPARSE_DATA);
    make_file("small");
    ASSERT_TRUE(set_reparse(at("small"), nfs_link_data("a-long-target-name")));
    file_handle h = open_reparse(at("small"));
    char buf[12];
    uint32_t n = 0;
    EXPECT_FALSE(wp_device_io_control(h.get(), WP_FSCTL_GET_REPARSE_POINT, nullptr, 0, buf, 4, &n));
    EXPECT_EQ(file_last_error(), WIN_ERROR_INSUFFICIENT_BUFFER);
    EXPECT_FALSE(wp_device_io_control(h.get(), WP_FSCTL_GET_REPARSE_POINT, nullptr, 0, buf, sizeof buf, &n));
    EXPECT_EQ(file_last_error(), WIN_ERROR_MORE_DATA);
    EXPECT_EQ(n, sizeof buf);
    file_handle reader(wp_create_file(at("small").c_str(), WP_GENERIC_READ, WP_FILE_SHARE_ALL, WP_OPEN_EXISTING, kReparseOpen));
    const std::string d = header_only(WP_IO_REPARSE_TAG_NFS);
    EXPECT_FALSE(wp_device_io_control(reader.get(), WP_FSCTL_DELETE_REPARSE_POINT, d.data(), 8, nullptr, 0, &n));
    EXPECT_EQ(file_last_error(), WIN_ERROR_ACCESS_DENIED);
}

}  // namespace
