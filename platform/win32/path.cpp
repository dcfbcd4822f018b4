#include "platform/path.h"
#include "platform/path_common.h"

#include "platform/utf16.h"

#include <windows.h>

#include <cstring>
#include <string>

size_t path_from_setting(const char* text, char* out, size_t size) {
    return copy_path_out(text ? text : "", out, size);
}

FILE* path_fopen(const char* path, const char* mode) {
    std::u16string wpath, wmode;
    if (!utf8_to_utf16(path ? path : "", wpath) || !utf8_to_utf16(mode ? mode : "", wmode)) return nullptr;
    return _wfopen(reinterpret_cast<const wchar_t*>(wpath.c_str()), reinterpret_cast<const wchar_t*>(wmode.c_str()));
}

size_t program_directory(char* out, size_t size) {
    wchar_t buf[MAX_PATH * 2];
    const DWORD n = GetModuleFileNameW(nullptr, buf, DWORD(sizeof buf / sizeof buf[0]));
    std::string exe;
    if (n == 0 || n >= sizeof buf / sizeof buf[0] ||
        !utf16_to_utf8(std::u16string_view(reinterpret_cast<const char16_t*>(buf), n), exe))
        return copy_path_out("", out, size);
    return copy_path_out(exe.substr(0, exe.rfind('\\') + 1), out, size);
}
