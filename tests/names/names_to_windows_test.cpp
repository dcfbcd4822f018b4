#include "names_test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

class ToWindows : public ::testing::Test {
protected:
    void SetUp() override { names_setup(nullptr, nullptr, 1252); }
    void TearDown() override { names_setup(nullptr, nullptr, 0); }
    mount_context m = long_name_mount();

    void expect_name(const std::string& client, const std::string& windows) {
        auto r = to_windows(m, client);
        EXPECT_EQ(r.status, NAME_OK) << client;
        EXPECT_EQ(r.name, windows) << client;
    }
    void expect_status(const std::string& client, uint32_t status) {
        auto r = to_windows(m, client);
        EXPECT_EQ(r.status, status) << client;
        EXPECT_EQ(r.path, "C:\\d") << "the path changed for " << client;
    }
};

TEST_F(ToWindows, AppendsAfterOneBackslash) {
    auto r = to_windows(m, "file.txt");
    ASSERT_EQ(r.status, NAME_OK);
    EXPECT_EQ(r.path, "C:\\d\\file.txt");
    r = to_windows(m, "file.txt", "C:\\");
    ASSERT_EQ(r.status, NAME_OK);
    EXPECT_EQ(r.path, "C:\\file.txt");
    EXPECT_EQ(r.name, "file.txt");
}

TEST_F(ToWindows, DotAndDotDotAreDirectories) {
    expect_status(".", NAME_ISDIR);
    expect_status("..", NAME_ISDIR);
}

TEST_F(ToWindows, EmptyNameIsRefused) { expect_status("", NAME_NOENT); }

TEST_F(ToWindows, EscapableBytesBecomeTheirCodes) {
    expect_name("a*b", "a'~b");
    const char escapable[] = "\"*:<>?\\|\x7f";
    const char codes[] = "^~={}%`!&";
    for (int i = 0; i < 9; ++i)
        expect_name(std::string("x") + escapable[i], std::string("x'") + codes[i]);
}

TEST_F(ToWindows, EscapeCharacterRuns) {
    expect_name("a'b", "a'b");          // before an ordinary byte: single
    expect_name("'*", "'''~");          // before an escapable byte: doubled
    expect_name("'~", "''~");           // before a code: doubled
    expect_name("''%", "''''%");
    expect_name("a'", "a'");            // at the end: single
}

TEST_F(ToWindows, TrailingDotsAndSpacesKeepTheirForm) {
    expect_name("x.", "x.'");
    expect_name("x.'", "x.''");
    expect_name("...", "...'");
    expect_name(".. ", ".. '");
    expect_name(". ", ". '");
    expect_name("x ", "x '");
    expect_name("x.y", "x.y");
}

TEST_F(ToWindows, ReservedDeviceNames) {
    expect_name("con", "'con");
    expect_name("CON", "'CON");
    expect_name("con.txt", "'con.txt");
    expect_name("Aux", "'Aux");
    expect_name("nul.tar.gz", "'nul.tar.gz");
    expect_name("prn", "'prn");
    expect_name("com1", "'com1");
    expect_name("COM9.log", "'COM9.log");
    expect_name("lpt3", "'lpt3");
    expect_name("con .txt", "'con .txt");   // Windows ignores the space before the dot
    expect_name("con.", "'con.'");
    expect_name("'con", "''con");           // reads back with its own escape character
    expect_name("com0", "com0");
    expect_name("com10", "com10");
    expect_name("conx", "conx");
    expect_name("xcon", "xcon");
    expect_name("co", "co");
}

TEST_F(ToWindows, SeparatorsControlsAndNulAreRefused) {
    expect_status("a/../../../Windows/x", NAME_NOENT);
    expect_status("/", NAME_NOENT);
    expect_status("../x", NAME_NOENT);
    expect_status(std::string("ab\0", 3), NAME_NOENT);           // not cut to "ab"
    expect_status(std::string("\0", 1), NAME_NOENT);
    expect_status(std::string("a\0/../x", 7), NAME_NOENT);
    for (int b = 1; b < 32; ++b) expect_status(std::string("a") + char(b) + "b", NAME_NOENT);
}

TEST_F(ToWindows, RefusesControlsWhatEverTheEncoding) {
    for (uint32_t enc : {NAME_ENCODING_ASCII, NAME_ENCODING_CODE_PAGE, NAME_ENCODING_UTF8}) {
        m.name_encoding = enc;
        expect_status("a/b", NAME_NOENT);
        expect_status("a\tb", NAME_NOENT);
        expect_status(std::string("a\0b", 3), NAME_NOENT);
    }
}

TEST_F(ToWindows, LengthLimitOfLongNameVolumes) {
    // The volume holds names of up to 255 UTF-16 units.
    const std::string cjk = "\xe5\x90\x8d", emoji = "\xf0\x9f\x98\x80";   // 1 unit, 2 units
    auto times = [](const std::string& s, int n) {
        std::string out;
        for (int i = 0; i < n; ++i) out += s;
        return out;
    };
    for (const std::string& name : {std::string(255, 'a'), std::string(254, 'a'), times(cjk, 85), times(cjk, 170),
                                    times(emoji, 127) + "a"})
        expect_name(name, name);
    for (const std::string& name : {std::string(256, 'a'), times(emoji, 127) + "ab", emoji + std::string(254, 'a')})
        expect_status(name, NAME_TOOLONG);
    // The limit applies to the Windows form: 127 escapes are 254 bytes.
    expect_name(std::string(127, '*'), times("'~", 127));
    expect_status(std::string(128, '*'), NAME_TOOLONG);
    expect_status(std::string(600, 'a'), NAME_TOOLONG);
}

TEST_F(ToWindows, EscapingRunsOutOfRoom) {
    m.max_component_length = 4096;
    auto r = to_windows(m, std::string(255, '*'));
    EXPECT_EQ(r.status, NAME_OK);
    EXPECT_EQ(r.name.size(), 510u);
    expect_status(std::string(256, '*'), NAME_TOOLONG);
    expect_name(std::string(511, 'a'), std::string(511, 'a'));
    expect_status(std::string(510, 'a') + ".", NAME_TOOLONG);   // no room for the final escape
    expect_status(std::string(512, 'a'), NAME_TOOLONG);
}

TEST_F(ToWindows, ShortNameVolume) {
    m.max_component_length = 12;
    expect_name("readme.txt", "readme.txt");
    expect_name("abcdefgh.txt", "abcdefgh.txt");
    expect_status("longername.txt", NAME_TOOLONG);
    expect_status("abcdefghi", NAME_TOOLONG);
    expect_status("a.txt1", NAME_TOOLONG);
    expect_name("a.b.c", "a.b.c");    // the extension is counted after the first dot
    expect_status("a b", NAME_NOENT);
    expect_status("a;b", NAME_NOENT);
    expect_status("a=b", NAME_NOENT);
}

TEST_F(ToWindows, BytesAbove127UnderAsciiEncoding) {
    m.name_encoding = NAME_ENCODING_ASCII;
    expect_status("caf\xe9", NAME_TOOLONG);
    expect_status("\x80", NAME_TOOLONG);
    expect_name("cafe", "cafe");
    m.name_encoding = NAME_ENCODING_UTF8;
    expect_name("caf\xc3\xa9", "caf\xc3\xa9");
}

TEST_F(ToWindows, CodePageNamesBecomeUtf8) {
    m.name_encoding = NAME_ENCODING_CODE_PAGE;
    expect_name("caf\xe9", "caf\xc3\xa9");
    expect_name("\xe9*", "\xc3\xa9'~");   // converted first, then escaped
    names_setup(nullptr, nullptr, 932);
    expect_name("\x95\x5c", "\xe8\xa1\xa8");   // the trail byte 0x5C is no backslash
    expect_status("\x81", NAME_NOENT);         // a lead byte alone does not convert
}

TEST_F(ToWindows, CodePageNameThatGrowsBeyondTheBuffer) {
    m.name_encoding = NAME_ENCODING_CODE_PAGE;
    m.max_component_length = 4096;
    // 300 bytes of 1252 become 600 of UTF-8: refused rather than cut.
    expect_status(std::string(300, '\xe9'), NAME_NOENT);
    auto r = to_windows(m, std::string(255, '\xe9'));
    EXPECT_EQ(r.status, NAME_OK);
    EXPECT_EQ(r.name.size(), 510u);
}

TEST_F(ToWindows, PathLengthLimit) {
    std::string dir = "C:\\" + std::string(2037, 'p');   // 2040 bytes
    auto r = to_windows(m, "abcd", dir.c_str());          // 2040 + 4 + 3 = 2047
    EXPECT_EQ(r.status, NAME_OK);
    EXPECT_EQ(r.path.size(), 2045u);
    r = to_windows(m, "abcde", dir.c_str());              // reaches 2048
    EXPECT_EQ(r.status, NAME_TOOLONG);
    EXPECT_EQ(r.path, dir);
}

TEST_F(ToWindows, TenCharacterEscapeListGivesTheDefault) {
    names_setup("#abcdefghi", nullptr, 1252);
    EXPECT_EQ(g_name_tables.escape, '\'');
    expect_name("a*b", "a'~b");
}

TEST_F(ToWindows, ElevenCharacterEscapeListIsTaken) {
    names_setup("#ABCDEFGHIJ", nullptr, 1252);
    EXPECT_EQ(g_name_tables.escape, '#');
    expect_name("a*b", "a#Bb");
    expect_name("x\x7f", "x#I");
    expect_name("a'*", "a'#B");     // the apostrophe is ordinary now
    expect_name("con", "#con");
    expect_name("x.", "x.#");
}

TEST_F(ToWindows, UnusableEscapeListsGiveTheDefault) {
    for (const char* list : {"#ABCDEF*HIJ", "#ABCDEFGHAJ", "#ABCDE.GHIJ", "#ABCDE GHIJ", ""}) {
        names_setup(list, nullptr, 1252);
        EXPECT_EQ(g_name_tables.escape, '\'') << list;
        EXPECT_EQ(g_name_tables.forward['*'], '~') << list;
    }
}

TEST_F(ToWindows, SubstitutionUnderTheSubOption) {
    uint8_t map[256] = {};
    map[':'] = '-';
    map['*'] = '+';
    map['/'] = '_';
    map['<'] = '>';    // not a valid character: ignored
    map['|'] = 200;    // out of range: ignored
    names_setup(nullptr, map, 1252);
    m.flags = MOUNT_FLAG_SUB;
    expect_name("a:b*c", "a-b+c");
    expect_name("a/b", "a_b");          // a substitute, no separator
    expect_status("a<b", NAME_NOENT);
    expect_status("a|b", NAME_NOENT);
    expect_status("a?b", NAME_NOENT);
    expect_status("a\x01", NAME_NOENT);
    m.sub_colon = '=';
    m.sub_question = '!';
    expect_name("a:b?", "a=b!");
    m.flags = 0;
    expect_name("a:b*c", "a'=b'~c");    // without the option no substitution
    expect_status("a/b", NAME_NOENT);
}

TEST_F(ToWindows, SubstitutesThatMakeDotNamesKeepTheirForm) {
    uint8_t map[256] = {};
    map[':'] = '.';
    names_setup(nullptr, map, 1252);
    m.flags = MOUNT_FLAG_SUB;
    expect_name(":", ".'");
    expect_name("::", "..'");
}

}  // namespace
