// The record of one running fault guard, shared by the two implementations
// of platform/fault_guard.h: the guards of a thread form a chain, innermost
// first, and each notes the critical sections entered inside it.
#pragma once
#include "platform/thread.h"

// Sections held at once inside one guard that a fault can release; a
// deeper nesting is counted but not noted (and stays held after a fault).
inline constexpr int kFaultSectionsMax = 16;

struct fault_frame {
    fault_frame* outer;
    int held;
    crit_section* sections[kFaultSectionsMax];
};

// The calling thread's innermost guard (null outside every guard), and its
// replacement when a guard begins or ends. Implemented per platform.
fault_frame* fault_frame_current();
void fault_frame_set(fault_frame* frame);

// The start of a guard: the frame becomes the thread's innermost.
void fault_frame_begin(fault_frame* frame);
// The end of a guard: after a fault, the sections the guard still holds
// are left, newest first.
void fault_frame_end(fault_frame* frame, bool faulted);
