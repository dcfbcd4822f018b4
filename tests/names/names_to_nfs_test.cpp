#include "names_test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

class ToNfs : public ::testing::Test {
protected:
    void SetUp() override { names_setup(nullptr, nullptr, 1252); }
    void TearDown() override { names_setup(nullptr, nullptr, 0); }
    mount_context m = long_name_mount();
};

TEST_F(ToNfs, ListingShowsTheClientNames) {
    EXPECT_EQ(to_nfs(m, "a'~b"), "a*b");
    EXPECT_EQ(to_nfs(m, "'con"), "con");
    EXPECT_EQ(to_nfs(m, "'CON.txt"), "CON.txt");
    EXPECT_EQ(to_nfs(m, "x.'"), "x.");
    EXPECT_EQ(to_nfs(m, "x.''"), "x.'");
    EXPECT_EQ(to_nfs(m, "'''~"), "'*");
    EXPECT_EQ(to_nfs(m, "''~"), "'~");
    EXPECT_EQ(to_nfs(m, "a'b"), "a'b");
    EXPECT_EQ(to_nfs(m, "x '"), "x ");
}

TEST_F(ToNfs, NamesMadeOnTheServer) {
    EXPECT_EQ(to_nfs(m, "~"), "~");          // a code without escape character
    EXPECT_EQ(to_nfs(m, "'"), "'");
    EXPECT_EQ(to_nfs(m, "''''"), "''''");    // a run before nothing stays
    EXPECT_EQ(to_nfs(m, "'com0"), "'com0");  // not a device: the escape stays
    EXPECT_EQ(to_nfs(m, "x'."), "x'.");
    EXPECT_EQ(to_nfs(m, ""), "");
}

TEST_F(ToNfs, CaseCollisionSuffix) {
    m.flags = MOUNT_FLAG_CASE_SENSITIVE;
    EXPECT_EQ(to_nfs(m, "makefile'0"), "makefile");
    EXPECT_EQ(to_nfs(m, "Makefile"), "Makefile");
    EXPECT_EQ(to_nfs(m, "x\xc3\xa9'9"), "x\xc3\xa9");
    EXPECT_EQ(to_nfs(m, "12'0"), "12'0");    // no letter: no case to differ in
    EXPECT_EQ(to_nfs(m, "a'0"), "a");
    EXPECT_EQ(to_nfs(m, "'0"), "'0");
    EXPECT_EQ(to_nfs(m, "ab'x"), "ab'x");
    m.flags = 0;
    EXPECT_EQ(to_nfs(m, "makefile'0"), "makefile'0");
}

TEST_F(ToNfs, SubstitutesReadBack) {
    m.flags = MOUNT_FLAG_SUB;
    m.sub_colon = '_';
    m.sub_question = '!';
    EXPECT_EQ(to_nfs(m, "a_b!c_"), "a:b?c:");
    m.sub_question = 0;
    EXPECT_EQ(to_nfs(m, "a_b!"), "a:b!");
    m.flags = 0;
    EXPECT_EQ(to_nfs(m, "a_b"), "a_b");
}

TEST_F(ToNfs, CodePageOfTheClient) {
    m.name_encoding = NAME_ENCODING_CODE_PAGE;
    EXPECT_EQ(to_nfs(m, "caf\xc3\xa9"), "caf\xe9");
    EXPECT_EQ(to_nfs(m, "\xe6\x97\xa5"), "\xe6\x97\xa5");   // not in 1252: stays UTF-8
    names_setup(nullptr, nullptr, 932);
    EXPECT_EQ(to_nfs(m, "\xe6\x97\xa5"), "\x93\xfa");
}

TEST_F(ToNfs, InPlaceAndTooSmall) {
    char buf[kNameSize] = "a'~b'%";
    EXPECT_EQ(windows_name_to_nfs(m, buf, buf, sizeof buf), 4u);
    EXPECT_STREQ(buf, "a*b?");
    char small[4] = "xyz";
    EXPECT_EQ(windows_name_to_nfs(m, "abcd", small, sizeof small), 0u);
    EXPECT_STREQ(small, "");
}

TEST_F(ToNfs, LinkTargetSizedBuffer) {
    std::string target;
    for (int i = 0; i < 600; ++i) target += "'~";
    char out[kNamePathSize];
    ASSERT_EQ(windows_name_to_nfs(m, target.c_str(), out, sizeof out), 600u);
    EXPECT_EQ(std::string(out), std::string(600, '*'));
}

}  // namespace
