#include "quen/inode/paths.h"

#include "quen/config/settings.h"
#include "quen/config/char_class.h"

#include <cstring>

namespace {

bool is_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
char lower(char c) { return c >= 'A' && c <= 'Z' ? char(c + 32) : c; }
char upper(char c) { return c >= 'a' && c <= 'z' ? char(c - 32) : c; }


// Copies source into dest when they differ. Result: the length, or
// dest_size when it does not fit with room for `grow` more bytes.
size_t take(const char* source, char* dest, size_t dest_size, size_t grow) {
    const char* from = source ? source : dest;
    const size_t len = strnlen(from, dest_size);
    if (len + grow >= dest_size) return dest_size;
    if (from != dest) std::memmove(dest, from, len + 1);
    return len;
}

}  // namespace

size_t windows_path_to_nfs(const char* source, char* dest, size_t dest_size) {
    if (!dest || dest_size == 0) return 0;
    size_t len = take(source, dest, dest_size, 0);
    if (len == dest_size) {
        dest[0] = 0;
        return 0;
    }
    const bool lowercase = g_settings.record.lowercase != 0;
    if (len >= 2 && is_letter(dest[0]) && dest[1] == ':') {
        dest[1] = lowercase ? lower(dest[0]) : dest[0];
        dest[0] = '/';
    } else if (len >= 6 && has_long_path_prefix(dest) && is_letter(dest[4]) && dest[5] == ':' && lowercase) {
        dest[4] = lower(dest[4]);
    }
    for (size_t i = 0; i < len; ++i)
        if (dest[i] == '\\') dest[i] = '/';
    if (len > 0 && dest[len - 1] == '/') dest[--len] = 0;
    return len;
}

size_t nfs_path_to_windows(const char* source, char* dest, size_t dest_size) {
    if (!dest || dest_size == 0) return 0;
    // At most one byte is added, and only to a bare drive or server name.
    size_t len = take(source, dest, dest_size, 0);
    if (len == dest_size) {
        dest[0] = 0;
        return 0;
    }
    for (size_t i = 0; i < len; ++i)
        if (dest[i] == '/') dest[i] = '\\';
    bool append = false;
    if (len >= 2 && dest[0] == '\\' && is_letter(dest[1]) && (len == 2 || dest[2] == '\\')) {
        dest[0] = dest[1];
        dest[1] = ':';
        append = len == 2;
    } else if (len == 2 && is_letter(dest[0]) && dest[1] == ':') {
        append = true;
    } else if (len >= 4 && has_long_path_prefix(dest)) {
        append = std::strchr(dest + 4, '\\') == nullptr;
    } else if (len >= 2 && dest[0] == '\\' && dest[1] == '\\') {
        append = std::strchr(dest + 2, '\\') == nullptr;
    }
    if (append) {
        if (len + 1 >= dest_size) {
            dest[0] = 0;
            return 0;
        }
        dest[len++] = '\\';
        dest[len] = 0;
    }
    return len;
}

bool is_windows_root_path(const char* path) {
    if (!path) return false;
    const char* p = path;
    if (std::strlen(path) > 4 && has_long_path_prefix(path)) p += 4;
    const char* rest = nullptr;
    if (is_letter(p[0]) && p[1] == ':') {
        rest = p + 2;
    } else if (std::strlen(p) >= 8 && [&] {
                   const char* v = "volume{";
                   for (int i = 0; i < 7; ++i)
                       if (lower(p[i]) != v[i]) return false;
                   return true;
               }()) {
        const char* close = std::strchr(p + 7, '}');
        if (!close) return false;
        rest = close + 1;
    } else if (p[0] == '\\' && p[1] == '\\') {
        const char* q = p + 2;
        while (char_valid_in_name(uint8_t(*q))) ++q;
        if (q == p + 2) return false;
        rest = q;
    } else {
        return false;
    }
    return *rest == 0 || *rest == '\\';
}

size_t root_prefix_length(char* path, size_t path_size) {
    if (!path || path_size == 0) return 0;
    const size_t len = strnlen(path, path_size);
    if (len == path_size) return 0;
    size_t start = 0;
    bool unc = false;
    if (has_long_path_prefix(path)) {
        start = 4;
    } else if (path[0] == '\\' && path[1] == '\\') {
        start = 2;
        unc = true;
    }
    if (start >= len) return 0;
    if (is_letter(path[start]) && path[start + 1] == ':') path[start] = upper(path[start]);
    auto find_sep = [&](size_t from) {
        const char* s = static_cast<const char*>(std::memchr(path + from, '\\', len - from));
        return s ? size_t(s - path) : len;
    };
    size_t sep = find_sep(start);
    if (unc) {
        // Server and share together form the prefix; both must be there.
        if (sep == start || sep + 1 >= len) return 0;
        const size_t share = sep + 1;
        sep = find_sep(share);
        if (sep == share) return 0;
    }
    if (sep == len) {
        if (len + 1 >= path_size) return 0;
        path[len] = '\\';
        path[len + 1] = 0;
        return len + 1;
    }
    const size_t prefix = sep + 1;
    if (len > prefix && path[len - 1] == '\\') path[len - 1] = 0;
    return prefix;
}

bool has_long_path_prefix(const char* p) { return p[0] == '\\' && p[1] == '\\' && p[2] == '?' && p[3] == '\\'; }
