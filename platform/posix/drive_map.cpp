#include "platform/posix/drive_map.h"

#include "platform/registry.h"

#include <cstring>

namespace {

constexpr const char* kDrivesKey = "Software\\Tervalo\\Drives";

bool is_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// The folder a drive letter stands for, without a trailing slash ("" for "/").
bool drive_folder(char letter, std::string& folder) {
    letter = char(letter & ~0x20);
    if (letter == 'Z') {
        folder.clear();
        return true;
    }
    const char name[2] = {letter, 0};
    char buf[4096];
    uint32_t type = 0, size = sizeof buf;
    if (reg_query_value(REG_LOCAL_MACHINE, kDrivesKey, name, &type, buf, &size) != 0 || type != REG_VALUE_SZ ||
        size == 0 || buf[0] != '/')
        return false;
    folder.assign(buf, strnlen(buf, size));
    while (!folder.empty() && folder.back() == '/') folder.pop_back();
    return true;
}

}  // namespace

bool windows_to_native_path(const char* path, std::string& native) {
    native.clear();
    if (!path) return false;
    if (std::strncmp(path, "\\\\?\\", 4) == 0) path += 4;
    if (!is_letter(path[0]) || path[1] != ':' || (path[2] != 0 && path[2] != '\\')) return false;
    if (!drive_folder(path[0], native)) return false;
    const char* rest = path + 2;
    if (*rest == 0) rest = "\\";
    for (; *rest; ++rest) native.push_back(*rest == '\\' ? '/' : *rest);
    return true;
}

std::string native_to_windows_path(const std::string& native) {
    std::string out = "Z:";
    for (char c : native) out.push_back(c == '/' ? '\\' : c);
    if (out.size() == 2) out.push_back('\\');
    return out;
}
