// Threads, critical sections, events, time and power state.
#pragma once
#include <cstdint>

// Starts a detached thread running fn(arg). Result: started.
bool thread_start(void (*fn)(void*), void* arg);

struct crit_section {
    alignas(16) unsigned char opaque[64];
};
void crit_init(crit_section* cs, uint32_t spin_count = 0);   // spin count where the OS has one
void crit_enter(crit_section* cs);
void crit_leave(crit_section* cs);
void crit_delete(crit_section* cs);

struct crit_guard {
    crit_section* cs;
    explicit crit_guard(crit_section* c) : cs(c) { crit_enter(cs); }
    crit_guard(const crit_guard&) = delete;
    crit_guard& operator=(const crit_guard&) = delete;
    ~crit_guard() { crit_leave(cs); }
};

struct plat_event;   // an event object
plat_event* event_create(bool manual_reset, bool initially_set);
void event_set(plat_event* e);
void event_reset(plat_event* e);
bool event_wait(plat_event* e, int timeout_ms);   // signalled; timeout_ms < 0: no limit
void event_close(plat_event* e);

uint32_t tick_count_ms();   // milliseconds since an arbitrary start, wraps
uint64_t tick_count_us();   // microseconds since an arbitrary start, for measuring short work
void sleep_ms(uint32_t ms);  // 0 yields the processor

// SetThreadExecutionState flags; a no-op where the OS has no such state.
enum : uint32_t {
    EXEC_STATE_SYSTEM_REQUIRED = 0x00000001,
    EXEC_STATE_CONTINUOUS = 0x80000000,
};
void set_thread_execution_state(uint32_t flags);
