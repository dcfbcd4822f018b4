// Windows-form paths to POSIX ones, finding each entry whatever its case.
#include "platform/posix/drive_map.h"
#include "platform/posix/volume.h"
#include "platform/win_error.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>

namespace {

constexpr size_t kMaxWidePath = 2048;
constexpr size_t kMaxComponent = 255;

bool is_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

bool valid_name_char(unsigned char c, bool pattern) {
    if (c < 32) return false;
    switch (c) {
    case '"': case '*': case '<': case '>': case '?': return pattern;
    case ':': case '|': case '/': return false;
    default: return true;
    }
}

// Win32 drops trailing dots and spaces of each component of a normal path.
void strip_trailing_dots_and_spaces(std::string& s) {
    while (!s.empty() && (s.back() == '.' || s.back() == ' ')) s.pop_back();
}

}  // namespace

std::string volume_path::native_parent() const {
    const size_t slash = native.find_last_of('/');
    if (slash == std::string::npos || slash == 0) return "/";
    return native.substr(0, slash);
}

std::string volume_path::windows() const {
    std::string w = drive + "\\";
    for (size_t i = 0; i < components.size(); ++i) {
        if (i) w += '\\';
        w += components[i];
    }
    return w;
}

bool find_entry(const std::string& dir, const std::string& name, std::string& found, struct stat* st) {
    std::string exact = dir;
    if (exact.empty() || exact.back() != '/') exact += '/';
    struct stat local;
    struct stat* s = st ? st : &local;
    if (::lstat((exact + name).c_str(), s) == 0) {
        found = name;
        return true;
    }
    const std::string native_dir = dir.empty() ? "/" : dir;
    struct stat dir_st;
    const bool dir_known = ::stat(native_dir.c_str(), &dir_st) == 0;
    std::string best;
    const int indexed = dir_known ? indexed_entry(dir_st, name, best) : -1;
    if (indexed == 0) return false;
    if (indexed < 0) {
        DIR* d = ::opendir(native_dir.c_str());
        if (!d) return false;
        const std::u32string wanted = upcased_name(name);
        // Two Linux names may differ only in case: take the first in byte order, so the choice is stable.
        bool any = false;
        size_t entries = 0;
        while (dirent* e = ::readdir(d)) {
            const char* n = e->d_name;
            if (std::strcmp(n, ".") == 0 || std::strcmp(n, "..") == 0) continue;
            ++entries;
            if (upcased_name(n) == wanted && (!any || best > n)) {
                best = n;
                any = true;
            }
        }
        ::closedir(d);
        if (dir_known && entries >= kIndexedDirectorySize) index_directory(native_dir, dir_st);
        if (!any) return false;
    }
    if (::lstat((exact + best).c_str(), s) != 0) return false;
    found = best;
    return true;
}

uint32_t resolve_path(const char* path, volume_path& out, uint32_t flags) {
    out = volume_path{};
    std::u32string check;
    // A path that would not convert to UTF-16 (malformed or too long) is passed on
    // empty, and an empty path is not found.
    if (!path || !*path || !decode_utf8(path, check) || utf16_length(path) > kMaxWidePath)
        return WIN_ERROR_PATH_NOT_FOUND;
    std::string p = path;
    bool raw = false;
    if (p.compare(0, 4, "\\\\?\\") == 0) {
        raw = true;
        p.erase(0, 4);
    } else {
        for (char& c : p)
            if (c == '/') c = '\\';
    }
    if (p.size() >= 2 && p[0] == '\\' && p[1] == '\\') return WIN_ERROR_BAD_NETPATH;  // no UNC paths here
    if (p.size() < 2 || !is_letter(p[0]) || p[1] != ':' || (p.size() > 2 && p[2] != '\\'))
        return WIN_ERROR_PATH_NOT_FOUND;
    out.drive = std::string(1, char(p[0] & ~0x20)) + ":";
    if (!windows_to_native_path((out.drive + "\\").c_str(), out.native_root)) return WIN_ERROR_PATH_NOT_FOUND;
    if (out.native_root.empty() || out.native_root.back() != '/') out.native_root += '/';

    // Split into components.
    std::vector<std::string> parts;
    size_t i = 2;
    while (i < p.size()) {
        while (i < p.size() && p[i] == '\\') ++i;
        if (i >= p.size()) break;
        const size_t end = p.find('\\', i);
        std::string c = p.substr(i, end == std::string::npos ? std::string::npos : end - i);
        i = end == std::string::npos ? p.size() : end;
        const bool last = i >= p.size() || p.find_first_not_of('\\', i) == std::string::npos;
        const bool pattern = last && (flags & RESOLVE_PATTERN);
        if (!raw && !pattern) {
            if (c == ".") continue;
            if (c == "..") {
                if (!parts.empty()) parts.pop_back();
                continue;
            }
            strip_trailing_dots_and_spaces(c);
            if (c.empty()) continue;
        } else if (c == "." || c == "..") {
            if (!pattern) return WIN_ERROR_INVALID_NAME;
        }
        for (unsigned char ch : c)
            if (!valid_name_char(ch, pattern)) return WIN_ERROR_INVALID_NAME;
        if (utf16_length(c) > kMaxComponent) return WIN_ERROR_INVALID_NAME;
        parts.push_back(std::move(c));
    }

    if (!parts.empty()) out.requested_name = parts.back();
    // The exact spelling costs one lstat when it exists.
    std::string native = out.native_root;
    for (size_t k = 0; k < parts.size(); ++k) {
        if (k) native += '/';
        native += parts[k];
    }
    if (parts.empty()) {
        out.native = out.native_root.size() > 1 ? out.native_root.substr(0, out.native_root.size() - 1) : "/";
        if (::lstat(out.native.c_str(), &out.st) != 0) return WIN_ERROR_PATH_NOT_FOUND;
        out.exists = true;
        return WIN_ERROR_SUCCESS;
    }
    const bool pattern_last = flags & RESOLVE_PATTERN;
    if (!pattern_last && ::lstat(native.c_str(), &out.st) == 0) {
        out.components = std::move(parts);
        out.native = std::move(native);
        out.exists = true;
        return WIN_ERROR_SUCCESS;
    }
    if (!pattern_last && errno != ENOENT && errno != ENOTDIR) return file_errno_to_win32(errno);

    // Walk the components, scanning a directory wherever the spelling differs.
    std::string dir = out.native_root.size() > 1 ? out.native_root.substr(0, out.native_root.size() - 1) : "";
    for (size_t k = 0; k < parts.size(); ++k) {
        const bool last = k + 1 == parts.size();
        if (last && pattern_last) {
            out.components.push_back(parts[k]);
            out.native = dir + "/" + parts[k];
            return WIN_ERROR_SUCCESS;
        }
        std::string found;
        struct stat st;
        if (!find_entry(dir.empty() ? "/" : dir, parts[k], found, &st)) {
            if (!last) return WIN_ERROR_PATH_NOT_FOUND;
            out.components.push_back(parts[k]);
            out.native = dir + "/" + parts[k];
            return WIN_ERROR_SUCCESS;
        }
        out.components.push_back(found);
        dir += "/" + found;
        if (last) {
            out.native = dir;
            out.st = st;
            out.exists = true;
            return WIN_ERROR_SUCCESS;
        }
        // Intermediate components are followed, as Windows follows links and junctions.
        struct stat followed;
        if (::stat(dir.c_str(), &followed) != 0 || !S_ISDIR(followed.st_mode)) return WIN_ERROR_PATH_NOT_FOUND;
    }
    return WIN_ERROR_PATH_NOT_FOUND;
}
