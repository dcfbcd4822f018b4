// Shared helpers of the name translation tests.
#pragma once
#include "quen/fs/names.h"

#include <string>

inline mount_context long_name_mount(uint32_t encoding = NAME_ENCODING_UTF8, uint32_t flags = 0) {
    mount_context m{};
    m.max_component_length = 255;
    m.flags = flags;
    m.name_encoding = encoding;
    return m;
}

struct to_windows_result {
    uint32_t status;
    std::string name;   // the appended name, or the whole path when nothing was appended
    std::string path;
};

// Translates name (its bytes exactly, NULs included) under the directory "C:\d".
inline to_windows_result to_windows(const mount_context& m, const std::string& name,
                                    const char* dir = "C:\\d") {
    char path[kNamePathSize];
    std::string d = dir;
    d.copy(path, d.size());
    path[d.size()] = 0;
    size_t pos = 0;
    to_windows_result r;
    r.status = nfs_name_to_windows(m, path, name.data(), name.size(), &pos);
    r.path = path;
    r.name = r.status == NAME_OK ? std::string(path + pos) : r.path;
    return r;
}

inline std::string to_nfs(const mount_context& m, const std::string& windows_name) {
    char out[kNameSize];
    size_t n = windows_name_to_nfs(m, windows_name.c_str(), out, sizeof out);
    return std::string(out, n);
}
