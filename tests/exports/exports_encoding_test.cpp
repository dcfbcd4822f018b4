// The exports file in the encodings it is saved in: UTF-8 (with or without a
// byte-order mark) as UTF-8, anything else in the ANSI code page (1252 here).
#include "tests/exports/exports_env.h"

#include "rpc/log.h"

#include <cstdio>

namespace {

struct encoding_case {
    const char* what;
    std::string text;
    uint32_t error;
    uint32_t line;
    std::vector<std::string> folders;
    std::string alias;  // of the first entry
};

const std::string kBom = "\xEF\xBB\xBF";
const std::string kCafe = "caf\xC3\xA9";

const encoding_case kCases[] = {
    {"UTF-8 with a byte-order mark", kBom + "Z:\\tmp\\" + kCafe + "\n", EXPORTS_OK, 0, {"Z:\\tmp\\" + kCafe}, ""},
    {"UTF-8 without a mark", "Z:\\tmp\\" + kCafe + "\n", EXPORTS_OK, 0, {"Z:\\tmp\\" + kCafe}, ""},
    {"a mark before an ASCII first line", kBom + "Z:\\tmp -ro\n", EXPORTS_OK, 0, {"Z:\\tmp"}, ""},
    {"UTF-8 outside every ANSI code page", "Z:\\\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\n", EXPORTS_OK, 0,
     {"Z:\\\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E"}, ""},
    {"ANSI", "Z:\\tmp\\caf\xE9\n", EXPORTS_OK, 0, {"Z:\\tmp\\" + kCafe}, ""},
    {"UTF-8 alias", "Z:\\tmp -name:" + kCafe + "\n", EXPORTS_OK, 0, {"Z:\\tmp"}, "/" + kCafe},
    {"ANSI alias", "Z:\\tmp -name:caf\xE9\n", EXPORTS_OK, 0, {"Z:\\tmp"}, "/" + kCafe},
    {"a marked file with a path that is not UTF-8", kBom + "Z:\\tmp\nZ:\\tmp\\caf\xE9\n", EXPORTS_EXPECTED_PATH, 2,
     {"Z:\\tmp"}, ""},
};

struct ExportsEncoding : exports_test, ::testing::WithParamInterface<encoding_case> {};

TEST_P(ExportsEncoding, ReadsTheFileInItsEncoding) {
    const encoding_case& c = GetParam();
    const exports_report r = load(c.text);
    EXPECT_EQ(r.error, c.error);
    EXPECT_EQ(r.line, c.line);
    std::vector<std::string> folders;
    for (export_entry* e : active()) folders.push_back(e->folder);
    EXPECT_EQ(folders, c.folders);
    if (!active().empty()) {
        EXPECT_EQ(active()[0]->alias, c.alias);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, ExportsEncoding, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return "case" + std::to_string(info.index); });

TEST_F(exports_test, MissingFolderIsKeptWithAWarningAndItsLine) {
    FILE* captured = std::tmpfile();
    ASSERT_NE(captured, nullptr);
    const int saved_level = g_log_level;
    FILE* saved_stream = log_stream();
    g_log_level = 1;
    log_set_stream(captured);
    const exports_report r = load("Z:\\tmp\n\nZ:\\tmp\\no-such-folder-here\n");
    log_flush();
    std::string text(4096, '\0');
    std::rewind(captured);
    text.resize(std::fread(text.data(), 1, text.size(), captured));
    log_set_stream(saved_stream);  // closes the captured stream
    g_log_level = saved_level;
    EXPECT_EQ(r.error, EXPORTS_OK);  // a warning, not an export error
    EXPECT_EQ(active().size(), 2u);
    EXPECT_NE(text.find("mountd: Line 3 warning, folder Z:\\tmp\\no-such-folder-here does not exist\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("Line 1 warning"), std::string::npos) << text;
}

}  // namespace
