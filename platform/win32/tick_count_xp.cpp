// The static threads runtime of the cross compiler calls GetTickCount64,
// which Windows XP lacks: a program importing it does not load there. This
// object stands in for the import itself (the runtime calls through
// __imp__GetTickCount64@0), so the program imports nothing newer than XP and
// uses the real function where Windows has it. Linked into every i686
// program as an object, so that it is there before the import library is
// searched.
#include <windows.h>

namespace {

using tick_count_64_fn = ULONGLONG(WINAPI*)();

// Milliseconds from the performance counter: 64 bits wide and monotonic, as
// GetTickCount64 is (GetTickCount's 32 bits wrap after 49.7 days).
ULONGLONG WINAPI counter_milliseconds() {
    LARGE_INTEGER frequency, now;
    if (!QueryPerformanceFrequency(&frequency) || frequency.QuadPart <= 0 || !QueryPerformanceCounter(&now))
        return GetTickCount();
    const ULONGLONG f = ULONGLONG(frequency.QuadPart), n = ULONGLONG(now.QuadPart);
    return n / f * 1000 + n % f * 1000 / f;
}

// Looked up once; racing first calls look it up twice, to the same result.
tick_count_64_fn volatile g_tick_count_64 = nullptr;

ULONGLONG WINAPI tick_count_64() {
    tick_count_64_fn f = g_tick_count_64;
    if (!f) {
        f = reinterpret_cast<tick_count_64_fn>(reinterpret_cast<void*>(
            GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetTickCount64")));
        if (!f) f = counter_milliseconds;
        g_tick_count_64 = f;
    }
    return f();
}

}  // namespace

extern "C" {
extern tick_count_64_fn const imported_tick_count_64 __asm__("__imp__GetTickCount64@0");
tick_count_64_fn const imported_tick_count_64 = tick_count_64;
}
