// The ".reg" text codec: what an administrator or regedit writes must read
// back exactly, and anything malformed must be refused with its line.
#include "platform/reg_text.h"
#include "platform/registry.h"

#include <gtest/gtest.h>

namespace {

std::vector<uint8_t> sz(const std::string& s) {
    std::vector<uint8_t> d(s.begin(), s.end());
    d.push_back(0);
    return d;
}

reg_document parse_ok(const std::string& text) {
    reg_document doc;
    reg_parse_error err;
    EXPECT_TRUE(reg_parse(text, doc, err)) << "line " << err.line << ": " << err.reason;
    return doc;
}

reg_parse_error parse_bad(const std::string& text) {
    reg_document doc;
    reg_parse_error err;
    EXPECT_FALSE(reg_parse(text, doc, err));
    EXPECT_TRUE(doc.sections.empty());
    return err;
}

const std::string kHead = "Windows Registry Editor Version 5.00\r\n\r\n";

}  // namespace

TEST(RegText, EveryTypeSurvivesARoundTrip) {
    reg_document doc;
    reg_section& s = reg_section_for(doc, "HKEY_LOCAL_MACHINE\\Software\\Tervalo\\quen");
    std::vector<uint8_t> long_binary;
    for (int i = 0; i < 300; ++i) long_binary.push_back(uint8_t(i * 7));
    s.values = {
        {"", REG_VALUE_SZ, sz("default value")},
        {"Port", REG_VALUE_SZ, sz("2049")},
        {"Escapes", REG_VALUE_SZ, sz("C:\\data\\\"quoted\"\\")},
        {"Empty", REG_VALUE_SZ, sz("")},
        {"Unicode", REG_VALUE_SZ, sz("caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80")},
        {"Lines", REG_VALUE_SZ, sz("one\r\ntwo\tthree")},
        {"Count", REG_VALUE_DWORD, {0x78, 0x56, 0x34, 0x12}},
        {"Blob", REG_VALUE_BINARY, long_binary},
        {"NoBytes", REG_VALUE_BINARY, {}},
        {"Multi", 7, {'a', 0, 0, 0, 0, 0}},
        {"Name with \"quotes\" and \\", REG_VALUE_DWORD, {1, 0, 0, 0}},
    };
    const std::vector<reg_entry> values = s.values;
    reg_section_for(doc, "HKEY_CURRENT_USER\\Software\\Tervalo\\quen");   // s is not used after this

    const std::string text = reg_serialise(doc);
    const reg_document back = parse_ok(text);
    ASSERT_EQ(back.sections.size(), 2u);
    EXPECT_EQ(back.sections[1].key, "HKEY_CURRENT_USER\\Software\\Tervalo\\quen");
    ASSERT_EQ(back.sections[0].values.size(), values.size());
    for (size_t i = 0; i < values.size(); ++i) {
        EXPECT_EQ(back.sections[0].values[i].name, values[i].name);
        EXPECT_EQ(back.sections[0].values[i].type, values[i].type) << values[i].name;
        EXPECT_EQ(back.sections[0].values[i].data, values[i].data) << values[i].name;
    }
    // Long hex data is wrapped the way regedit wraps it.
    for (size_t start = 0, end; start < text.size(); start = end + 2) {
        end = text.find("\r\n", start);
        ASSERT_NE(end, std::string::npos);
        EXPECT_LE(end - start, 80u);
    }
}

TEST(RegText, WritesTheFormAnAdministratorReads) {
    reg_document doc;
    reg_section& s = reg_section_for(doc, "HKEY_LOCAL_MACHINE\\Software\\Tervalo\\quen");
    s.values = {{"Port", REG_VALUE_SZ, sz("2050")},
                {"Directory", REG_VALUE_SZ, sz("C:\\nfs\\")},
                {"Flags", REG_VALUE_DWORD, {10, 0, 0, 0}},
                {"Raw", REG_VALUE_BINARY, {0xde, 0xad}}};
    EXPECT_EQ(reg_serialise(doc), kHead +
                                      "[HKEY_LOCAL_MACHINE\\Software\\Tervalo\\quen]\r\n"
                                      "\"Port\"=\"2050\"\r\n"
                                      "\"Directory\"=\"C:\\\\nfs\\\\\"\r\n"
                                      "\"Flags\"=dword:0000000a\r\n"
                                      "\"Raw\"=hex:de,ad\r\n"
                                      "\r\n");
}

TEST(RegText, ReadsRegeditExportsAndHandEdits) {
    // Unix line endings, comments, blank lines, upper-case hex, continuation
    // lines and single backslashes inside a string (a backslash before the
    // closing quote must be doubled, as for regedit).
    const std::string text =
        "\xEF\xBB\xBFWindows Registry Editor Version 5.00\n"
        "; edited by hand\n"
        "\n"
        "[HKEY_LOCAL_MACHINE\\Software\\Tervalo\\quen]\n"
        "\"LogDir\"=\"C:\\logs\\\\\"\n"
        "  \"Threads\" = \"8\"\n"
        "\"Bits\"=hex:01,02,\\\n"
        "  0A,FF\n"
        "@=\"top\"\n";
    reg_document doc = parse_ok(text);
    reg_section* s = reg_find_section(doc, "hkey_local_machine\\SOFTWARE\\tervalo\\QUEN");
    ASSERT_NE(s, nullptr);
    ASSERT_NE(reg_find_entry(*s, "logdir"), nullptr);
    EXPECT_EQ(reg_find_entry(*s, "LogDir")->data, sz("C:\\logs\\"));
    EXPECT_EQ(reg_find_entry(*s, "Threads")->data, sz("8"));
    EXPECT_EQ(reg_find_entry(*s, "Bits")->data, (std::vector<uint8_t>{1, 2, 0x0a, 0xff}));
    EXPECT_EQ(reg_find_entry(*s, "")->data, sz("top"));
}

TEST(RegText, ReadsUtf16FilesAsRegeditSavesThem) {
    const std::string ascii = kHead + "[HKEY_CURRENT_USER\\Software\\X]\r\n\"A\"=\"b\"\r\n";
    std::string wide = "\xFF\xFE";
    for (char c : ascii) {
        wide.push_back(c);
        wide.push_back('\0');
    }
    reg_document doc = parse_ok(wide);
    reg_section* s = reg_find_section(doc, "HKEY_CURRENT_USER\\Software\\X");
    ASSERT_NE(s, nullptr);
    ASSERT_NE(reg_find_entry(*s, "A"), nullptr);
    EXPECT_EQ(reg_find_entry(*s, "A")->data, sz("b"));
}

TEST(RegText, AppliesDeletionsAndLaterValuesWin) {
    reg_document doc = parse_ok(kHead +
                                "[HKEY_LOCAL_MACHINE\\A]\r\n\"x\"=\"1\"\r\n\"y\"=\"2\"\r\n"
                                "[HKEY_LOCAL_MACHINE\\A\\B]\r\n\"z\"=\"3\"\r\n"
                                "[HKEY_LOCAL_MACHINE\\C]\r\n\"w\"=\"4\"\r\n"
                                "[HKEY_LOCAL_MACHINE\\A]\r\n\"x\"=\"5\"\r\n\"y\"=-\r\n"
                                "[-HKEY_LOCAL_MACHINE\\C]\r\n\"ignored\"=\"6\"\r\n");
    reg_section* a = reg_find_section(doc, "HKEY_LOCAL_MACHINE\\A");
    ASSERT_NE(a, nullptr);
    ASSERT_EQ(a->values.size(), 1u);
    EXPECT_EQ(a->values[0].data, sz("5"));
    EXPECT_EQ(reg_find_section(doc, "HKEY_LOCAL_MACHINE\\C"), nullptr);
    EXPECT_TRUE(reg_has_subkeys(doc, "HKEY_LOCAL_MACHINE\\a"));
    EXPECT_TRUE(reg_key_exists(doc, "HKEY_LOCAL_MACHINE"));
    EXPECT_FALSE(reg_key_exists(doc, "HKEY_LOCAL_MACHINE\\A\\Bx"));
}

TEST(RegText, RefusesMalformedFilesNamingTheLine) {
    EXPECT_EQ(parse_bad("REGEDIT5\r\n").line, 1u);
    EXPECT_EQ(parse_bad(kHead + "\"x\"=\"1\"\r\n").line, 3u);                       // value before a key
    EXPECT_EQ(parse_bad(kHead + "[HKEY_LOCAL_MACHINE\\A]\r\n\"x\"=\"1\r\n").line, 4u);  // unterminated
    EXPECT_EQ(parse_bad(kHead + "[HKEY_LOCAL_MACHINE\\A]\r\n\"x\"=dword:123456789\r\n").line, 4u);
    EXPECT_EQ(parse_bad(kHead + "[HKEY_LOCAL_MACHINE\\A]\r\n\"x\"=dword:zz\r\n").line, 4u);
    EXPECT_EQ(parse_bad(kHead + "[HKEY_LOCAL_MACHINE\\A]\r\n\"x\"=hex:1,2\r\n").line, 4u);
    EXPECT_EQ(parse_bad(kHead + "[HKEY_LOCAL_MACHINE\\A]\r\n\"x\"=word:1\r\n").line, 4u);
    EXPECT_EQ(parse_bad(kHead + "[HKEY_LOCAL_MACHINE\\A]\r\n\"x\"=\"1\" trailing\r\n").line, 4u);
    EXPECT_EQ(parse_bad(kHead + "[HKEY_LOCAL_MACHINE\\A\r\n").line, 3u);
    EXPECT_EQ(parse_bad(kHead + "[Software\\A]\r\n").line, 3u);
    EXPECT_EQ(parse_bad(kHead + "[HKEY_LOCAL_MACHINE\\A\\\\B]\r\n").line, 3u);
    EXPECT_EQ(parse_bad(kHead + "[HKEY_LOCAL_MACHINE\\A]\r\ngarbage\r\n").line, 4u);
    EXPECT_EQ(parse_bad(kHead + "[HKEY_LOCAL_MACHINE\\A]\r\n\"x\"\r\n").line, 4u);
    // A file cut off in the middle of continued hex data.
    EXPECT_EQ(parse_bad(kHead + "[HKEY_LOCAL_MACHINE\\A]\r\n\"x\"=hex:01,\\\r\n").line, 4u);
    // hex(1) carries UTF-16 text: an odd byte count is not text.
    EXPECT_EQ(parse_bad(kHead + "[HKEY_LOCAL_MACHINE\\A]\r\n\"x\"=hex(1):41,00,42\r\n").line, 4u);
    // A UTF-16 file with a broken surrogate pair.
    EXPECT_EQ(parse_bad(std::string("\xFF\xFE\x00\xD8", 4)).line, 1u);
}

TEST(RegText, EmptyFileIsAnEmptyRegistry) {
    reg_document doc = parse_ok("");
    EXPECT_TRUE(doc.sections.empty());
    doc = parse_ok(kHead);
    EXPECT_TRUE(doc.sections.empty());
}
