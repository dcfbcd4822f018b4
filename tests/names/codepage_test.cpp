#include "platform/codepage.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

struct sample {
    uint32_t code_page;
    const char* native;
    const char* utf8;
};

// One character of each code page that no other table puts at that byte.
const sample kSamples[] = {
    {437, "\x80\x9b", "\xc3\x87\xc2\xa2"},          // Ç ¢
    {850, "\x9b", "\xc3\xb8"},                      // ø
    {852, "\xa5", "\xc4\x85"},                      // ą
    {866, "\x80", "\xd0\x90"},                      // А
    {874, "\xa1", "\xe0\xb8\x81"},                  // ก
    {932, "\x93\xfa\x96\x7b", "\xe6\x97\xa5\xe6\x9c\xac"},   // 日本
    {936, "\xd6\xd0", "\xe4\xb8\xad"},              // 中
    {949, "\xc7\xd1", "\xed\x95\x9c"},              // 한
    {950, "\xa4\xa4", "\xe4\xb8\xad"},              // 中
    {1250, "\xb9", "\xc4\x85"},                     // ą
    {1251, "\xc0", "\xd0\x90"},                     // А
    {1252, "caf\xe9", "caf\xc3\xa9"},               // é
    {1253, "\xc1", "\xce\x91"},                     // Α
    {1254, "\xd0", "\xc4\x9e"},                     // Ğ
    {1255, "\xe0", "\xd7\x90"},                     // א
    {1256, "\xc7", "\xd8\xa7"},                     // ا
    {1257, "\xe0", "\xc4\x85"},                     // ą
    {1258, "\xc3", "\xc4\x82"},                     // Ă
    {65001, "\xc3\xa9", "\xc3\xa9"},
};

TEST(CodePage, EachSupportedPageBothWays) {
    for (const auto& s : kSamples) {
        char buf[64];
        std::strcpy(buf, s.native);
        EXPECT_EQ(codepage_to_utf8(s.code_page, buf, sizeof buf), std::strlen(s.utf8)) << s.code_page;
        EXPECT_STREQ(buf, s.utf8) << s.code_page;
        EXPECT_EQ(utf8_to_codepage(s.code_page, buf, sizeof buf), std::strlen(s.native)) << s.code_page;
        EXPECT_STREQ(buf, s.native) << s.code_page;
    }
}

TEST(CodePage, SupportedNumbers) {
    for (uint32_t cp : {0u, 437u, 850u, 852u, 866u, 874u, 932u, 936u, 949u, 950u, 1250u, 1258u, 65001u})
        EXPECT_TRUE(codepage_supported(cp)) << cp;
    for (uint32_t cp : {1u, 1249u, 1259u, 20127u, 65000u, 28591u}) EXPECT_FALSE(codepage_supported(cp)) << cp;
    EXPECT_TRUE(codepage_supported(codepage_system_ansi()));
    EXPECT_NE(codepage_system_ansi(), 0u);
}

TEST(CodePage, UnsupportedPageFailsAndLeavesTheText) {
    char buf[16] = "abc";
    EXPECT_EQ(codepage_to_utf8(1234, buf, sizeof buf), 0u);
    EXPECT_EQ(utf8_to_codepage(1234, buf, sizeof buf), 0u);
    EXPECT_STREQ(buf, "abc");
}

TEST(CodePage, ZeroIsTheSystemPage) {
    const uint32_t ansi = codepage_system_ansi();
    for (const char* text : {"plain", "\xe9\xc0", "\xa4\xa4"}) {
        char a[32], b[32];
        std::strcpy(a, text);
        std::strcpy(b, text);
        size_t na = codepage_to_utf8(0, a, sizeof a);
        size_t nb = codepage_to_utf8(ansi, b, sizeof b);
        EXPECT_EQ(na, nb) << text;
        EXPECT_STREQ(a, b) << text;
    }
}

TEST(CodePage, InvalidInput) {
    char lone_lead[8] = "\x81";   // a lead byte without its trail
    EXPECT_EQ(codepage_to_utf8(932, lone_lead, sizeof lone_lead), 0u);
    EXPECT_STREQ(lone_lead, "\x81");
    char bad_utf8[8] = "a\xff" "b";
    EXPECT_EQ(utf8_to_codepage(1252, bad_utf8, sizeof bad_utf8), 0u);
    EXPECT_STREQ(bad_utf8, "a\xff" "b");
    char bad_utf8_in[8] = "\xc3";
    EXPECT_EQ(codepage_to_utf8(65001, bad_utf8_in, sizeof bad_utf8_in), 0u);
}

TEST(CodePage, UnrepresentableCharacterKeepsTheUtf8) {
    char buf[16] = "x\xe6\x97\xa5";   // 日 has no 1252 form, nor a look-alike
    EXPECT_EQ(utf8_to_codepage(1252, buf, sizeof buf), 0u);
    EXPECT_STREQ(buf, "x\xe6\x97\xa5");
    char accent[16] = "\xc4\x85";   // ą: 1252 has only a plain a for it
    EXPECT_EQ(utf8_to_codepage(1252, accent, sizeof accent), 0u);
    EXPECT_STREQ(accent, "\xc4\x85");
}

TEST(CodePage, ResultMustFitWithItsNul) {
    char exact[3] = "\xe9\xe9";   // four bytes of UTF-8 in three
    EXPECT_EQ(codepage_to_utf8(1252, exact, sizeof exact), 0u);
    EXPECT_STREQ(exact, "\xe9\xe9");
    char room[5] = "\xe9\xe9";
    EXPECT_EQ(codepage_to_utf8(1252, room, sizeof room), 4u);
    EXPECT_STREQ(room, "\xc3\xa9\xc3\xa9");
    char unterminated[2] = {'a', 'b'};
    EXPECT_EQ(codepage_to_utf8(1252, unterminated, sizeof unterminated), 0u);
    char empty[4] = "";
    EXPECT_EQ(codepage_to_utf8(1252, empty, sizeof empty), 0u);
}

}  // namespace
