// Fault guards on POSIX: one handler for the fault signals, installed on
// first use, jumps back to the thread's innermost guard; on a thread
// outside every guard it hands the signal to the handler it replaced (or
// to the default action), so crashes stay crashes and sanitizers still report.
#include "platform/fault_frame.h"
#include "platform/fault_guard.h"

#include <csetjmp>
#include <csignal>

namespace {

struct posix_frame : fault_frame {
    sigjmp_buf jump;
};

thread_local fault_frame* t_innermost = nullptr;

constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};
struct sigaction g_previous[sizeof kFaultSignals / sizeof kFaultSignals[0]];

const struct sigaction* previous_of(int sig) {
    for (size_t i = 0; i < sizeof kFaultSignals / sizeof kFaultSignals[0]; ++i)
        if (kFaultSignals[i] == sig) return &g_previous[i];
    return nullptr;
}

// si_code > 0: raised by the processor (or the kernel for it), not sent.
void pass_on(int sig, siginfo_t* info, void* uc) {
    const struct sigaction* p = previous_of(sig);
    if (p && (p->sa_flags & SA_SIGINFO) && p->sa_sigaction) return p->sa_sigaction(sig, info, uc);
    if (p && !(p->sa_flags & SA_SIGINFO) && p->sa_handler != SIG_DFL && p->sa_handler != SIG_IGN)
        return p->sa_handler(sig);
    if (p && p->sa_handler == SIG_IGN && info->si_code <= 0) return;
    struct sigaction fallback = {};
    fallback.sa_handler = SIG_DFL;
    sigaction(sig, &fallback, nullptr);
    // A fault happens again when the instruction is retried, now fatal; a
    // sent signal has to be sent again.
    if (info->si_code <= 0) raise(sig);
}

void on_fault(int sig, siginfo_t* info, void* uc) {
    fault_frame* f = t_innermost;
    if (f && info->si_code > 0) siglongjmp(static_cast<posix_frame*>(f)->jump, 1);
    pass_on(sig, info, uc);
}

bool install() {
    struct sigaction sa = {};
    sa.sa_sigaction = on_fault;
    // Not deferred: the jump leaves the handler, and the signal must not
    // stay blocked for the thread afterwards (sigsetjmp keeps no mask, a
    // system call per guard saved). No alternate stack: a stack overflow
    // cannot run the handler, and is never caught.
    sa.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&sa.sa_mask);
    for (size_t i = 0; i < sizeof kFaultSignals / sizeof kFaultSignals[0]; ++i)
        sigaction(kFaultSignals[i], &sa, &g_previous[i]);
    return true;
}

}  // namespace

fault_frame* fault_frame_current() { return t_innermost; }
void fault_frame_set(fault_frame* frame) { t_innermost = frame; }

bool fault_guard_run(void (*body)(void* context), void* context) {
    static const bool installed = install();
    (void)installed;
    posix_frame frame;
    if (sigsetjmp(frame.jump, 0) != 0) {
        fault_frame_end(&frame, true);
        return true;
    }
    fault_frame_begin(&frame);
    body(context);
    fault_frame_end(&frame, false);
    return false;
}
