// Name comparison as NTFS does it (simple upper-case mapping) and the
// Windows wildcard rules of FindFirstFile.
#include "platform/posix/volume.h"

#include <vector>

namespace {

// The DOS forms that FindFirstFile turns the pattern's ? . * into.
constexpr char32_t kDosStar = 0x110001;  // '<': any run that stays before the name's last dot
constexpr char32_t kDosQm = 0x110002;    // '>': one character, or none at a dot or the end
constexpr char32_t kDosDot = 0x110003;   // '"': a dot, or nothing at the end of the name

// Win32's translation: ? -> DOS_QM; . before ? or * or at the end -> DOS_DOT;
// * before . -> DOS_STAR.
std::u32string translate_pattern(const std::u32string& p) {
    std::u32string out = p;
    for (size_t i = 0; i < p.size(); ++i) {
        const bool last = i + 1 == p.size();
        if (p[i] == U'?')
            out[i] = kDosQm;
        else if (p[i] == U'.' && (last || p[i + 1] == U'?' || p[i + 1] == U'*'))
            out[i] = kDosDot;
        else if (p[i] == U'*' && !last && p[i + 1] == U'.')
            out[i] = kDosStar;
        else if (p[i] == U'<')  // callers may also pass the DOS forms themselves
            out[i] = kDosStar;
        else if (p[i] == U'>')
            out[i] = kDosQm;
        else if (p[i] == U'"')
            out[i] = kDosDot;
    }
    return out;
}

struct matcher {
    const std::u32string& p;
    const std::u32string& n;
    size_t last_dot;  // n.size() when the name has no dot
    std::vector<signed char> memo;

    bool at(size_t pi, size_t ni) {
        signed char& m = memo[pi * (n.size() + 1) + ni];
        if (m < 0) m = compute(pi, ni) ? 1 : 0;
        return m == 1;
    }

    bool compute(size_t pi, size_t ni) {
        if (pi == p.size()) return ni == n.size();
        const char32_t c = p[pi];
        if (c == U'*') {
            for (size_t k = ni; k <= n.size(); ++k)
                if (at(pi + 1, k)) return true;
            return false;
        }
        if (c == kDosStar) {
            // May consume characters, but never the name's last dot.
            const size_t limit = (last_dot < n.size() && last_dot >= ni) ? last_dot : n.size();
            for (size_t k = ni; k <= limit; ++k)
                if (at(pi + 1, k)) return true;
            return false;
        }
        if (c == kDosQm) {
            if (ni < n.size() && n[ni] != U'.') return at(pi + 1, ni + 1);
            size_t j = pi;
            while (j < p.size() && p[j] == kDosQm) ++j;
            return at(j, ni);
        }
        if (c == kDosDot) {
            if (ni < n.size() && n[ni] == U'.') return at(pi + 1, ni + 1);
            return ni == n.size() && at(pi + 1, ni);
        }
        return ni < n.size() && n[ni] == c && at(pi + 1, ni + 1);
    }
};

}  // namespace

char32_t upcase_code_point(char32_t c) {
    if (c < 0x80) return (c >= U'a' && c <= U'z') ? c - 0x20 : c;
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return c - 0x20;
    if (c == 0xFF) return 0x178;
    if (c >= 0x100 && c <= 0x17F) {
        // Latin Extended-A pairs: even upper, odd lower, except the runs that are shifted by one.
        if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) return (c % 2 == 0) ? c - 1 : c;
        if (c == 0x131 || c == 0x138 || c == 0x149 || c == 0x17F) return c;
        return (c % 2 == 1) ? c - 1 : c;
    }
    if (c == 0x3C2) return 0x3A3;  // final sigma
    if (c >= 0x3B1 && c <= 0x3C9) return c - 0x20;
    if (c >= 0x430 && c <= 0x44F) return c - 0x20;
    if (c >= 0x450 && c <= 0x45F) return c - 0x50;
    return c;
}

bool decode_utf8(std::string_view s, std::u32string& out) {
    out.clear();
    for (size_t i = 0; i < s.size();) {
        const unsigned char b = s[i];
        char32_t c;
        size_t n;
        if (b < 0x80) { c = b; n = 1; }
        else if ((b & 0xE0) == 0xC0) { c = b & 0x1F; n = 2; }
        else if ((b & 0xF0) == 0xE0) { c = b & 0x0F; n = 3; }
        else if ((b & 0xF8) == 0xF0) { c = b & 0x07; n = 4; }
        else return false;
        if (i + n > s.size()) return false;
        for (size_t k = 1; k < n; ++k) {
            const unsigned char x = s[i + k];
            if ((x & 0xC0) != 0x80) return false;
            c = (c << 6) | (x & 0x3F);
        }
        if ((n == 2 && c < 0x80) || (n == 3 && c < 0x800) || (n == 4 && c < 0x10000) || c > 0x10FFFF ||
            (c >= 0xD800 && c <= 0xDFFF))
            return false;
        out.push_back(c);
        i += n;
    }
    return true;
}

std::u32string upcased_name(std::string_view s) {
    std::u32string u;
    if (!decode_utf8(s, u)) {
        u.clear();
        for (unsigned char b : s) u.push_back(0x110100 + b);  // raw bytes compare only with themselves
        return u;
    }
    for (char32_t& c : u) c = upcase_code_point(c);
    return u;
}

bool names_equal_ignoring_case(std::string_view a, std::string_view b) {
    if (a == b) return true;
    return upcased_name(a) == upcased_name(b);
}

bool has_wildcards(std::string_view pattern) {
    return pattern.find_first_of("*?<>\"") != std::string_view::npos;
}

bool wildcard_match(std::string_view pattern, std::string_view name, bool case_sensitive) {
    std::u32string p, n;
    if (case_sensitive) {
        if (!decode_utf8(pattern, p) || !decode_utf8(name, n)) return false;
    } else {
        p = upcased_name(pattern);
        n = upcased_name(name);
    }
    const std::u32string t = translate_pattern(p);
    const size_t dot = n.rfind(U'.');
    matcher m{t, n, dot == std::u32string::npos ? n.size() : dot, {}};
    m.memo.assign((t.size() + 1) * (n.size() + 1), -1);
    return m.at(0, 0);
}

size_t utf16_length(std::string_view s) {
    size_t n = 0;
    for (unsigned char b : s) {
        if ((b & 0xC0) != 0x80) ++n;       // a lead byte starts a code point
        if ((b & 0xF8) == 0xF0) ++n;       // four-byte forms need a surrogate pair
    }
    return n;
}
