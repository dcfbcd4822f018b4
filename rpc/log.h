// Log output of the RPC layer. A line is written when the log level is at
// least `min_level`; min_level 0 writes whenever logging is on at all.
#pragma once

#if defined(__GNUC__)
#define RPC_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define RPC_PRINTF(f, a)
#endif

extern int g_log_level;
void log_printf(int min_level, const char* format, ...) RPC_PRINTF(2, 3);
