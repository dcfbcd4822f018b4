// Win32 threads, critical sections, events, tick count and power state.
#include "platform/thread.h"

#include <windows.h>
#include <process.h>

#include <new>

namespace {

struct thread_start_args {
    void (*fn)(void*);
    void* arg;
};

// _beginthreadex rather than CreateThread: the C runtime sets up its
// per-thread state for threads it starts itself.
unsigned __stdcall thread_trampoline(void* p) {
    thread_start_args a = *static_cast<thread_start_args*>(p);
    delete static_cast<thread_start_args*>(p);
    a.fn(a.arg);
    return 0;
}

CRITICAL_SECTION* section_of(crit_section* cs) { return reinterpret_cast<CRITICAL_SECTION*>(cs->opaque); }
static_assert(sizeof(CRITICAL_SECTION) <= sizeof(crit_section::opaque));
static_assert(alignof(CRITICAL_SECTION) <= alignof(crit_section));

HANDLE handle_of(plat_event* e) { return reinterpret_cast<HANDLE>(e); }

// Address space each thread reserves for its stack (the program's default is
// 2 MiB): a 32-bit process serving a thousand connections with two threads
// each would otherwise run out of address space in stacks alone.
constexpr unsigned kStackReserve = 512 * 1024;

DWORD wait_ms(int timeout_ms) { return timeout_ms < 0 ? INFINITE : static_cast<DWORD>(timeout_ms); }

}  // namespace

bool thread_start(void (*fn)(void*), void* arg) {
    auto* a = new (std::nothrow) thread_start_args{fn, arg};
    if (!a) return false;
    uintptr_t h = _beginthreadex(nullptr, kStackReserve, thread_trampoline, a, STACK_SIZE_PARAM_IS_A_RESERVATION,
                                 nullptr);
    if (h == 0) {
        delete a;
        return false;
    }
    CloseHandle(reinterpret_cast<HANDLE>(h));   // detached: nobody joins it
    return true;
}

void crit_init(crit_section* cs, uint32_t spin_count) {
    // Cannot fail from Windows Vista on; before that only under memory
    // pressure, which the critical section then reports when first entered.
    InitializeCriticalSectionAndSpinCount(section_of(cs), spin_count);
}
void crit_enter(crit_section* cs) { EnterCriticalSection(section_of(cs)); }
void crit_leave(crit_section* cs) { LeaveCriticalSection(section_of(cs)); }
void crit_delete(crit_section* cs) { DeleteCriticalSection(section_of(cs)); }

// A plat_event is the event handle itself.
plat_event* event_create(bool manual_reset, bool initially_set) {
    HANDLE h = CreateEventW(nullptr, manual_reset ? TRUE : FALSE, initially_set ? TRUE : FALSE, nullptr);
    return reinterpret_cast<plat_event*>(h);
}
void event_set(plat_event* e) { SetEvent(handle_of(e)); }
void event_reset(plat_event* e) { ResetEvent(handle_of(e)); }
bool event_wait(plat_event* e, int timeout_ms) {
    return WaitForSingleObject(handle_of(e), wait_ms(timeout_ms)) == WAIT_OBJECT_0;
}
void event_close(plat_event* e) {
    if (e) CloseHandle(handle_of(e));
}

uint32_t tick_count_ms() { return GetTickCount(); }
uint64_t tick_count_us() {
    // The counter's rate is fixed at boot; asked once.
    static const int64_t rate = [] {
        LARGE_INTEGER f;
        return QueryPerformanceFrequency(&f) && f.QuadPart > 0 ? f.QuadPart : int64_t(1000);
    }();
    LARGE_INTEGER now;
    if (!QueryPerformanceCounter(&now)) return uint64_t(GetTickCount()) * 1000u;
    const uint64_t t = uint64_t(now.QuadPart);
    return t / uint64_t(rate) * 1000000u + t % uint64_t(rate) * 1000000u / uint64_t(rate);
}
void sleep_ms(uint32_t ms) { Sleep(ms); }   // Sleep(0) gives up the rest of the time slice

void set_thread_execution_state(uint32_t flags) { SetThreadExecutionState(static_cast<EXECUTION_STATE>(flags)); }
