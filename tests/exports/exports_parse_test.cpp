// The parser over text: tokens, every option, clients and the entry rules.
#include "tests/exports/exports_env.h"

#include "quen/mount/crc32.h"
#include "quen/mount/export_text.h"
#include "quen/mount/exports_tokens.h"

#include <cstring>

namespace {

uint32_t option_flags(const export_entry& e) { return e.fixed.mount_flags & ~MOUNT_FLAGS_PROBED; }

TEST(Crc32, CheckValueWithoutFinalComplement) {
    // The standard check value of "123456789" is 0xCBF43926 after the complement.
    EXPECT_EQ(crc32_update(kCrc32Start, "123456789", 9), ~0xCBF43926u);
    EXPECT_EQ(crc32_update(kCrc32Start, "", 0), kCrc32Start);
    // Continuing over parts gives the CRC of the whole.
    EXPECT_EQ(crc32_update(crc32_update(kCrc32Start, "1234", 4), "56789", 5), ~0xCBF43926u);
}

std::vector<export_token> tokens(const std::string& text, uint32_t* lines = nullptr) {
    export_tokenizer t;
    t.text = text.data();
    t.length = text.size();
    std::vector<export_token> out;
    for (;;) {
        export_token tok = export_next_token(t);
        if (tok.kind == export_token_kind::end) break;
        const bool invalid = tok.kind == export_token_kind::invalid;
        out.push_back(tok);
        if (invalid) export_skip_line(t);
    }
    if (lines) *lines = t.line;
    return out;
}

TEST(ExportTokens, KindsAndLineCount) {
    uint32_t lines = 0;
    const auto v = tokens("C:\\a -ro host1 10.0.0.1 # note\n\n\\\\srv\\share\n", &lines);
    ASSERT_EQ(v.size(), 8u);
    EXPECT_EQ(v[0].kind, export_token_kind::path);
    EXPECT_EQ(v[0].text, "C:\\a");
    EXPECT_EQ(v[1].kind, export_token_kind::option);
    EXPECT_EQ(v[1].text, "ro");
    EXPECT_EQ(v[2].kind, export_token_kind::client);
    EXPECT_EQ(v[3].kind, export_token_kind::client);
    EXPECT_EQ(v[3].text, "10.0.0.1");
    EXPECT_EQ(v[4].kind, export_token_kind::end_of_line);  // the comment
    EXPECT_EQ(v[5].kind, export_token_kind::end_of_line);
    EXPECT_EQ(v[6].kind, export_token_kind::path);
    EXPECT_EQ(v[6].text, "\\\\srv\\share");
    EXPECT_EQ(v[7].kind, export_token_kind::end_of_line);
    EXPECT_EQ(lines, 4u);
}

TEST(ExportTokens, QuotesJoinBlanksIntoOnePath) {
    auto v = tokens("\"C:\\my dir\\with  two\" -ro\n");
    ASSERT_GE(v.size(), 2u);
    EXPECT_EQ(v[0].kind, export_token_kind::path);
    EXPECT_EQ(v[0].text, "C:\\my dir\\with  two");
    EXPECT_EQ(v[1].kind, export_token_kind::option);
    v = tokens("C:\\a\" b\"c\n");  // quotes inside the word
    EXPECT_EQ(v[0].kind, export_token_kind::path);
    EXPECT_EQ(v[0].text, "C:\\a bc");
}

TEST(ExportTokens, UnterminatedQuoteIsInvalid) {
    auto v = tokens("\"C:\\open dir\nD:\\next\n");
    ASSERT_EQ(v.size(), 3u);
    EXPECT_EQ(v[0].kind, export_token_kind::invalid);
    EXPECT_EQ(v[1].kind, export_token_kind::path);  // the quote state does not leak to the next line
    EXPECT_EQ(v[1].text, "D:\\next");
    v = tokens("\"C:\\open dir");
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0].kind, export_token_kind::invalid);
}

TEST(ExportTokens, PathLengthLimit) {
    const std::string ok = "C:\\" + std::string(2046 - 3, 'a');  // 2046 characters
    auto v = tokens(ok + "\n");
    EXPECT_EQ(v[0].kind, export_token_kind::path);
    EXPECT_EQ(v[0].text.size(), 2046u);
    v = tokens(ok + "b\n");  // 2047 characters
    EXPECT_EQ(v[0].kind, export_token_kind::invalid);
}

TEST(ExportTokens, PathForms) {
    for (const char* good : {"C:", "c:\\", "\\\\?\\C:\\x", "\\\\?\\Volume{1234-abcd}\\dir", "\\\\?\\volume{x}",
                             "\\\\server\\share", "\\\\server"})
        EXPECT_TRUE(export_path_form_valid(good)) << good;
    for (const char* bad : {"C:/data", "CC:\\x", "\\x", "\\\\?\\Volume{open", "1:\\x", "C:x"})
        EXPECT_FALSE(export_path_form_valid(bad)) << bad;
    const auto v = tokens("C:/data -ro\n");
    EXPECT_EQ(v[0].kind, export_token_kind::invalid);
    EXPECT_EQ(tokens("/c/data\n")[0].kind, export_token_kind::invalid);
}

using ExportsParse = exports_test;

TEST_F(ExportsParse, DefaultsAndFolderForms) {
    EXPECT_EQ(load("C:\n\\\\?\\c:\\dir\\\n\\\\srv\\share\\sub\\\n").error, EXPORTS_OK);
    const auto v = active();
    ASSERT_EQ(v.size(), 3u);
    EXPECT_EQ(v[0]->folder, "C:\\");
    EXPECT_EQ(v[0]->fixed.volume_prefix_length, 3u);
    EXPECT_EQ(v[1]->folder, "\\\\?\\C:\\dir");
    EXPECT_EQ(v[2]->folder, "\\\\srv\\share\\sub");
    EXPECT_EQ(v[2]->fixed.volume_prefix_length, 12u);  // "\\srv\share\"
    EXPECT_EQ(v[0]->fixed.umask, 022u);
    EXPECT_EQ(v[0]->fixed.name_encoding, EXPORT_ENCODING_AUTOMATIC);
    EXPECT_EQ(option_flags(*v[0]), 0u);
    EXPECT_EQ(v[0]->fixed.entry_options, 0u);
    EXPECT_EQ(v[0]->fixed.export_id, export_identifier(*v[0]));
}

TEST_F(ExportsParse, UncWithoutShareIsNotAPath) {
    const exports_report r = load("\\\\srv\n");
    EXPECT_EQ(r.error, EXPORTS_EXPECTED_PATH);
    EXPECT_EQ(r.line, 1u);
    EXPECT_TRUE(active().empty());
}

struct simple_option {
    const char* word;
    uint32_t flags;
    uint32_t entry_options;
};

TEST_F(ExportsParse, EverySimpleOption) {
    const simple_option all[] = {
        {"readonly", MOUNT_FLAG_READONLY, 0}, {"ro", MOUNT_FLAG_READONLY, 0}, {"lowercase", MOUNT_FLAG_LOWERCASE, 0},
        {"alldirs", 0, EXPORT_ALLDIRS},       {"public", 0, EXPORT_PUBLIC},   {"hide", 0, EXPORT_HIDE},
        {"exec", MOUNT_FLAG_EXEC, 0},         {"i32", MOUNT_FLAG_I32, 0},     {"ci", MOUNT_FLAG_CI, 0},
        {"sa", MOUNT_FLAG_SA, 0},             {"cs", MOUNT_FLAG_CS, 0},       {"at", MOUNT_FLAG_SA | MOUNT_FLAG_CS, 0},
        {"nosdc", MOUNT_FLAG_NOSDC, 0},       {"dc", MOUNT_FLAG_DC, 0},       {"rp", MOUNT_FLAG_RP, 0},
        {"nd", MOUNT_FLAG_ND, 0},
    };
    for (const simple_option& o : all) {
        exports_free_all();
        ASSERT_EQ(load(std::string("C:\\x -") + o.word + "\n").error, EXPORTS_OK) << o.word;
        const auto v = active();
        ASSERT_EQ(v.size(), 1u) << o.word;
        EXPECT_EQ(option_flags(*v[0]), o.flags) << o.word;
        EXPECT_EQ(v[0]->fixed.entry_options, o.entry_options) << o.word;
    }
    exports_free_all();
    ASSERT_EQ(load("C:\\x -range 10.0.0.1 10.0.0.2\n").error, EXPORTS_OK);
    EXPECT_EQ(active()[0]->fixed.entry_options, EXPORT_RANGE);
}

TEST_F(ExportsParse, OptionsAreCaseSensitiveAndExact) {
    for (const char* bad : {"RO", "read", "rox", "umask", "name", "x:1"}) {
        exports_free_all();
        const exports_report r = load(std::string("C:\\x -") + bad + "\n");
        EXPECT_EQ(r.error, EXPORTS_BAD_OPTION) << bad;
        EXPECT_TRUE(active().empty()) << bad;
    }
}

TEST_F(ExportsParse, Encodings) {
    ASSERT_EQ(load("C:\\a -a\nC:\\b -w\nC:\\c -u\nC:\\d\n").error, EXPORTS_OK);
    const auto v = active();
    ASSERT_EQ(v.size(), 4u);
    EXPECT_EQ(v[0]->fixed.name_encoding, NAME_ENCODING_ASCII);
    EXPECT_EQ(v[1]->fixed.name_encoding, NAME_ENCODING_CODE_PAGE);
    EXPECT_EQ(v[2]->fixed.name_encoding, NAME_ENCODING_UTF8);
    EXPECT_EQ(v[3]->fixed.name_encoding, EXPORT_ENCODING_AUTOMATIC);
}

TEST_F(ExportsParse, Umask) {
    ASSERT_EQ(load("C:\\a -umask:0777\nC:\\b -umask:002\nC:\\c -umask:9\nC:\\d -umask:\n").error, EXPORTS_OK);
    const auto v = active();
    ASSERT_EQ(v.size(), 4u);
    EXPECT_EQ(v[0]->fixed.umask, 077u);
    EXPECT_EQ(option_flags(*v[0]), MOUNT_FLAG_UMASK);
    EXPECT_EQ(v[1]->fixed.umask, 002u);
    // A number that does not read leaves the option out, without a message.
    EXPECT_EQ(v[2]->fixed.umask, 022u);
    EXPECT_EQ(option_flags(*v[2]), 0u);
    EXPECT_EQ(option_flags(*v[3]), 0u);
}

TEST_F(ExportsParse, IdOptions) {
    ASSERT_EQ(load("C:\\a -maproot:-2\nC:\\b -maproot:0:0 -mapall:1000\nC:\\c -mapall:1000:100 -uid:500:-1\n"
                   "C:\\d -uid:7 -mapall:x -maproot:\n")
                  .error,
              EXPORTS_OK);
    const auto v = active();
    ASSERT_EQ(v.size(), 4u);
    EXPECT_EQ(option_flags(*v[0]), MOUNT_FLAG_MAPROOT);
    EXPECT_EQ(v[0]->fixed.maproot_uid, 65534u);
    EXPECT_EQ(v[0]->fixed.maproot_gid, 0u);
    EXPECT_EQ(option_flags(*v[1]), MOUNT_FLAG_MAPROOT | MOUNT_FLAG_MAPALL);
    EXPECT_EQ(v[1]->fixed.mapall_uid, 1000u);
    EXPECT_EQ(option_flags(*v[2]), MOUNT_FLAG_MAPALL | MOUNT_FLAG_MAPALL_GROUP | MOUNT_FLAG_UID | MOUNT_FLAG_UID_GROUP);
    EXPECT_EQ(v[2]->fixed.mapall_gid, 100u);
    EXPECT_EQ(v[2]->fixed.uid_uid, 500u);
    EXPECT_EQ(v[2]->fixed.uid_gid, 65535u);
    EXPECT_EQ(option_flags(*v[3]), MOUNT_FLAG_UID);
    EXPECT_EQ(v[3]->fixed.uid_uid, 7u);
}

TEST_F(ExportsParse, SubAndName) {
    ASSERT_EQ(load("C:\\a -sub:58,63 -name:data\nC:\\b -sub:300 -name:/bad\nC:\\c -sub:x -name:a//b\n"
                   "C:\\d -name:a/b -name:c:d\nC:\\e -name:\n")
                  .error,
              EXPORTS_OK);
    const auto v = active();
    ASSERT_EQ(v.size(), 5u);
    EXPECT_EQ(option_flags(*v[0]), MOUNT_FLAG_SUB);
    EXPECT_EQ(v[0]->fixed.sub_first, 58);
    EXPECT_EQ(v[0]->fixed.sub_second, 63);
    EXPECT_EQ(v[0]->alias, "/data");
    EXPECT_EQ(v[1]->fixed.sub_first, 300 & 0xFF);
    EXPECT_EQ(v[1]->fixed.sub_second, 0);
    EXPECT_EQ(v[1]->alias, "");
    EXPECT_EQ(option_flags(*v[2]), 0u);
    EXPECT_EQ(v[2]->alias, "");
    EXPECT_EQ(v[3]->alias, "/a/b");  // the later, invalid name leaves it
    EXPECT_EQ(v[4]->alias, "");
}

TEST_F(ExportsParse, UnknownOptionDropsTheEntryAndTheLine) {
    const exports_report r = load("C:\\a\nC:\\b -ro -bogus 10.0.0.1\nC:\\c\n");
    EXPECT_EQ(r.error, EXPORTS_BAD_OPTION);
    EXPECT_EQ(r.line, 2u);
    const auto v = active();
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(v[0]->folder, "C:\\a");
    EXPECT_EQ(v[1]->folder, "C:\\c");
}

TEST_F(ExportsParse, OptionsAndClientsContinueOnNextLines) {
    ASSERT_EQ(load("C:\\a -ro\n   -exec\n -public 10.0.0.1\n 10.0.0.2 hostone\n\nC:\\b 10.0.0.3\n").error,
              EXPORTS_OK);
    const auto v = active();
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(option_flags(*v[0]), MOUNT_FLAG_READONLY | MOUNT_FLAG_EXEC);
    EXPECT_EQ(v[0]->fixed.entry_options, EXPORT_PUBLIC);
    EXPECT_EQ(v[0]->addresses, (std::vector<uint32_t>{ip("10.0.0.1"), ip("10.0.0.2"), ip("192.0.2.1")}));
    EXPECT_EQ(v[0]->fixed.address_count, 3u);
    EXPECT_EQ(v[1]->addresses, (std::vector<uint32_t>{ip("10.0.0.3")}));
}

TEST_F(ExportsParse, EmptyLineEndsTheEntry) {
    const exports_report r = load("C:\\a -ro\n\n-exec\n");
    EXPECT_EQ(r.error, EXPORTS_EXPECTED_PATH);
    EXPECT_EQ(r.line, 3u);
    ASSERT_EQ(active().size(), 1u);
    EXPECT_EQ(option_flags(*active()[0]), MOUNT_FLAG_READONLY);
}

TEST_F(ExportsParse, OptionAfterClientsEndsTheEntry) {
    const exports_report r = load("C:\\a -ro 10.0.0.1 10.0.0.2 -range\n");
    EXPECT_EQ(r.error, EXPORTS_EXPECTED_PATH);
    EXPECT_EQ(r.line, 1u);
    const auto v = active();
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0]->fixed.entry_options, 0u);
    EXPECT_EQ(v[0]->addresses.size(), 2u);
}

TEST_F(ExportsParse, CommentsAndLineNumbers) {
    const exports_report r = load("# header \"open quote\n   # indented\nC:\\a # trailing\n10.0.0.1\n$bad\n");
    EXPECT_EQ(r.error, EXPORTS_EXPECTED_PATH);
    EXPECT_EQ(r.line, 5u);
    const auto v = active();
    ASSERT_EQ(v.size(), 1u);
    // Line ends after the path are skipped like those between options.
    EXPECT_EQ(v[0]->addresses, (std::vector<uint32_t>{ip("10.0.0.1")}));
}

TEST_F(ExportsParse, ClientThatDoesNotResolve) {
    const exports_report r = load("C:\\a hostone nosuchhost 10.0.0.1\nC:\\b\n");
    EXPECT_EQ(r.error, EXPORTS_BAD_CLIENT);
    EXPECT_EQ(r.line, 1u);
    const auto v = active();
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0]->folder, "C:\\b");
}

TEST_F(ExportsParse, DottedQuadsAndNames) {
    // Not a dotted quad, so resolved: the fake knows none of these.
    for (const char* name : {"1.2.3.256", "1.2.3", "1.2.3.4.5", "0.0.0.0", "255.255.255.255", "1.2.3.4x"}) {
        exports_free_all();
        EXPECT_EQ(load(std::string("C:\\a ") + name + "\n").error, EXPORTS_BAD_CLIENT) << name;
    }
    exports_free_all();
    ASSERT_EQ(load("C:\\a 255.0.0.9 hosttwo\n").error, EXPORTS_OK);
    EXPECT_EQ(active()[0]->addresses, (std::vector<uint32_t>{ip("255.0.0.9"), ip("192.0.2.2")}));
}

TEST_F(ExportsParse, LocalhostThroughTheNameService) {
    exports_set_resolver(nullptr);
    ASSERT_EQ(load("C:\\a localhost\n").error, EXPORTS_OK);
    ASSERT_EQ(active().size(), 1u);
    ASSERT_EQ(active()[0]->addresses.size(), 1u);
    const auto* b = reinterpret_cast<const unsigned char*>(&active()[0]->addresses[0]);
    EXPECT_EQ(b[0], 127);
}

TEST_F(ExportsParse, TooManyClientsKeepsTheFirst128) {
    std::string line = "C:\\a";
    for (int i = 0; i < 130; ++i) line += " 10.0." + std::to_string(i / 200) + "." + std::to_string(i % 200 + 1);
    const exports_report r = load("# x\n" + line + "\n");
    EXPECT_EQ(r.error, EXPORTS_TOO_MANY_CLIENTS);
    EXPECT_EQ(r.line, 2u);
    const auto v = active();
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0]->addresses.size(), 128u);
    EXPECT_EQ(v[0]->fixed.address_count, 128u);
    EXPECT_EQ(v[0]->addresses.back(), ip("10.0.0.128"));
}

TEST_F(ExportsParse, RangeRules) {
    ASSERT_EQ(load("C:\\a -range 10.0.0.1 10.0.0.9 10.0.0.20\n").error, EXPORTS_OK);
    EXPECT_EQ(active()[0]->addresses,
              (std::vector<uint32_t>{ip("10.0.0.1"), ip("10.0.0.9"), ip("10.0.0.20"), ip("10.0.0.20")}));
    exports_free_all();
    const exports_report r = load("C:\\a -range\n");
    EXPECT_EQ(r.error, EXPORTS_BAD_CLIENT);
    EXPECT_TRUE(active().empty());
}

TEST_F(ExportsParse, DuplicateEntry) {
    const exports_report r = load("C:\\a -ro\nC:\\b\nc:\\a\\ -readonly\n");
    EXPECT_EQ(r.error, EXPORTS_DUPLICATE);
    EXPECT_EQ(r.line, 3u);
    EXPECT_EQ(active().size(), 2u);
}

TEST_F(ExportsParse, InvalidFirstCharacters) {
    const exports_report r = load("/c/data\n");
    EXPECT_EQ(r.error, EXPORTS_EXPECTED_PATH);
    EXPECT_EQ(load("10.0.0.1\n").error, EXPORTS_EXPECTED_PATH);
    EXPECT_EQ(load("-ro\n").error, EXPORTS_EXPECTED_PATH);
    EXPECT_EQ(load("C:/data\n").error, EXPORTS_EXPECTED_PATH);
    EXPECT_TRUE(active().empty());
}

TEST_F(ExportsParse, IdentifierFollowsTheDefinition) {
    ASSERT_EQ(load("C:\\a\nC:\\a -ro\nC:\\a 10.0.0.1\nC:\\a -name:x\nC:\\a -uid:5\nC:\\b\n").error, EXPORTS_OK);
    const auto v = active();
    ASSERT_EQ(v.size(), 6u);
    for (size_t i = 0; i < v.size(); ++i)
        for (size_t j = i + 1; j < v.size(); ++j) EXPECT_NE(v[i]->fixed.export_id, v[j]->fixed.export_id) << i << j;
    // The identifier is the CRC of the definition text, then the raw addresses.
    char text[256];
    const export_entry_image& f = v[0]->fixed;
    std::snprintf(text, sizeof text, "C:\\a/0/%8.8x/%u/%x/12/3/0,0/0,0/0,0", f.volume_serial, f.max_name_length,
                  f.mount_flags);
    EXPECT_EQ(f.export_id, crc32_update(kCrc32Start, text, std::strlen(text)));
    const export_entry_image& g = v[2]->fixed;
    std::snprintf(text, sizeof text, "C:\\a/0/%8.8x/%u/%x/12/3/0,0/0,0/0,0", g.volume_serial, g.max_name_length,
                  g.mount_flags);
    const uint32_t address = ip("10.0.0.1");
    EXPECT_EQ(g.export_id, crc32_update(crc32_update(kCrc32Start, text, std::strlen(text)), &address, 4));
}

TEST_F(ExportsParse, ReloadKeepsUnchangedEntries) {
    ASSERT_EQ(load("C:\\a -ro\nC:\\b 10.0.0.1\n").error, EXPORTS_OK);
    const auto first = active();
    ASSERT_EQ(first.size(), 2u);
    first[0]->fixed.mount_count = 3;  // carried over with the entry
    ASSERT_EQ(load("C:\\a -ro\nC:\\b 10.0.0.2\n").error, EXPORTS_OK);
    const auto second = active();
    ASSERT_EQ(second.size(), 2u);
    EXPECT_EQ(second[0], first[0]);
    EXPECT_EQ(second[0]->fixed.mount_count, 3u);
    EXPECT_NE(second[1], first[1]);
    EXPECT_NE(second[1]->fixed.export_id, first[1]->fixed.export_id);
    // The changed entry's old form is retired, not freed.
    bool retired = false;
    for (export_entry* e = exports_retired(); e; e = e->next) retired |= e == first[1];
    EXPECT_TRUE(retired);
    for (export_entry* e = exports_retired(); e; e = e->next) EXPECT_NE(e, first[0]);
    EXPECT_EQ(export_by_id(first[0]->fixed.export_id), first[0]);
    EXPECT_EQ(export_by_id(first[1]->fixed.export_id), nullptr);
}

// parse -> text -> parse gives the same entry and the same text.
void expect_fixed_point(exports_test& t, const std::string& line) {
    exports_free_all();
    ASSERT_EQ(t.load(line + "\n").error, EXPORTS_OK) << line;
    ASSERT_EQ(t.active().size(), 1u) << line;
    const export_entry first = *t.active()[0];
    const std::string text = export_line_text(first, false);
    exports_free_all();
    ASSERT_EQ(t.load(text).error, EXPORTS_OK) << text;
    ASSERT_EQ(t.active().size(), 1u) << text;
    const export_entry& second = *t.active()[0];
    EXPECT_EQ(std::memcmp(&first.fixed, &second.fixed, sizeof first.fixed), 0) << line << " -> " << text;
    EXPECT_EQ(first.folder, second.folder);
    EXPECT_EQ(first.alias, second.alias);
    EXPECT_EQ(first.addresses, second.addresses);
    EXPECT_EQ(export_line_text(second, false), text);
}

TEST_F(ExportsParse, EveryOptionIsAFixedPointAloneAndCombined) {
    const char* options[] = {"-readonly", "-lowercase", "-dc", "-exec", "-nosdc", "-rp", "-nd", "-ci", "-i32",
                             "-at", "-sa", "-cs", "-umask:0", "-umask:027", "-sub:58", "-sub:58,63",
                             "-maproot:0", "-maproot:-2:-2", "-mapall:1000", "-mapall:1000:100", "-uid:0:5",
                             "-uid:33", "-uid:33:44", "-alldirs", "-hide", "-public", "-a", "-w", "-u",
                             "-name:share/sub", "-range 10.0.0.1 10.0.0.5"};
    std::string all = "\"C:\\my data\"";
    for (const char* o : options) {
        expect_fixed_point(*this, std::string("C:\\x ") + o);
        if (std::string(o) != "-a" && std::string(o) != "-w" && std::string(o).rfind("-range", 0) != 0)
            all += std::string(" ") + o;
    }
    expect_fixed_point(*this, all + " -u 10.0.0.1 hostone");
    expect_fixed_point(*this, "\\\\?\\Volume{abc}\\d -ro -range 10.0.0.1 10.0.0.9 10.0.0.20");
}

}  // namespace
