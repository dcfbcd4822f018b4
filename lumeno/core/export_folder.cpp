#include "lumeno/core/export_folder.h"

#include "lumeno/core/export_options.h"

#include <cctype>
#include <cstring>

namespace {

constexpr size_t kPrefixLength = 4;   // "\\?\"
constexpr size_t kShortFolder = 2047;

bool has_prefix(const std::string& f) { return f.compare(0, kPrefixLength, "\\\\?\\") == 0; }

bool server_char(unsigned char c) {
    return c >= 0x20 && c != 0x7F && !std::strchr("\"*/:<>?\\|", c);
}

// The length of the volume part after the prefix (drive, Volume{...} or
// \\server), 0 when the folder has none of the forms.
size_t volume_end(const std::string& f, size_t at) {
    if (f.size() >= at + 2 && std::isalpha(static_cast<unsigned char>(f[at])) && f[at + 1] == ':') return at + 2;
    static const char kVolume[] = "volume{";
    if (f.size() > at + 7) {
        bool is_volume = true;
        for (size_t i = 0; i < 7 && is_volume; ++i)
            is_volume = std::tolower(static_cast<unsigned char>(f[at + i])) == kVolume[i];
        if (is_volume) {
            const size_t close = f.find('}', at + 7);
            return close == std::string::npos ? 0 : close + 1;
        }
    }
    if (f.compare(at, 2, "\\\\") == 0) {
        size_t end = at + 2;
        while (end < f.size() && server_char(static_cast<unsigned char>(f[end]))) ++end;
        return end > at + 2 ? end : 0;
    }
    return 0;
}

size_t checked_volume_end(const std::string& f) {
    const size_t end = volume_end(f, has_prefix(f) ? kPrefixLength : 0);
    if (end == 0 || (end < f.size() && f[end] != '\\')) return 0;
    return end;
}

}  // namespace

bool export_folder_syntax_ok(const std::string& folder) { return checked_volume_end(folder) != 0; }

std::string export_folder_normalise(const std::string& folder) {
    const size_t end = checked_volume_end(folder);
    if (end == 0) return folder;
    std::string f = folder;
    const size_t at = has_prefix(f) ? kPrefixLength : 0;
    size_t root;   // the root's length without its final backslash
    if (f[at + 1] == ':') {
        f[at] = char(std::toupper(static_cast<unsigned char>(f[at])));
        root = end;
    } else if (f.compare(at, 2, "\\\\") == 0) {
        // The share name ends the root; without one the path stays as it is.
        if (end + 1 >= f.size()) return f;
        const size_t share_end = f.find('\\', end + 1);
        root = share_end == std::string::npos ? f.size() : share_end;
        if (root == end + 1) return f;
    } else {
        root = end;
    }
    if (f.size() == root) f += '\\';
    else if (f.size() > root + 1 && f.back() == '\\') f.pop_back();
    return f;
}

std::string export_folder_with_unc(const std::string& folder, const panel_local_files& local) {
    std::string f = folder;
    if (f.size() < kShortFolder && (f.empty() || f.back() != '\\')) f += '\\';
    std::string unc;
    if (local.attributes(f.c_str()) != kPanelNoFile && local.on_remote_drive(f.c_str()) &&
        local.universal_name(f.c_str(), &unc) && !unc.empty())
        f = unc;
    return f;
}

int export_server_attributes(control_client& c, const std::string& path, uint32_t* attributes) {
    if (path.size() + 1 > kControlDataMax) return 0;
    uint8_t value[4] = {};
    const int rc = control_request_result(c, CTL_GET_FILE_ATTRIBUTES, uint32_t(path.size() + 1), path.c_str(), 4,
                                          value, sizeof value);
    if (rc > 0) *attributes = control_get32(value);
    return rc;
}

export_save_verdict export_save_check(control_client& c, const panel_local_files& local, std::string* options,
                                      std::string* folder) {
    switch (export_options_check(*options)) {
    case EXPORT_OPTIONS_NO_ARGUMENT: return EXPORT_SAVE_NO_ARGUMENT;
    case EXPORT_OPTIONS_UNKNOWN: return EXPORT_SAVE_STAY;
    case EXPORT_OPTIONS_OK: break;
    }
    while (!folder->empty() && std::isspace(static_cast<unsigned char>(folder->back()))) folder->pop_back();
    if (folder->empty() || !export_folder_syntax_ok(*folder)) return EXPORT_SAVE_STAY;
    *folder = export_folder_normalise(*folder);
    uint32_t attributes = kPanelNoFile;
    const int rc = export_server_attributes(c, *folder, &attributes);
    if (rc < 0) return EXPORT_SAVE_PIPE;
    if (rc == 0) return EXPORT_SAVE_STAY;
    if (attributes != kPanelNoFile) return (attributes & kPanelDirectoryAttribute) ? EXPORT_SAVE_GO : EXPORT_SAVE_STAY;
    const uint32_t mine = local.attributes(folder->c_str());
    if (mine != kPanelNoFile && !(mine & kPanelDirectoryAttribute)) return EXPORT_SAVE_STAY;
    if (mine != kPanelNoFile && local.on_remote_drive(folder->c_str())) return EXPORT_SAVE_NOT_UNC;
    return EXPORT_SAVE_ASK;
}
