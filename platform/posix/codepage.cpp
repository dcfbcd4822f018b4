// Code page conversion on POSIX through iconv, with the Windows code page
// numbers mapped to iconv's names for the same tables.
#include "platform/codepage.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iconv.h>
#include <string>

namespace {

// Windows chooses the ANSI code page by the system's language; the charset
// named in LANG wins when it is itself a Windows code page.
struct language_page {
    const char* language;
    uint32_t code_page;
};
constexpr language_page kLanguagePages[] = {
    {"ja", 932}, {"zh_CN", 936}, {"zh_SG", 936}, {"zh_TW", 950}, {"zh_HK", 950}, {"ko", 949},
    {"th", 874}, {"ru", 1251}, {"uk", 1251}, {"be", 1251}, {"bg", 1251}, {"mk", 1251},
    {"sr", 1251}, {"pl", 1250}, {"cs", 1250}, {"sk", 1250}, {"hu", 1250}, {"hr", 1250},
    {"ro", 1250}, {"sl", 1250}, {"el", 1253}, {"tr", 1254}, {"az", 1254}, {"he", 1255},
    {"ar", 1256}, {"fa", 1256}, {"ur", 1256}, {"et", 1257}, {"lv", 1257}, {"lt", 1257},
    {"vi", 1258},
};

// "CP1251", "windows-1251", "IBM850", "SJIS", ... to the code page, or 0.
uint32_t page_of_charset(std::string cs) {
    std::string k;
    for (char c : cs)
        if (c != '-' && c != '_') k += char(c >= 'A' && c <= 'Z' ? c + 32 : c);
    if (k == "sjis" || k == "shiftjis" || k == "windows31j") return 932;
    if (k == "gbk" || k == "gb2312") return 936;
    if (k == "euckr" || k == "uhc") return 949;
    if (k == "big5") return 950;
    if (k == "tis620") return 874;
    for (const char* prefix : {"cp", "windows", "ibm"}) {
        size_t n = std::strlen(prefix);
        if (k.compare(0, n, prefix) != 0 || k.size() == n || k.size() > n + 5) continue;
        uint32_t v = 0;
        for (size_t i = n; i < k.size(); ++i) {
            if (k[i] < '0' || k[i] > '9') return 0;
            v = v * 10 + uint32_t(k[i] - '0');
        }
        // UTF-8 locales say nothing of the ANSI code page, which never is UTF-8.
        return v != 0 && v != 65001 && codepage_supported(v) ? v : 0;
    }
    return 0;
}

uint32_t page_of_lang(const char* lang) {
    if (!lang || !*lang) return 1252;
    std::string s = lang;
    size_t at = s.find('@');
    if (at != std::string::npos) s.resize(at);
    size_t dot = s.find('.');
    if (dot != std::string::npos) {
        if (uint32_t cp = page_of_charset(s.substr(dot + 1))) return cp;
        s.resize(dot);
    }
    for (const auto& l : kLanguagePages) {
        size_t n = std::strlen(l.language);
        if (s.compare(0, n, l.language) == 0 && (s.size() == n || s[n] == '_')) return l.code_page;
    }
    return 1252;
}

// iconv's name of a supported code page; nullptr for others.
const char* iconv_name(uint32_t code_page, char* buf, size_t size) {
    if (code_page == 0) code_page = codepage_system_ansi();
    if (!codepage_supported(code_page)) return nullptr;
    if (code_page == 65001) return "UTF-8";
    std::snprintf(buf, size, "CP%u", unsigned(code_page));
    return buf;
}

// Converts in into out (capacity bytes, NUL not counted). Result: bytes
// written, or -1 on an invalid or unrepresentable sequence or lack of room.
long run_iconv(const char* to, const char* from, const char* in, size_t in_len, char* out, size_t capacity) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) return -1;
    char* src = const_cast<char*>(in);
    size_t src_left = in_len;
    char* dst = out;
    size_t dst_left = capacity;
    long result = -1;
    // glibc counts characters it had to replace instead of failing; both the
    // counted and the refused cases are failures here.
    if (iconv(cd, &src, &src_left, &dst, &dst_left) == 0 && src_left == 0 &&
        iconv(cd, nullptr, nullptr, &dst, &dst_left) == 0)
        result = long(capacity - dst_left);
    iconv_close(cd);
    return result;
}

size_t convert(const char* to, const char* from, char* buffer, size_t size) {
    if (!to || !from || !buffer || size == 0) return 0;
    const size_t len = strnlen(buffer, size);
    if (len == 0 || len == size) return 0;
    std::string out(size, '\0');
    long n = run_iconv(to, from, buffer, len, out.data(), size - 1);
    // Embedded NULs cannot come from a text without them; refuse them anyway.
    if (n <= 0 || std::memchr(out.data(), 0, size_t(n))) return 0;
    std::memcpy(buffer, out.data(), size_t(n));
    buffer[n] = 0;
    return size_t(n);
}

}  // namespace

uint32_t codepage_system_ansi() { return page_of_lang(std::getenv("LANG")); }

size_t codepage_to_utf8(uint32_t code_page, char* buffer, size_t size) {
    char name[16];
    return convert("UTF-8", iconv_name(code_page, name, sizeof name), buffer, size);
}

size_t utf8_to_codepage(uint32_t code_page, char* buffer, size_t size) {
    char name[16];
    return convert(iconv_name(code_page, name, sizeof name), "UTF-8", buffer, size);
}
