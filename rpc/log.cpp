#include "rpc/log.h"

#include "platform/console.h"
#include "platform/fault_guard.h"
#include "platform/thread.h"

#include <cstdarg>
#include <ctime>

int g_log_level = 1;

namespace {

// The lock must work before any program start-up code runs, so it is made on
// first use rather than by a constructor whose order is unknown.
crit_section* lock_object() {
    static crit_section cs;
    static const bool ready = (crit_init(&cs), true);
    (void)ready;
    return &cs;
}

FILE* g_stream = nullptr;   // null: standard error
char g_stamp[31];

bool is_standard(FILE* f) { return f == nullptr || f == stdout || f == stderr; }

}  // namespace

void log_lock() { fault_section_enter(lock_object()); }
void log_unlock() { fault_section_leave(lock_object()); }

FILE* log_stream() { return g_stream ? g_stream : stderr; }

bool log_stream_is_file() { return !is_standard(g_stream); }

void log_set_stream(FILE* stream) {
    log_guard hold;
    if (g_stream != stream && !is_standard(g_stream)) std::fclose(g_stream);
    g_stream = stream == stderr ? nullptr : stream;
}

const char* log_timestamp() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (const std::tm* t = std::localtime(&now)) local = *t;
    if (std::strftime(g_stamp, sizeof g_stamp, "%Y-%m-%d %H:%M:%S", &local) == 0) g_stamp[0] = 0;
    return g_stamp;
}

namespace {

// Console output is read as it happens (often through a pipe, where the C
// library would hold it back); the log file is flushed at its own points.
void flush_if_console() {
    if (!log_stream_is_file()) std::fflush(log_stream());
}

// The console shows the UTF-8 text in its own way; the file keeps the bytes.
void write_formatted(FILE* out, const char* format, va_list ap) {
    if (log_stream_is_file()) std::vfprintf(out, format, ap);
    else console_vprintf(out, format, ap);
}

}  // namespace

void log_printf(int min_level, const char* format, ...) {
    if (g_log_level < min_level) return;
    log_guard hold;
    va_list ap;
    va_start(ap, format);
    write_formatted(log_stream(), format, ap);
    va_end(ap);
    flush_if_console();
}

void log_event(int min_level, const char* format, ...) {
    if (g_log_level < min_level) return;
    log_guard hold;
    FILE* out = log_stream();
    std::fputs(log_timestamp(), out);
    std::fputc(' ', out);
    va_list ap;
    va_start(ap, format);
    write_formatted(out, format, ap);
    va_end(ap);
    flush_if_console();
}

void log_flush() {
    log_guard hold;
    std::fflush(log_stream());
}
