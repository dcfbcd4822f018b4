// Fault guards on Win32. MinGW has no __try/__except, so a vectored handler
// (installed on first use, ahead of the others) takes the processor faults
// of a thread inside a guard. It does not jump out of the exception
// dispatch itself: it rewrites the faulting context so that the thread
// continues in land(), on its own stack below the fault as after a call,
// and land() jumps back to the guard. Other exceptions, and faults of
// threads outside every guard, go on to the next handler.
#include "platform/fault_frame.h"
#include "platform/fault_guard.h"

#include <windows.h>

#include <cstdint>

namespace {

struct win_frame : fault_frame {
    void* jump[5];   // __builtin_setjmp's buffer
    void* exception_list;   // handler_chain() at the start
};

DWORD g_slot = TLS_OUT_OF_INDEXES;

fault_frame* innermost() {
    if (g_slot == TLS_OUT_OF_INDEXES) return nullptr;
    // TlsGetValue clears the last error, which callers may still want.
    const DWORD error = GetLastError();
    void* frame = TlsGetValue(g_slot);
    SetLastError(error);
    return static_cast<fault_frame*>(frame);
}

bool processor_fault(DWORD code) {
    switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_IN_PAGE_ERROR:
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_INT_OVERFLOW:
    case EXCEPTION_DATATYPE_MISALIGNMENT:
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_PRIV_INSTRUCTION:
        return true;
    default:
        return false;   // EXCEPTION_STACK_OVERFLOW among them
    }
}

// An access below the stack pointer into the thread's own stack reserve is
// what is left of a stack overflow (the guard page already spent).
bool stack_overflow(const EXCEPTION_RECORD* r, uintptr_t sp) {
    if (r->ExceptionCode != EXCEPTION_ACCESS_VIOLATION || r->NumberParameters < 2) return false;
    const uintptr_t address = r->ExceptionInformation[1];
    MEMORY_BASIC_INFORMATION m;
    if (!VirtualQuery(reinterpret_cast<void*>(sp), &m, sizeof m)) return false;
    return address >= reinterpret_cast<uintptr_t>(m.AllocationBase) && address < sp;
}

// The head of the thread's chain of frame-based handlers (i686: fs:[0]);
// x64 finds its handlers in tables and keeps no chain.
void* handler_chain() {
    void* head = nullptr;
#if defined(__i386__)
    asm volatile("movl %%fs:0, %0" : "=r"(head));
#endif
    return head;
}
void set_handler_chain([[maybe_unused]] void* head) {
#if defined(__i386__)
    asm volatile("movl %0, %%fs:0" : : "r"(head) : "memory");
#endif
}

[[noreturn]] void land() {
    auto* frame = static_cast<win_frame*>(innermost());
    // Handlers that the abandoned calls registered must leave the chain.
    set_handler_chain(frame->exception_list);
    __builtin_longjmp(frame->jump, 1);
}

LONG CALLBACK on_exception(EXCEPTION_POINTERS* info) {
    if (!processor_fault(info->ExceptionRecord->ExceptionCode)) return EXCEPTION_CONTINUE_SEARCH;
    if (!innermost()) return EXCEPTION_CONTINUE_SEARCH;
    CONTEXT* c = info->ContextRecord;
#if defined(__x86_64__)
    if (stack_overflow(info->ExceptionRecord, c->Rsp)) return EXCEPTION_CONTINUE_SEARCH;
    // 16-byte aligned, less the return address a call would have pushed.
    c->Rsp = ((c->Rsp - 256) & ~uintptr_t(15)) - 8;
    c->Rip = reinterpret_cast<uintptr_t>(&land);
#else
    if (stack_overflow(info->ExceptionRecord, c->Esp)) return EXCEPTION_CONTINUE_SEARCH;
    c->Esp = ((c->Esp - 256) & ~uintptr_t(15)) - 4;
    c->Eip = reinterpret_cast<uintptr_t>(&land);
#endif
    c->EFlags &= ~0x400u;   // the direction flag, as the calling convention has it
    return EXCEPTION_CONTINUE_EXECUTION;
}

bool install() {
    g_slot = TlsAlloc();
    return g_slot != TLS_OUT_OF_INDEXES && AddVectoredExceptionHandler(1, on_exception) != nullptr;
}

}  // namespace

fault_frame* fault_frame_current() { return innermost(); }
void fault_frame_set(fault_frame* frame) {
    if (g_slot != TLS_OUT_OF_INDEXES) TlsSetValue(g_slot, frame);
}

bool fault_guard_run(void (*body)(void* context), void* context) {
    static const bool installed = install();
    if (!installed) {
        body(context);   // no slot or handler: unguarded, as a fault then ends the process anyway
        return false;
    }
    win_frame frame;
    frame.exception_list = handler_chain();
    if (__builtin_setjmp(frame.jump) != 0) {
        fault_frame_end(&frame, true);
        return true;
    }
    fault_frame_begin(&frame);
    body(context);
    fault_frame_end(&frame, false);
    return false;
}
