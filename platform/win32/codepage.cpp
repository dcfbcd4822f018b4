// Code page conversion on Windows: through UTF-16 with MultiByteToWideChar
// and WideCharToMultiByte.
#include "platform/codepage.h"

#include <cstring>
#include <string>
#include <windows.h>

namespace {

// Text (len bytes, no NUL) in code page `from` to UTF-16; empty on failure.
std::wstring to_wide(UINT from, const char* text, int len, int max_chars) {
    std::wstring wide(size_t(max_chars), L'\0');
    int n = MultiByteToWideChar(from, MB_ERR_INVALID_CHARS, text, len, wide.data(), max_chars);
    wide.resize(n > 0 ? size_t(n) : 0);
    return wide;
}

// UTF-16 to code page `to` into out (capacity bytes). A character without an
// exact counterpart fails instead of becoming '?' or a look-alike.
int from_wide(UINT to, const std::wstring& wide, char* out, int capacity) {
    const bool utf8 = to == CP_UTF8;
    BOOL used_default = FALSE;
    int n = WideCharToMultiByte(to, utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS, wide.data(),
                                int(wide.size()), out, capacity, nullptr, utf8 ? nullptr : &used_default);
    return n > 0 && !used_default ? n : 0;
}

size_t convert(UINT from, UINT to, char* buffer, size_t size) {
    if (!buffer || size == 0 || size > 0x10000000) return 0;
    const size_t len = strnlen(buffer, size);
    if (len == 0 || len == size) return 0;
    std::wstring wide = to_wide(from, buffer, int(len), int(size));
    if (wide.empty()) return 0;
    std::string out(size, '\0');
    int n = from_wide(to, wide, out.data(), int(size - 1));
    if (n <= 0 || std::memchr(out.data(), 0, size_t(n))) return 0;
    std::memcpy(buffer, out.data(), size_t(n));
    buffer[n] = 0;
    return size_t(n);
}

}  // namespace

uint32_t codepage_system_ansi() { return GetACP(); }

size_t codepage_to_utf8(uint32_t code_page, char* buffer, size_t size) {
    if (!codepage_supported(code_page)) return 0;
    return convert(code_page == 0 ? CP_ACP : UINT(code_page), CP_UTF8, buffer, size);
}

size_t utf8_to_codepage(uint32_t code_page, char* buffer, size_t size) {
    if (!codepage_supported(code_page)) return 0;
    return convert(CP_UTF8, code_page == 0 ? CP_ACP : UINT(code_page), buffer, size);
}
