#include "quen/mount/mount_path.h"

#include "platform/file.h"

#include <cstring>

namespace {

bool is_component_end(const char* p) { return *p == 0 || *p == '/'; }

char fold(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

// Whether inner is outer itself or a path below it (Windows names ignore
// the case of ASCII letters).
bool within(const std::string& outer, const std::string& inner) {
    if (inner.size() < outer.size()) return false;
    for (size_t i = 0; i < outer.size(); ++i)
        if (fold(inner[i]) != fold(outer[i])) return false;
    return inner.size() == outer.size() || outer.back() == '\\' || inner[outer.size()] == '\\';
}

// The path the system resolves the folder to; empty when it cannot say.
std::string resolved(const std::string& path) {
    file_handle h(wp_create_file(path.c_str(), WP_FILE_READ_ATTRIBUTES, WP_FILE_SHARE_ALL, WP_OPEN_EXISTING,
                                 WP_FILE_FLAG_BACKUP_SEMANTICS));
    char out[4096];
    if (!h.valid() || wp_get_final_path_name_by_handle(h.get(), out, sizeof out, 0) == 0) return {};
    return out;
}

}  // namespace

std::string mount_path_canonical(const char* p) {
    std::string out;
    for (int lead = 0; lead < 2 && p[0] == '/'; ++lead, ++p) out.push_back('/');
    while (*p == '/') ++p;
    while (*p) {
        if (p[0] == '.' && is_component_end(p + 1)) {
            ++p;
        } else {
            if (!out.empty() && out.back() != '/') out.push_back('/');
            while (!is_component_end(p)) out.push_back(*p++);
        }
        while (*p == '/') ++p;
    }
    if (out.empty()) out.push_back('/');
    return out;
}

bool mount_path_inside_export(const export_entry& exp, const std::string& windows_path) {
    const std::string& folder = exp.folder;
    if (windows_path.compare(0, folder.size(), folder) != 0) return false;
    std::string walked = folder;
    for (size_t at = folder.size(); at < windows_path.size();) {
        size_t end = windows_path.find('\\', at);
        if (end == std::string::npos) end = windows_path.size();
        if (end > at) {
            if (!walked.empty() && walked.back() != '\\') walked += '\\';
            walked.append(windows_path, at, end - at);
            const uint32_t attributes = wp_get_file_attributes(walked.c_str());
            if (attributes == WP_INVALID_FILE_ATTRIBUTES) return true;   // missing: the mount fails on it
            if (attributes & WP_FILE_ATTRIBUTE_REPARSE_POINT) return false;
        }
        at = end + 1;
    }
    const std::string outer = resolved(folder), inner = resolved(windows_path);
    return outer.empty() || inner.empty() || within(outer, inner);
}
