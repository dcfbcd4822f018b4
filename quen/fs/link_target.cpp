#include "quen/fs/link_target.h"

#include "quen/fs/attr.h"
#include "quen/fs/names.h"
#include "quen/fs/nfs_status.h"
#include "quen/fs/resolve.h"
#include "quen/inode/paths.h"

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

bool is_dot_component(std::string_view c) { return c == "." || c == ".."; }

std::vector<std::string_view> split(std::string_view s, char separator) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    while (start <= s.size()) {
        const size_t end = std::min(s.find(separator, start), s.size());
        parts.push_back(s.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

bool put(std::string& out, std::string_view s) {
    if (out.size() + s.size() >= kLinkTargetSize) return false;
    out.append(s);
    return true;
}

}  // namespace

bool is_absolute_windows_target(const char* t) {
    const bool drive = ((t[0] >= 'A' && t[0] <= 'Z') || (t[0] >= 'a' && t[0] <= 'z')) && t[1] == ':';
    return drive || (t[0] == '\\' && t[1] == '\\');
}

uint32_t link_target_to_windows(const mount_context& ctx, const char* target, size_t length, char* out) {
    std::string_view t(target, length);
    std::string result;
    size_t first = 0;
    if (!t.empty() && t[0] == '/') {
        // The volume: "/c" or "//server/share", which the slash form maps.
        const bool unc = t.size() > 1 && t[1] == '/';
        size_t end = t.find('/', unc ? 2 : 1);
        if (unc && end != std::string_view::npos) end = t.find('/', end + 1);
        if (end == std::string_view::npos) end = t.size();
        const std::string root(t.substr(0, end));
        char windows[kNamePathSize];
        if (nfs_path_to_windows(root.c_str(), windows, sizeof windows) == 0) return NFSERR_NAMETOOLONG;
        result = windows;
        if (!result.empty() && result.back() == '\\') result.pop_back();
        first = end + 1;
        if (end >= t.size()) {
            result += '\\';
            first = t.size() + 1;
        }
    }
    bool leading = result.empty();
    if (first <= t.size()) {
        for (std::string_view c : split(t.substr(first), '/')) {
            if (c.empty()) continue;
            if (!leading && !put(result, "\\")) return NFSERR_NAMETOOLONG;
            leading = false;
            if (is_dot_component(c)) {
                if (!put(result, c)) return NFSERR_NAMETOOLONG;
                continue;
            }
            char one[kNamePathSize] = "";
            size_t pos = 0;
            if (uint32_t status = nfs_name_to_windows(ctx, one, c.data(), c.size(), &pos)) return status;
            if (!put(result, one + pos)) return NFSERR_NAMETOOLONG;
        }
    }
    if (result.empty()) return NFSERR_INVAL;
    std::memcpy(out, result.c_str(), result.size() + 1);
    return NFS_OK;
}

bool link_target_to_client(const mount_context& ctx, char* target, size_t size) {
    char slashed[kNamePathSize];
    if (is_absolute_windows_target(target)) {
        if (windows_path_to_nfs(target, slashed, sizeof slashed) == 0) return false;
    } else {
        if (std::strlen(target) >= sizeof slashed) return false;
        std::strcpy(slashed, target);
        for (char* p = slashed; *p; ++p)
            if (*p == '\\') *p = '/';
    }
    std::string result;
    bool leading = true;
    for (std::string_view c : split(slashed, '/')) {
        if (!leading) result += '/';
        leading = false;
        if (c.empty() || is_dot_component(c)) {
            result.append(c);
            continue;
        }
        char name[kNameSize];
        const std::string windows(c);
        if (windows.size() >= sizeof name || windows_name_to_nfs(ctx, windows.c_str(), name, sizeof name) == 0)
            return false;
        result += name;
    }
    if (result.size() >= size) return false;
    std::memcpy(target, result.c_str(), result.size() + 1);
    return true;
}

bool link_destination(const char* link_path, const char* windows_target, char* out) {
    std::string full;
    if (is_absolute_windows_target(windows_target)) {
        full = windows_target;
    } else {
        full = link_path;
        full.resize(full.rfind('\\') + 1);
        full += windows_target;
    }
    char normal[kLinkTargetSize];
    if (full.size() >= sizeof normal) return false;
    std::memcpy(normal, full.c_str(), full.size() + 1);
    const size_t prefix = root_prefix_length(normal, sizeof normal);
    if (prefix == 0) return false;
    std::vector<std::string_view> kept;
    for (std::string_view c : split(std::string_view(normal + prefix), '\\')) {
        if (c.empty() || c == ".") continue;
        if (c == "..") {
            if (kept.empty()) return false;
            kept.pop_back();
            continue;
        }
        kept.push_back(c);
    }
    std::string result(normal, prefix);
    for (size_t i = 0; i < kept.size(); ++i) {
        if (i) result += '\\';
        result.append(kept[i]);
    }
    if (result.size() >= kLinkTargetSize) return false;
    std::memcpy(out, result.c_str(), result.size() + 1);
    return true;
}

bool link_leads_out_when_moved(const mount_context& ctx, const char* from_path, const char* to_path) {
    char target[kLinkTargetSize], was[kLinkTargetSize], will[kLinkTargetSize];
    const int kind = classify_reparse_point(from_path, target, sizeof target, true).kind;
    if (kind != REPARSE_JUNCTION && kind != REPARSE_ABSOLUTE_LINK && kind != REPARSE_RELATIVE_LINK) return false;
    const bool inside = link_destination(from_path, target, was) && path_inside_mount(ctx, was, false);
    return inside && !(link_destination(to_path, target, will) && path_inside_mount(ctx, will, false));
}
