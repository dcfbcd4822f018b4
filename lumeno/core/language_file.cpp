#include "lumeno/core/language_file.h"

#include "lumeno/core/panel_ids.h"
#include "lumeno/core/panel_texts.h"
#include "platform/registry.h"
#include "platform/win_error.h"

#include <algorithm>
#include <cstdlib>

namespace {

const char kUserKey[] = "Software\\Tervalo\\quen";
const char kValueName[] = "Language";
constexpr uint16_t kLangGerman = 0x07;
constexpr size_t kStoredMax = 1024;

panel_language g_language{"", kLanguageBuiltinName, PANEL_TITLE};
language_reader g_read = nullptr;

char lower(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

bool same_text(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

bool before(const std::string& a, const std::string& b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [](char x, char y) { return lower(x) < lower(y); });
}

std::string_view trim(std::string_view s) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!s.empty() && blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && blank(s.back())) s.remove_suffix(1);
    return s;
}

}  // namespace

bool ini_value(std::string_view text, std::string_view section, std::string_view key, std::string* value) {
    bool inside = false;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = trim(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.empty() || line.front() == ';') continue;
        if (line.front() == '[') {
            if (inside) return false;   // only the first section of the name is searched
            const size_t close = line.find(']');
            const std::string_view name = trim(line.substr(1, close == std::string_view::npos ? line.npos : close - 1));
            inside = same_text(name, section);
            continue;
        }
        if (!inside) continue;
        const size_t equals = line.find('=');
        if (!same_text(trim(line.substr(0, equals)), key)) continue;
        std::string_view v = equals == std::string_view::npos ? std::string_view() : trim(line.substr(equals + 1));
        if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
            v = v.substr(1, v.size() - 2);
        value->assign(v);
        return true;
    }
    return false;
}

std::string language_unescape(std::string_view raw) {
    std::string out;
    out.reserve(raw.size());
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != '\\') {
            out += raw[i];
            continue;
        }
        if (++i == raw.size()) break;   // a backslash at the very end
        out += raw[i] == 'n' ? '\n' : raw[i] == 't' ? '\t' : raw[i];
    }
    return out;
}

std::string language_file_name(bool stored, const std::string& value, uint16_t ui_language) {
    if (stored && !value.empty()) return value;
    return (ui_language & 0x3ff) == kLangGerman ? kLanguageGermanFile : "";
}

panel_language language_load(const std::string& program_dir, const std::string& file_name, language_reader read) {
    panel_language l{"", kLanguageBuiltinName, PANEL_TITLE};
    if (file_name.empty() || !read) return l;
    const std::string path = program_dir + "Languages\\" + file_name;
    const std::string name = read(path, "Common", "LANGUAGE");
    if (name.empty()) return l;
    l.path = path;
    l.name = name;
    const std::string title = read(path, "Common", "Title");
    if (!title.empty()) l.title = title.substr(0, kLanguageTitleMax);
    return l;
}

void language_use(const panel_language& language, language_reader read) {
    g_language = language;
    g_read = read;
}

const panel_language& language_current() { return g_language; }

bool language_strings_source(uint32_t id, std::string* out) {
    out->clear();
    const char* key = panel_text_key(id);
    if (!key || g_language.path.empty() || !g_read) return false;
    *out = language_unescape(g_read(g_language.path, "Strings", key));
    return !out->empty();
}

bool language_replacement(const char* section, const char* key, std::string* out) {
    if (g_language.path.empty() || !g_read) return false;
    const std::string raw = g_read(g_language.path, section, key);
    if (raw.empty()) return false;
    *out = language_unescape(raw);
    return true;
}

bool language_stored(std::string* value) {
    std::string text(kStoredMax + 1, '\0');
    uint32_t type = 0, size = uint32_t(kStoredMax);
    if (reg_query_value(REG_CURRENT_USER, kUserKey, kValueName, &type, text.data(), &size) != WIN_ERROR_SUCCESS ||
        type != REG_VALUE_SZ)
        return false;
    text.resize(std::min<size_t>(size, kStoredMax));
    text.resize(text.find('\0') == std::string::npos ? text.size() : text.find('\0'));
    *value = text;
    return true;
}

void language_store(const std::string& value) {
    reg_set_value(REG_CURRENT_USER, kUserKey, kValueName, REG_VALUE_SZ, value.c_str(), uint32_t(value.size() + 1));
}

std::vector<language_row> language_rows(const std::string& program_dir, const std::vector<std::string>& files,
                                        language_reader read) {
    std::vector<language_row> rows;
    bool english = false;
    for (const std::string& file : files) {
        const std::string path = program_dir + "Languages\\" + file;
        language_row r;
        r.module = file;
        if (!r.module.empty() && r.module[0] >= 'a' && r.module[0] <= 'z') r.module[0] = char(r.module[0] - 'a' + 'A');
        r.language = read(path, "Common", "LANGUAGE");
        const std::string cp = read(path, "Common", "CP");
        char* end = nullptr;
        const unsigned long n = std::strtoul(cp.c_str(), &end, 10);
        r.code_page = end != cp.c_str() && n <= 65535 ? uint32_t(n) : 0;
        r.version = read(path, "Common", "VERSION");
        r.author = read(path, "Common", "AUTHOR");
        english = english || same_text(r.language, kLanguageBuiltinName);
        rows.push_back(r);
    }
    if (!english) {
        language_row r;
        r.module = r.language = kLanguageBuiltinName;
        r.version = PANEL_VERSION_TEXT;
        r.builtin = true;
        rows.push_back(r);
    }
    std::stable_sort(rows.begin(), rows.end(), [](const language_row& a, const language_row& b) {
        return before(a.module, b.module);
    });
    return rows;
}
