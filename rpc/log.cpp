// Log output to standard error until the program installs its own log.
#include "rpc/log.h"

#include <cstdarg>
#include <cstdio>

int g_log_level = 1;

void log_printf(int min_level, const char* format, ...) {
    if (g_log_level < min_level) return;
    va_list ap;
    va_start(ap, format);
    std::vfprintf(stderr, format, ap);
    va_end(ap);
}
