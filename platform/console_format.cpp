#include "platform/console.h"

#include <string>

void console_vprintf(FILE* stream, const char* format, va_list ap) {
    char small[1024];
    va_list again;
    va_copy(again, ap);
    const int n = std::vsnprintf(small, sizeof small, format, ap);
    if (n < 0) {
        va_end(again);
        return;
    }
    if (size_t(n) < sizeof small) {
        console_write(stream, small, size_t(n));
    } else {
        std::string text(size_t(n) + 1, '\0');
        std::vsnprintf(text.data(), text.size(), format, again);
        console_write(stream, text.data(), size_t(n));
    }
    va_end(again);
}

void console_printf(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    console_vprintf(stdout, format, ap);
    va_end(ap);
}
