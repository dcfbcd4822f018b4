#include "quen/log/log_file.h"

#include "platform/path.h"
#include "rpc/log.h"

#include <cstdio>
#include <cstring>

namespace {

// The last digit of the month of the open file; 0 when none is open.
char g_month_mark = 0;

}  // namespace

void log_file_name(std::time_t when, char* out, unsigned size) {
    std::tm local{};
    if (const std::tm* t = std::localtime(&when)) local = *t;
    if (size == 0 || std::strftime(out, size, "quen%y%m.log", &local) == 0) {
        if (size) out[0] = 0;
    }
}

void log_open(const char* log_dir, int configured, std::time_t now) {
    if (g_log_level >= 2) {   // raised by -debug: the console gets everything
        log_set_stream(stdout);
        return;
    }
    g_log_level = configured;
    if (g_log_level == 0) {
        log_set_stream(stderr);
        g_month_mark = 0;
        return;
    }
    char name[32];
    log_file_name(now, name, sizeof name);
    const char mark = name[0] ? name[std::strlen(name) - 5] : 0;
    if (log_stream_is_file() && mark == g_month_mark) return;
    const size_t dir_len = log_dir ? std::strlen(log_dir) : 0;
    if (dir_len + std::strlen(name) >= 1024) {
        if (!log_stream_is_file()) g_log_level = 0;
        return;
    }
    char path[1024];
    std::snprintf(path, sizeof path, "%s%s", log_dir ? log_dir : "", name);
    g_month_mark = mark;
    log_set_stream(nullptr);
    FILE* f = path_fopen(path, "a+");
    if (!f) {
        g_log_level = 0;
        g_month_mark = 0;
        log_set_stream(stderr);
        return;
    }
    log_set_stream(f);
}

void log_close_file() {
    if (log_stream_is_file()) {
        log_set_stream(stderr);
        g_month_mark = 0;
    }
}
