// The signals a service and a console take: SIGTERM is the service's STOP
// control, SIGINT/SIGQUIT the console's Ctrl+C/Ctrl+Break. One thread waits
// for them with sigwait, so handlers run as ordinary code, never in signal
// context.
#pragma once
#include <csignal>
#include <cstdint>

// SIGTERM, SIGINT and SIGQUIT.
sigset_t watched_signals();
// Blocks the three signals in the calling thread (threads started later
// inherit that) and starts the thread that waits for them, once.
bool watch_signals();
// Handlers the waiting thread calls; without one a signal takes its default
// action. A console handler that returns false also lets it.
void set_control_handler(void (*handler)(uint32_t control));
void set_console_handler(bool (*handler)(uint32_t event));
