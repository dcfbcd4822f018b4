// Language files: the private-profile lookup, the escapes, which file is
// loaded and what falls back to the built-in texts, the Language page's
// rows, the shipped German translation's completeness, and translated
// texts that look like format strings going through every text path.
#include "lumeno/core/exports_file.h"
#include "lumeno/core/language_file.h"
#include "lumeno/core/language_keys.h"
#include "lumeno/core/panel_ids.h"
#include "lumeno/core/panel_lists.h"
#include "lumeno/core/panel_rpc.h"
#include "lumeno/core/panel_state.h"
#include "lumeno/core/panel_texts.h"
#include "tests/config/test_env.h"

#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

// The language files of a test, by path; a missing path reads as nothing.
std::map<std::string, std::string> g_files;

std::string read_ini(const std::string& path, const char* section, const char* key) {
    const auto f = g_files.find(path);
    std::string value;
    if (f == g_files.end() || !ini_value(f->second, section, key, &value)) return "";
    return value;
}

const char kDir[] = "C:\\Program Files\\Tervalo\\";
std::string in_languages(const std::string& file) { return std::string(kDir) + "Languages\\" + file; }

// The panel uses the file for the test's length, the built-in texts after it.
struct using_language {
    explicit using_language(const std::string& file) {
        language_use(language_load(kDir, file, read_ini), read_ini);
        panel_set_text_source(language_strings_source);
    }
    ~using_language() {
        panel_set_text_source(nullptr);
        language_use(language_load(kDir, "", read_ini), nullptr);
        g_files.clear();
    }
};

TEST(language_rules, escapes) {
    const struct {
        const char *raw, *text;
    } cases[] = {
        {"two\\nlines", "two\nlines"}, {"a\\tb", "a\tb"},   {"one\\\\backslash", "one\\backslash"},
        {"dropped\\", "dropped"},      {"\\q\\\"", "q\""}, {"\\", ""},
        {"plain", "plain"},
    };
    for (const auto& c : cases) EXPECT_EQ(language_unescape(c.raw), c.text) << c.raw;
}

TEST(language_rules, lookup_as_the_private_profile_functions_do) {
    const std::string file =
        "; a comment\r\n[Common]\r\nLANGUAGE = Deutsch \r\n[strings]\r\nready=Bereit\r\nREADY=second\r\n"
        "QUOTED=\"  padded  \"\r\nHALF=\"open\r\n;EXIT=commented\r\nBARE\r\n[Menu]\r\nFILE=Datei\r\n"
        "[Strings]\r\nLATE=in the second section of the name\r\n";
    const struct {
        const char *section, *key;
        bool found;
        const char* value;
    } cases[] = {
        {"Common", "LANGUAGE", true, "Deutsch"},   {"STRINGS", "Ready", true, "Bereit"},   // first match wins
        {"Strings", "QUOTED", true, "  padded  "}, {"Strings", "HALF", true, "\"open"},
        {"Strings", "EXIT", false, ""},            {"Strings", "BARE", true, ""},
        {"Strings", "FILE", false, ""},            {"Menu", "FILE", true, "Datei"},
        {"Strings", "LATE", false, ""},            {"Control", "FILE", false, ""},
    };
    for (const auto& c : cases) {
        std::string value;
        EXPECT_EQ(ini_value(file, c.section, c.key, &value), c.found) << c.section << " " << c.key;
        if (c.found) {
            EXPECT_EQ(value, c.value) << c.section << " " << c.key;
        }
    }
}

TEST(language_rules, the_file_chosen) {
    const struct {
        bool stored;
        const char* value;
        uint16_t ui;
        const char* file;
    } cases[] = {
        {false, "", 0x0407, "deutsch.ini"},      {true, "", 0x0c07, "deutsch.ini"},   // German, Austrian
        {false, "", 0x0409, ""},                 {true, "English", 0x0407, "English"},
        {true, "Francais.ini", 0x0409, "Francais.ini"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(language_file_name(c.stored, c.value, c.ui), c.file) << c.value << " " << c.ui;
}

TEST(language_rules, files_that_are_not_used_and_the_title) {
    g_files[in_languages("none.ini")] = "[Common]\nLANGUAGE=\nTitle=unused\n[Strings]\nREADY=unused\n";
    g_files[in_languages("short.ini")] = "[Common]\nLANGUAGE=Kurz\n";
    g_files[in_languages("long.ini")] = "[Common]\nLANGUAGE=Lang\nTitle=" + std::string(70, 'T') + "\n";
    const struct {
        const char* file;
        const char *name, *title;
        bool used;
    } cases[] = {
        {"", "English", PANEL_TITLE, false},          {"missing.ini", "English", PANEL_TITLE, false},
        {"none.ini", "English", PANEL_TITLE, false},  {"English", "English", PANEL_TITLE, false},
        {"short.ini", "Kurz", PANEL_TITLE, true},
    };
    for (const auto& c : cases) {
        const panel_language l = language_load(kDir, c.file, read_ini);
        EXPECT_EQ(l.name, c.name) << c.file;
        EXPECT_EQ(l.title, c.title) << c.file;
        EXPECT_EQ(l.path, c.used ? in_languages(c.file) : "") << c.file;
    }
    EXPECT_EQ(language_load(kDir, "long.ini", read_ini).title, std::string(kLanguageTitleMax, 'T'));
    g_files.clear();
}

TEST(language_rules, empty_texts_keep_the_builtin_ones) {
    g_files[in_languages("de.ini")] =
        "[Common]\nLANGUAGE=Deutsch\n[Strings]\nREADY=Bereit auf Port\nFOLDER=\nEXIT=\\\nLINE=Zeile\\tNr.\n"
        "[Control]\nSAVE=Speichern\nCANCEL=\n[Menu]\nFILE=Da\\\\tei\nEXIT=\n";
    using_language de("de.ini");
    EXPECT_EQ(panel_text(IDS_READY), "Bereit auf Port");
    EXPECT_EQ(panel_text(IDS_FOLDER), TEXT_FOLDER) << "empty";
    EXPECT_EQ(panel_text(IDS_EXIT), TEXT_EXIT) << "empty after the escapes";
    EXPECT_EQ(panel_text(IDS_CLIENT), TEXT_CLIENT) << "missing";
    EXPECT_EQ(exports_status_text(2, 7), "Zeile\tNr. 7 " TEXT_EXP_ERROR_2);
    std::string text;
    EXPECT_TRUE(language_replacement("Control", "SAVE", &text));
    EXPECT_EQ(text, "Speichern");
    EXPECT_FALSE(language_replacement("Control", "CANCEL", &text)) << "an empty [Control] text keeps the control's";
    EXPECT_FALSE(language_replacement("Control", "PRINT", &text));
    EXPECT_TRUE(language_replacement("Menu", "FILE", &text));
    EXPECT_EQ(text, "Da\\tei");
    EXPECT_FALSE(language_replacement("Menu", "EXIT", &text));
}

TEST(language_rules, language_page_rows) {
    using row = std::vector<std::string>;
    auto shown = [](const std::vector<std::string>& files) {
        std::vector<row> out;
        for (const language_row& r : language_rows(kDir, files, read_ini))
            out.push_back({r.module, r.language, std::to_string(r.code_page), r.version, r.author,
                           r.builtin ? "built-in" : "file"});
        return out;
    };
    EXPECT_EQ(shown({}), (std::vector<row>{{"English", "English", "0", "1.2.70", "", "built-in"}}))
        << "without files only the built-in row";
    g_files[in_languages("deutsch.ini")] = "[Common]\nLANGUAGE=Deutsch\nCP=1252\nVERSION=2\nAUTHOR=Anna\n";
    g_files[in_languages("russian.ini")] = "[Common]\nLANGUAGE=\xD0\xF3\xF1\xF1\xEA\xE8\xE9\nCP=1251\n";
    g_files[in_languages("broken.ini")] = "[Common]\nCP=many\n";
    EXPECT_EQ(shown({"russian.ini", "deutsch.ini", "broken.ini"}),
              (std::vector<row>{{"Broken.ini", "", "0", "", "", "file"},
                                {"Deutsch.ini", "Deutsch", "1252", "2", "Anna", "file"},
                                {"English", "English", "0", "1.2.70", "", "built-in"},
                                {"Russian.ini", "\xD0\xF3\xF1\xF1\xEA\xE8\xE9", "1251", "", "", "file"}}));
    g_files[in_languages("mine.ini")] = "[Common]\nLANGUAGE=english\nVERSION=3\n";
    EXPECT_EQ(shown({"mine.ini"}), (std::vector<row>{{"Mine.ini", "english", "0", "3", "", "file"}}))
        << "a file naming English replaces the built-in row";
    g_files.clear();
}

TEST(language_rules, choice_stored_per_user) {
    if (use_private_registry("language").empty()) GTEST_SKIP() << "would change this user's own language";
    std::string value;
    EXPECT_FALSE(language_stored(&value));
    language_store("Deutsch.ini");
    ASSERT_TRUE(language_stored(&value));
    EXPECT_EQ(value, "Deutsch.ini");
}

// Every key of the built-in tables, by section; keys compare without
// regard to case, as the private-profile functions compare them.
std::map<std::string, std::vector<std::string>> builtin_keys() {
    std::map<std::string, std::vector<std::string>> keys;
    uint32_t n = 0;
    const panel_text_entry* tables[2];
    uint32_t counts[2];
    tables[0] = panel_text_table(&counts[0]);
    tables[1] = panel_dialog_text_table(&counts[1]);
    for (int i = 0; i < 2; ++i)
        for (uint32_t j = 0; j < counts[i]; ++j) keys["Strings"].push_back(tables[i][j].key);
    const panel_control_key* controls = panel_control_keys(&n);
    for (uint32_t j = 0; j < n; ++j) keys["Control"].push_back(controls[j].key);
    const panel_menu_key* menus = panel_menu_keys(&n);
    for (uint32_t j = 0; j < n; ++j) keys["Menu"].push_back(menus[j].key);
    return keys;
}

std::string source_file(const std::string& relative) {
    // Under Wine the Linux file system is drive Z:.
    const std::string path = (running_on_windows() ? "Z:" : "") + std::string(TERVALO_SOURCE_DIR) + "/" + relative;
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(language_rules, the_german_translation_is_complete) {
    const std::string file = source_file("lumeno/Languages/deutsch.ini");
    ASSERT_FALSE(file.empty()) << "lumeno/Languages/deutsch.ini";
    std::string value;
    ASSERT_TRUE(ini_value(file, "Common", "LANGUAGE", &value));
    EXPECT_EQ(value, "Deutsch");
    ASSERT_TRUE(ini_value(file, "Common", "CP", &value));
    EXPECT_EQ(value, "1252") << "written in Windows-1252";
    EXPECT_NE(file.find("\xFC"), std::string::npos) << "a u with umlaut in Windows-1252";
    EXPECT_EQ(file.find("\xC3"), std::string::npos) << "no UTF-8 sequences";
    for (const auto& [section, keys] : builtin_keys())
        for (const std::string& key : keys)
            EXPECT_TRUE(ini_value(file, section, key, &value) && !value.empty()) << "[" << section << "] " << key;
}

TEST(language_rules, a_key_used_twice_means_one_text) {
    // Two entries of one key get one translation, so their English must agree.
    std::map<std::string, std::string> seen;
    uint32_t n = 0;
    const panel_control_key* controls = panel_control_keys(&n);
    for (uint32_t i = 0; i < n; ++i) {
        std::string key = controls[i].key;
        for (char& c : key) c = char(std::toupper(static_cast<unsigned char>(c)));
        const auto [at, fresh] = seen.emplace(key, controls[i].builtin);
        EXPECT_TRUE(fresh || at->second == controls[i].builtin) << key;
    }
}

// Translations are data: "%s%n%s" in every text must come out as written
// from every path that builds a text, never be used as a format.
TEST(language_rules, texts_are_never_format_strings) {
    const std::string hostile = "%s%n%s%x%p";
    std::string file = "[Common]\nLANGUAGE=" + hostile + "\nTitle=" + hostile + "\nAUTHOR=" + hostile + "\n";
    for (const auto& [section, keys] : builtin_keys()) {
        file += "[" + section + "]\n";
        for (const std::string& key : keys) file += key + "=" + hostile + "\n";
    }
    g_files[in_languages("hostile.ini")] = file;
    using_language h("hostile.ini");
    EXPECT_EQ(language_current().title, hostile);
    const panel_text_entry* tables[2];
    uint32_t counts[2];
    tables[0] = panel_text_table(&counts[0]);
    tables[1] = panel_dialog_text_table(&counts[1]);
    for (int i = 0; i < 2; ++i)
        for (uint32_t j = 0; j < counts[i]; ++j) EXPECT_EQ(panel_text(tables[i][j].id), hostile) << tables[i][j].key;
    panel_settings s;
    control_put32(s.record + 24, 2049);
    EXPECT_EQ(panel_status_text(1, s), " " + hostile + " 2049");
    EXPECT_EQ(panel_status_text(-1, s), hostile);
    EXPECT_EQ(panel_header(PANEL_VIEW_EXPORTS, 3, true), " 3 " + hostile + "\t\t" + hostile);
    EXPECT_EQ(exports_status_text(1, 0), hostile);
    EXPECT_EQ(exports_status_text(5, 12), hostile + " 12 " + hostile);
    EXPECT_EQ(panel_protocol_text(6), hostile);
    for (const auto& [section, keys] : builtin_keys())
        for (const std::string& key : keys) {
            std::string text;
            EXPECT_TRUE(language_replacement(section.c_str(), key.c_str(), &text));
            EXPECT_EQ(text, hostile) << key;
        }
    const std::vector<language_row> rows = language_rows(kDir, {"hostile.ini"}, read_ini);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[1].language, hostile);
    EXPECT_EQ(rows[1].author, hostile);
}

}  // namespace
