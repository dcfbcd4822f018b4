#include "quen/control/control_names.h"

#include <cctype>
#include <cstring>

namespace {

bool reserved_device(const char* name) {
    // The device part ends at the first dot, blank or the end.
    size_t n = 0;
    while (name[n] && name[n] != '.' && name[n] != ' ') ++n;
    char base[5] = {};
    if (n < 3 || n > 4) return false;
    for (size_t i = 0; i < n; ++i) base[i] = char(std::toupper(static_cast<unsigned char>(name[i])));
    if (n == 3) return !std::strcmp(base, "CON") || !std::strcmp(base, "PRN") || !std::strcmp(base, "AUX") ||
                       !std::strcmp(base, "NUL");
    return (!std::strncmp(base, "COM", 3) || !std::strncmp(base, "LPT", 3)) && base[3] >= '1' && base[3] <= '9';
}

}  // namespace

bool control_name_acceptable(const char* name) {
    if (!name[0]) return false;
    for (const char* p = name; *p; ++p)
        if (*p == '/' || *p == '\\' || *p == ':' || static_cast<unsigned char>(*p) < 32) return false;
    if (std::strstr(name, "..")) return false;   // also "." chains that Windows trims to ".."
    // Windows drops trailing dots and blanks, so "exports." would name "exports".
    const char last = name[std::strlen(name) - 1];
    if (last == '.' || last == ' ') return false;
    return !reserved_device(name);
}

bool control_log_name(const char* name) {
    const size_t n = std::strlen(name);
    if (n < 8) return false;
    auto same = [](const char* a, const char* b, size_t len) {
        for (size_t i = 0; i < len; ++i)
            if (std::tolower(static_cast<unsigned char>(a[i])) != b[i]) return false;
        return true;
    };
    return same(name, "quen", 4) && same(name + n - 4, ".log", 4);
}
