// Processor faults caught by a guard: the thread goes on, nested guards
// catch their own, and a fault outside every guard still ends the process.
// (The sections a fault releases: tests/mount/guarded_ops_test.cpp.)
#include "platform/fault_guard.h"

#include <gtest/gtest.h>

namespace {

// Volatile: the compiler cannot see the fault coming and fold it away.
// Not checked by UBSan, which would end the program first.
int* volatile g_null = nullptr;
volatile int g_zero = 0;
volatile int g_quotient = 0;   // a result the compiler must produce

__attribute__((no_sanitize("undefined"))) void write_null() { *g_null = 1; }
__attribute__((no_sanitize("undefined"))) void read_null() { g_quotient = *g_null; }
__attribute__((no_sanitize("undefined"))) void divide_by_zero() { g_quotient = 100 / g_zero; }
void illegal_instruction() { __builtin_trap(); }

struct fault_case {
    const char* name;
    void (*fault)();
};
const fault_case kFaults[] = {
    {"write", write_null}, {"read", read_null}, {"divide", divide_by_zero}, {"illegal", illegal_instruction}};

TEST(fault_guard, each_kind_of_fault_ends_the_body_and_the_thread_goes_on) {
    for (const fault_case& c : kFaults) {
        int reached = 0;
        EXPECT_TRUE(fault_guard([&] {
            reached = 1;
            c.fault();
            reached = 2;
        })) << c.name;
        EXPECT_EQ(reached, 1) << c.name;
    }
}

TEST(fault_guard, a_body_without_fault_runs_to_its_end) {
    int result = 0;
    EXPECT_FALSE(fault_guard([&] { result = 42; }));
    EXPECT_EQ(result, 42);
}

TEST(fault_guard, the_innermost_guard_catches_and_the_outer_one_goes_on) {
    bool inner = false, after = false;
    const bool outer = fault_guard([&] {
        inner = fault_guard([] { write_null(); });
        after = true;
    });
    EXPECT_TRUE(inner);
    EXPECT_TRUE(after);
    EXPECT_FALSE(outer);
    // And the outer one still catches its own, after the inner one ended.
    EXPECT_TRUE(fault_guard([&] {
        EXPECT_FALSE(fault_guard([] {}));
        write_null();
    }));
}

TEST(fault_guard, a_fault_outside_every_guard_still_ends_the_process) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_TRUE(fault_guard([] { write_null(); }));   // the handler is in place
    EXPECT_DEATH(write_null(), "");
}

}  // namespace
