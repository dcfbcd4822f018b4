// Windows name -> client name: the inverse of the escaping in
// names_to_windows.cpp, so that every name a client can create reads back
// as it was written.
#include "platform/codepage.h"
#include "quen/fs/names.h"

#include <cstring>

namespace {

bool is_ascii_letter(uint8_t c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// A case-collision suffix (escape character and digit) that a create added
// to a name with letters; it is no part of the client's name.
size_t strip_case_suffix(const name_tables& t, const uint8_t* s, size_t len) {
    if (len <= 2 || s[len - 2] != t.escape || s[len - 1] < '0' || s[len - 1] > '9') return len;
    for (size_t i = 0; i < len - 2; ++i)
        if (is_ascii_letter(s[i]) || s[i] >= 128) return len - 2;
    return len;
}

// Decodes src[0, len) into dst; dst may be src, as the output never runs
// ahead of the input. Result: the decoded length.
size_t unescape(const name_tables& t, const uint8_t* src, size_t len, uint8_t* dst) {
    const uint8_t e = t.escape;
    size_t i = 0, o = 0;
    // The escape character put before a device name.
    size_t lead = 0;
    while (lead < len && src[lead] == e) ++lead;
    if (lead > 0 && names_is_reserved_device(reinterpret_cast<const char*>(src + lead), len - lead)) i = 1;
    while (i < len) {
        const uint8_t c = src[i];
        if (c != e) {
            dst[o++] = c;
            ++i;
            continue;
        }
        size_t j = i;
        while (j < len && src[j] == e) ++j;
        const size_t run = j - i;
        if (j < len && t.reverse[src[j]]) {
            // Escape characters before a code were doubled; an odd last one
            // pairs with the code.
            for (size_t k = 0; k < run / 2; ++k) dst[o++] = e;
            dst[o++] = run % 2 ? t.reverse[src[j]] : src[j];
            i = j + 1;
        } else {
            for (size_t k = 0; k < run; ++k) dst[o++] = e;
            i = j;
        }
    }
    // The escape character that kept a trailing dot or space.
    size_t k = o;
    while (k > 0 && dst[k - 1] == e) --k;
    if (k < o && k > 0 && (dst[k - 1] == '.' || dst[k - 1] == ' ')) --o;
    return o;
}

}  // namespace

size_t windows_name_to_nfs(const mount_context& ctx, const char* windows_name, char* out, size_t out_size) {
    const name_tables& t = g_name_tables;
    if (!out || out_size == 0) return 0;
    const size_t len = windows_name ? std::strlen(windows_name) : 0;
    if (len >= out_size) {
        out[0] = 0;
        return 0;
    }
    if (out != windows_name) std::memmove(out, windows_name, len + 1);
    auto* s = reinterpret_cast<uint8_t*>(out);
    size_t n = len;
    if (ctx.flags & MOUNT_FLAG_CASE_SENSITIVE) n = strip_case_suffix(t, s, n);
    n = unescape(t, s, n, s);
    if (ctx.flags & MOUNT_FLAG_SUB) {
        for (size_t i = 0; i < n; ++i) {
            if (ctx.sub_colon && s[i] == ctx.sub_colon)
                s[i] = ':';
            else if (ctx.sub_question && s[i] == ctx.sub_question)
                s[i] = '?';
        }
    }
    s[n] = 0;
    if (ctx.name_encoding == NAME_ENCODING_CODE_PAGE && n > 0) {
        // A name the client's code page cannot show stays in UTF-8.
        size_t converted = utf8_to_codepage(t.code_page, out, out_size);
        if (converted) n = converted;
    }
    return n;
}
