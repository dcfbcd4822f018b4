#include "quen/config/settings.h"
#include "quen/inode/paths.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

class Paths : public ::testing::Test {
protected:
    void SetUp() override { g_settings.record.lowercase = 1; }
    void TearDown() override { g_settings.record.lowercase = 0; }
};

std::string slash_form(const char* windows, size_t* len = nullptr) {
    char out[2048];
    size_t n = windows_path_to_nfs(windows, out, sizeof out);
    if (len) *len = n;
    EXPECT_EQ(n, std::strlen(out));
    return out;
}

std::string windows_form(const char* nfs) {
    char out[2048];
    size_t n = nfs_path_to_windows(nfs, out, sizeof out);
    EXPECT_EQ(n, std::strlen(out));
    return out;
}

TEST_F(Paths, WindowsToSlashForm) {
    EXPECT_EQ(slash_form("C:\\dir\\sub"), "/c/dir/sub");
    EXPECT_EQ(slash_form("C:\\"), "/c");
    EXPECT_EQ(slash_form("D:"), "/d");
    EXPECT_EQ(slash_form("\\\\?\\C:\\dir"), "//?/c:/dir");
    EXPECT_EQ(slash_form("\\\\?\\Volume{1234}\\x\\"), "//?/Volume{1234}/x");
    EXPECT_EQ(slash_form("\\\\server\\share\\"), "//server/share");
    EXPECT_EQ(slash_form("dir\\\\"), "dir/");   // one trailing slash only
    size_t len = 99;
    EXPECT_EQ(slash_form("", &len), "");
    EXPECT_EQ(len, 0u);
    g_settings.record.lowercase = 0;
    EXPECT_EQ(slash_form("C:\\Dir"), "/C/Dir");
    EXPECT_EQ(slash_form("\\\\?\\C:\\dir"), "//?/C:/dir");
}

TEST_F(Paths, WindowsToSlashFormInPlaceAndOutOfRoom) {
    char buf[32] = "E:\\Data\\";
    EXPECT_EQ(windows_path_to_nfs(nullptr, buf, sizeof buf), 7u);
    EXPECT_STREQ(buf, "/e/Data");
    char small[6] = "zzzzz";
    EXPECT_EQ(windows_path_to_nfs("C:\\abcd", small, sizeof small), 0u);
    EXPECT_STREQ(small, "");
}

TEST_F(Paths, SlashFormToWindows) {
    EXPECT_EQ(windows_form("/c/dir"), "c:\\dir");
    EXPECT_EQ(windows_form("/c"), "c:\\");
    EXPECT_EQ(windows_form("/c/"), "c:\\");
    EXPECT_EQ(windows_form("c:"), "c:\\");
    EXPECT_EQ(windows_form("c:/x"), "c:\\x");
    EXPECT_EQ(windows_form("//server"), "\\\\server\\");
    EXPECT_EQ(windows_form("//server/share"), "\\\\server\\share");
    EXPECT_EQ(windows_form("//?/c:"), "\\\\?\\c:\\");
    EXPECT_EQ(windows_form("//?/c:/x"), "\\\\?\\c:\\x");
    EXPECT_EQ(windows_form("/cd/x"), "\\cd\\x");
    EXPECT_EQ(windows_form("rel/x"), "rel\\x");
    EXPECT_EQ(windows_form("/1/x"), "\\1\\x");
}

TEST_F(Paths, SlashFormToWindowsInPlaceAndOutOfRoom) {
    char buf[4] = "/c";
    EXPECT_EQ(nfs_path_to_windows(nullptr, buf, sizeof buf), 3u);
    EXPECT_STREQ(buf, "c:\\");
    char tight[3] = "/c";   // the appended backslash does not fit
    EXPECT_EQ(nfs_path_to_windows(nullptr, tight, sizeof tight), 0u);
    EXPECT_STREQ(tight, "");
}

TEST_F(Paths, RootPaths) {
    for (const char* good : {"C:", "c:\\", "C:\\x\\y", "\\\\?\\C:\\", "\\\\?\\c:", "\\\\?\\Volume{abc}\\x",
                             "\\\\?\\volume{abc}", "Volume{1}", "\\\\server\\share", "\\\\server", "\\\\?\\\\\\srv"})
        EXPECT_TRUE(is_windows_root_path(good)) << good;
    for (const char* bad : {"", "C", "C:x", "1:\\", "\\x", "\\\\", "\\\\\\share", "\\\\ser*ver", "\\\\?\\",
                            "\\\\?\\Volume{abc", "\\\\?\\Volume{abc}x", "Volume{", "relative\\dir", "\\\\?\\UNC\\s\\x"})
        EXPECT_FALSE(is_windows_root_path(bad)) << bad;
    EXPECT_FALSE(is_windows_root_path(nullptr));
}

struct prefix_case {
    const char* in;
    size_t length;
    const char* out;
};

TEST_F(Paths, RootPrefixLength) {
    const prefix_case cases[] = {
        {"c:\\dir", 3, "C:\\dir"},
        {"c:", 3, "C:\\"},
        {"C:\\", 3, "C:\\"},
        {"C:\\dir\\", 3, "C:\\dir"},
        {"C:\\dir\\\\", 3, "C:\\dir\\"},
        {"\\\\?\\c:\\x", 7, "\\\\?\\C:\\x"},
        {"\\\\?\\c:", 7, "\\\\?\\C:\\"},
        {"\\\\?\\Volume{ab}\\x\\", 15, "\\\\?\\Volume{ab}\\x"},
        {"\\\\server\\share\\dir", 15, "\\\\server\\share\\dir"},
        {"\\\\server\\share", 15, "\\\\server\\share\\"},
        {"\\\\server\\share\\", 15, "\\\\server\\share\\"},
        {"\\\\server", 0, "\\\\server"},
        {"\\\\server\\", 0, "\\\\server\\"},
        {"\\\\\\share", 0, "\\\\\\share"},
        {"", 0, ""},
    };
    for (const auto& c : cases) {
        char buf[64];
        std::strcpy(buf, c.in);
        EXPECT_EQ(root_prefix_length(buf, sizeof buf), c.length) << c.in;
        EXPECT_STREQ(buf, c.out) << c.in;
    }
}

TEST_F(Paths, RootPrefixWithoutRoomForTheSeparator) {
    char buf[3] = "c:";
    EXPECT_EQ(root_prefix_length(buf, sizeof buf), 0u);
    char unterminated[4] = {'c', ':', 'x', 'y'};
    EXPECT_EQ(root_prefix_length(unterminated, sizeof unterminated), 0u);
}

}  // namespace

TEST_F(Paths, FullLengthPathsFitAndOnlyTheAddedSeparatorNeedsRoom) {
    std::string longest = "/c/" + std::string(2044, 'x');   // 2047 bytes, the most a path may have
    char out[2048];
    EXPECT_EQ(nfs_path_to_windows(longest.c_str(), out, sizeof out), 2047u);
    EXPECT_EQ(out[0], 'c');
    EXPECT_EQ(out[1], ':');
    // A bare server name gets its backslash only when there is room for it.
    char tight[8];
    EXPECT_EQ(nfs_path_to_windows("//srvr", tight, 7), 0u);
    EXPECT_STREQ(tight, "");
    EXPECT_EQ(nfs_path_to_windows("//srvr", tight, 8), 7u);
    EXPECT_STREQ(tight, "\\\\srvr\\");
}
