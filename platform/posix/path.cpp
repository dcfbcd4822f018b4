#include "platform/path.h"
#include "platform/path_common.h"
#include "platform/posix/drive_map.h"

#include <climits>
#include <cstring>
#include <string>
#include <unistd.h>

size_t path_from_setting(const char* text, char* out, size_t size) {
    std::string s = text ? text : "";
    if (!s.empty() && s.front() == '/') s = native_to_windows_path(s);
    return copy_path_out(s, out, size);
}

FILE* path_fopen(const char* path, const char* mode) {
    std::string native;
    if (!windows_to_native_path(path, native)) return nullptr;
    return std::fopen(native.c_str(), mode);
}

size_t program_directory(char* out, size_t size) {
    char buf[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return copy_path_out("", out, size);
    std::string exe(buf, size_t(n));
    const size_t slash = exe.rfind('/');
    return copy_path_out(native_to_windows_path(exe.substr(0, slash + 1)), out, size);
}
