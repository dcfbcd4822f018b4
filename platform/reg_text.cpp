#include "platform/reg_text.h"

#include "platform/registry.h"
#include "platform/utf16.h"

#include <cstdio>

namespace {

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";
constexpr std::string_view kHeader4 = "REGEDIT4";

char fold(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

// Turns the file's bytes into UTF-8 text without a byte-order mark.
bool decode_text(std::string_view raw, std::string& text) {
    if (raw.size() >= 2 && uint8_t(raw[0]) == 0xFF && uint8_t(raw[1]) == 0xFE) {
        if (raw.size() % 2) return false;
        std::u16string wide;
        wide.reserve(raw.size() / 2);
        for (size_t i = 2; i + 1 < raw.size(); i += 2)
            wide.push_back(char16_t(uint8_t(raw[i]) | (uint8_t(raw[i + 1]) << 8)));
        return utf16_to_utf8(wide, text);
    }
    if (raw.size() >= 3 && raw.substr(0, 3) == "\xEF\xBB\xBF") raw.remove_prefix(3);
    text.assign(raw);
    return true;
}

// Reads a quoted string at the front of s (which starts with '"'); s moves past it.
bool take_quoted(std::string_view& s, std::string& out) {
    out.clear();
    size_t i = 1;
    for (; i < s.size(); ++i) {
        const char c = s[i];
        if (c == '"') break;
        if (c == '\\' && i + 1 < s.size() && (s[i + 1] == '\\' || s[i + 1] == '"')) {
            out.push_back(s[++i]);
            continue;
        }
        out.push_back(c);   // other backslashes are literal, as an import takes them
    }
    if (i >= s.size()) return false;
    s.remove_prefix(i + 1);
    return true;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = fold(c);
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool parse_hex_bytes(std::string_view s, std::vector<uint8_t>& out) {
    out.clear();
    s = trim(s);
    if (s.empty()) return true;
    while (true) {
        s = trim(s);
        if (s.size() < 2) return false;
        const int hi = hex_digit(s[0]), lo = hex_digit(s[1]);
        if (hi < 0 || lo < 0) return false;
        out.push_back(uint8_t(hi << 4 | lo));
        s = trim(s.substr(2));
        if (s.empty()) return true;
        if (s.front() != ',') return false;
        s.remove_prefix(1);
    }
}

bool parse_number_hex(std::string_view s, uint32_t& v) {
    s = trim(s);
    if (s.empty() || s.size() > 8) return false;
    v = 0;
    for (char c : s) {
        const int d = hex_digit(c);
        if (d < 0) return false;
        v = v << 4 | uint32_t(d);
    }
    return true;
}

std::vector<uint8_t> string_data(std::string_view text) {
    std::vector<uint8_t> d(text.begin(), text.end());
    d.push_back(0);
    return d;
}

// Value data after the '='. Sets erase for the "-" form.
bool parse_data(std::string_view s, reg_entry& e, bool& erase, std::string& reason) {
    erase = false;
    s = trim(s);
    if (s == "-") { erase = true; return true; }
    if (!s.empty() && s.front() == '"') {
        std::string text;
        if (!take_quoted(s, text)) { reason = "unterminated string"; return false; }
        if (!trim(s).empty()) { reason = "text after the string"; return false; }
        e.type = REG_VALUE_SZ;
        e.data = string_data(text);
        return true;
    }
    if (s.substr(0, 6) == "dword:") {
        uint32_t v;
        if (!parse_number_hex(s.substr(6), v)) { reason = "bad dword"; return false; }
        e.type = REG_VALUE_DWORD;
        e.data = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
        return true;
    }
    uint32_t type = REG_VALUE_BINARY;
    if (s.substr(0, 4) == "hex:") {
        s.remove_prefix(4);
    } else if (s.substr(0, 4) == "hex(") {
        const size_t close = s.find("):");
        if (close == std::string_view::npos || !parse_number_hex(s.substr(4, close - 4), type)) {
            reason = "bad hex type";
            return false;
        }
        s.remove_prefix(close + 2);
    } else {
        reason = "unknown value type";
        return false;
    }
    if (!parse_hex_bytes(s, e.data)) { reason = "bad hex data"; return false; }
    e.type = type;
    if (type == REG_VALUE_SZ) {   // hex(1) holds UTF-16LE text
        if (e.data.size() % 2) { reason = "odd length of text"; return false; }
        std::u16string wide;
        for (size_t i = 0; i + 1 < e.data.size(); i += 2)
            wide.push_back(char16_t(e.data[i] | e.data[i + 1] << 8));
        while (!wide.empty() && wide.back() == 0) wide.pop_back();
        std::string text;
        if (!utf16_to_utf8(wide, text)) { reason = "bad text"; return false; }
        e.data = string_data(text);
    }
    return true;
}

bool valid_key(std::string_view key) {
    if (key.empty() || key.front() == '\\' || key.back() == '\\') return false;
    if (key.find("\\\\") != std::string_view::npos) return false;
    return key.substr(0, 5) == "HKEY_";
}

void put_escaped(std::string& out, std::string_view s) {
    out.push_back('"');
    for (char c : s) {
        if (c == '\\' || c == '"') out.push_back('\\');
        out.push_back(c);
    }
    out.push_back('"');
}

void put_hex(std::string& out, std::string_view prefix, const uint8_t* p, size_t n) {
    size_t column = out.size() - out.rfind('\n') - 1;
    out.append(prefix);
    column += prefix.size();
    char b[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02x", p[i]);
        out.append(b);
        column += 2;
        if (i + 1 < n) {
            out.push_back(',');
            ++column;
            if (column > 76) {
                out.append("\\\r\n  ");
                column = 2;
            }
        }
    }
}

// A string can be written quoted when it has no control characters and ends in its NUL.
bool quotable(const std::vector<uint8_t>& d) {
    if (d.empty() || d.back() != 0) return false;
    for (size_t i = 0; i + 1 < d.size(); ++i)
        if (d[i] < 0x20) return false;
    return true;
}

void put_entry(std::string& out, const reg_entry& e) {
    if (e.name.empty()) out.push_back('@');
    else put_escaped(out, e.name);
    out.push_back('=');
    if (e.type == REG_VALUE_SZ) {
        if (quotable(e.data)) {
            put_escaped(out, std::string_view(reinterpret_cast<const char*>(e.data.data()), e.data.size() - 1));
            return;
        }
        std::u16string wide;
        size_t n = e.data.size();
        if (n && e.data[n - 1] == 0) --n;
        utf8_to_utf16(std::string_view(reinterpret_cast<const char*>(e.data.data()), n), wide);
        wide.push_back(0);
        std::vector<uint8_t> bytes;
        for (char16_t c : wide) { bytes.push_back(uint8_t(c)); bytes.push_back(uint8_t(c >> 8)); }
        put_hex(out, "hex(1):", bytes.data(), bytes.size());
        return;
    }
    if (e.type == REG_VALUE_DWORD && e.data.size() == 4) {
        char b[24];
        std::snprintf(b, sizeof b, "dword:%08x", unsigned(e.data[0] | e.data[1] << 8 | e.data[2] << 16 | uint32_t(e.data[3]) << 24));
        out.append(b);
        return;
    }
    if (e.type == REG_VALUE_BINARY) {
        put_hex(out, "hex:", e.data.data(), e.data.size());
        return;
    }
    char prefix[24];
    std::snprintf(prefix, sizeof prefix, "hex(%x):", unsigned(e.type));
    put_hex(out, prefix, e.data.data(), e.data.size());
}

bool is_below(std::string_view key, std::string_view parent) {
    return key.size() > parent.size() + 1 && key[parent.size()] == '\\' &&
           reg_names_equal(key.substr(0, parent.size()), parent);
}

}  // namespace

bool reg_names_equal(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (fold(a[i]) != fold(b[i])) return false;
    return true;
}

reg_section* reg_find_section(reg_document& doc, std::string_view key) {
    for (auto& s : doc.sections)
        if (reg_names_equal(s.key, key)) return &s;
    return nullptr;
}

reg_section& reg_section_for(reg_document& doc, std::string_view key) {
    if (reg_section* s = reg_find_section(doc, key)) return *s;
    doc.sections.push_back(reg_section{std::string(key), {}});
    return doc.sections.back();
}

reg_entry* reg_find_entry(reg_section& section, std::string_view name) {
    for (auto& e : section.values)
        if (reg_names_equal(e.name, name)) return &e;
    return nullptr;
}

bool reg_has_subkeys(const reg_document& doc, std::string_view key) {
    for (const auto& s : doc.sections)
        if (is_below(s.key, key)) return true;
    return false;
}

bool reg_key_exists(const reg_document& doc, std::string_view key) {
    for (const auto& s : doc.sections)
        if (reg_names_equal(s.key, key) || is_below(s.key, key)) return true;
    return false;
}

void reg_remove_section(reg_document& doc, std::string_view key) {
    std::erase_if(doc.sections, [&](const reg_section& s) {
        return reg_names_equal(s.key, key) || is_below(s.key, key);
    });
}

bool reg_parse(std::string_view raw, reg_document& doc, reg_parse_error& err) {
    doc.sections.clear();
    std::string text;
    if (!decode_text(raw, text)) {
        err = {1, "the file is neither UTF-8 nor UTF-16"};
        return false;
    }
    auto fail = [&](unsigned line, std::string reason) {
        doc.sections.clear();
        err = {line, std::move(reason)};
        return false;
    };
    std::string_view rest = text;
    unsigned line_no = 0;
    bool seen_header = false;
    reg_section* current = nullptr;
    bool current_deleted = false;
    while (!rest.empty()) {
        size_t nl = rest.find('\n');
        std::string_view line = rest.substr(0, nl);
        rest = nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
        ++line_no;
        const unsigned first_line = line_no;
        std::string joined(trim(line));
        // Hex data continues on the next line after a trailing backslash.
        while (!joined.empty() && joined.back() == '\\' && joined.find("=hex") != std::string::npos) {
            joined.pop_back();
            if (rest.empty()) return fail(line_no, "continuation at the end of the file");
            nl = rest.find('\n');
            joined.append(trim(rest.substr(0, nl)));
            rest = nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
            ++line_no;
        }
        std::string_view s = joined;
        if (s.empty() || s.front() == ';') continue;
        if (!seen_header) {
            if (s != kHeader && s != kHeader4) return fail(first_line, "missing \"Windows Registry Editor Version 5.00\"");
            seen_header = true;
            continue;
        }
        if (s.front() == '[') {
            if (s.back() != ']') return fail(first_line, "key without closing bracket");
            std::string_view key = s.substr(1, s.size() - 2);
            const bool erase = !key.empty() && key.front() == '-';
            if (erase) key.remove_prefix(1);
            if (!valid_key(key)) return fail(first_line, "bad key name");
            if (erase) {
                reg_remove_section(doc, key);
                current = nullptr;
                current_deleted = true;
            } else {
                current = &reg_section_for(doc, key);
                current_deleted = false;
            }
            continue;
        }
        reg_entry e;
        if (s.front() == '@') {
            s.remove_prefix(1);
        } else if (s.front() == '"') {
            if (!take_quoted(s, e.name)) return fail(first_line, "unterminated value name");
        } else {
            return fail(first_line, "expected a key, a value or a comment");
        }
        s = trim(s);
        if (s.empty() || s.front() != '=') return fail(first_line, "expected '=' after the value name");
        s.remove_prefix(1);
        bool erase = false;
        std::string reason;
        if (!parse_data(s, e, erase, reason)) return fail(first_line, reason);
        if (current_deleted) continue;   // values of a deleted key are not imported
        if (!current) return fail(first_line, "value before any key");
        std::erase_if(current->values, [&](const reg_entry& x) { return reg_names_equal(x.name, e.name); });
        if (!erase) current->values.push_back(std::move(e));
    }
    if (!seen_header && line_no > 0) return fail(1, "missing \"Windows Registry Editor Version 5.00\"");
    return true;
}

std::string reg_serialise(const reg_document& doc) {
    std::string out;
    out.append(kHeader).append("\r\n\r\n");
    for (const auto& s : doc.sections) {
        out.append("[").append(s.key).append("]\r\n");
        for (const auto& e : s.values) {
            put_entry(out, e);
            out.append("\r\n");
        }
        out.append("\r\n");
    }
    return out;
}
