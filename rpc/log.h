// The process's log: a level, a stream and the lock that concurrent writers
// hold. The RPC layer writes through it; each program decides where the
// stream goes (a monthly file, standard output, or standard error when off).
#pragma once
#include <cstdio>

#if defined(__GNUC__)
#define RPC_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define RPC_PRINTF(f, a)
#endif

// 0 off, 1 normal, 2 and above verbose.
extern int g_log_level;

// The stream (standard error until the program opens its log).
FILE* log_stream();
// Replaces the stream under the log lock, closing the previous one unless it
// is standard output or standard error.
void log_set_stream(FILE* stream);
bool log_stream_is_file();

void log_lock();
void log_unlock();
struct log_guard {
    log_guard() { log_lock(); }
    log_guard(const log_guard&) = delete;
    log_guard& operator=(const log_guard&) = delete;
    ~log_guard() { log_unlock(); }
};

// Fills the shared time-stamp buffer with the local time, "%Y-%m-%d %H:%M:%S",
// and returns it. Concurrent writers call it under the log lock.
const char* log_timestamp();

// Writes when the level is at least min_level (min_level 0: whenever a stream
// exists), under the log lock.
void log_printf(int min_level, const char* format, ...) RPC_PRINTF(2, 3);
// The same, prefixed by the time stamp and a space.
void log_event(int min_level, const char* format, ...) RPC_PRINTF(2, 3);
void log_flush();
