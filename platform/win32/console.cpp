#include "platform/console.h"

#include "platform/utf16.h"

#include <io.h>
#include <windows.h>

#include <string_view>

void console_write(FILE* stream, const char* text, size_t length) {
    const intptr_t os_handle = _get_osfhandle(_fileno(stream));
    HANDLE h = reinterpret_cast<HANDLE>(os_handle);
    DWORD mode = 0;
    std::u16string wide;
    if (os_handle == -1 || !GetConsoleMode(h, &mode) || !utf8_to_utf16(std::string_view(text, length), wide)) {
        std::fwrite(text, 1, length, stream);
        return;
    }
    // What the C library holds must come out first.
    std::fflush(stream);
    const wchar_t* at = reinterpret_cast<const wchar_t*>(wide.data());
    size_t left = wide.size();
    while (left > 0) {
        DWORD written = 0;
        const DWORD chunk = left > 8192 ? 8192 : DWORD(left);
        if (!WriteConsoleW(h, at, chunk, &written, nullptr) || written == 0) return;
        at += written;
        left -= written;
    }
}
