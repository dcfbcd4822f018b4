// Processor faults caught around one call: an access violation, an in-page
// error of a mapped file, an integer division by zero or overflow, a
// misaligned or illegal instruction ends the call instead of the process.
// A stack overflow is never caught, and a fault outside every guard goes on
// to whatever handled it before (the crash, a debugger, a sanitizer).
//
// A fault jumps straight back to the guard and skips every destructor on
// the way, so locks must not outlive it: a critical section the guarded
// call enters through fault_section_enter is noted for the thread while it
// is held, and the guard leaves the ones taken inside it when a fault ends it.
#pragma once
#include "platform/thread.h"

#include <type_traits>

// Runs body(context). Result: true when a processor fault ended it. Guards
// nest; the innermost one catches.
bool fault_guard_run(void (*body)(void* context), void* context);

template <class F>
bool fault_guard(F&& body) {
    using callable = std::remove_reference_t<F>;
    return fault_guard_run([](void* c) { (*static_cast<callable*>(c))(); }, &body);
}

// crit_enter / crit_leave of a section that a fault inside a guard releases.
// Leaves go in the reverse order of the enters, as scopes make them.
void fault_section_enter(crit_section* cs);
void fault_section_leave(crit_section* cs);

// Holds a section for its scope, released by a fault as well.
struct fault_section_guard {
    crit_section* cs;
    explicit fault_section_guard(crit_section* c) : cs(c) { fault_section_enter(cs); }
    fault_section_guard(const fault_section_guard&) = delete;
    fault_section_guard& operator=(const fault_section_guard&) = delete;
    ~fault_section_guard() { fault_section_leave(cs); }
};
