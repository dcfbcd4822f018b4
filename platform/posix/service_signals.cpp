#include "platform/posix/service_signals.h"

#include "platform/service.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

namespace {

std::atomic<void (*)(uint32_t)> g_control_handler{nullptr};
std::atomic<bool (*)(uint32_t)> g_console_handler{nullptr};
std::once_flag g_watcher_once;
bool g_watcher_started = false;

// What the signal would have done had nobody waited for it: for these three,
// end the process (the wait status then names the signal, as usual).
[[noreturn]] void take_default_action(int sig) {
    struct sigaction dfl{};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(sig, &dfl, nullptr);
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, sig);
    raise(sig);
    pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
    _exit(128 + sig);
}

void* signal_watcher(void*) {
    const sigset_t set = watched_signals();
    for (;;) {
        int sig = 0;
        if (sigwait(&set, &sig) != 0) continue;
        if (sig == SIGTERM) {
            if (auto h = g_control_handler.load()) {
                h(SVC_CONTROL_STOP);
                continue;
            }
        } else {
            auto h = g_console_handler.load();
            if (h && h(sig == SIGINT ? CONSOLE_CTRL_C : CONSOLE_CTRL_BREAK)) continue;
        }
        take_default_action(sig);
    }
}

// Blocks the three signals in the calling thread (threads started later
}  // namespace

sigset_t watched_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGQUIT);
    return set;
}

bool watch_signals() {
    const sigset_t set = watched_signals();
    sigset_t before;
    if (pthread_sigmask(SIG_BLOCK, &set, &before) != 0) return false;
    std::call_once(g_watcher_once, [] {
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        pthread_t t;
        g_watcher_started = pthread_create(&t, &attr, signal_watcher, nullptr) == 0;
        pthread_attr_destroy(&attr);
    });
    // Without a watcher, blocked signals would never arrive: keep the old mask.
    if (!g_watcher_started) pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return g_watcher_started;
}

void set_control_handler(void (*handler)(uint32_t control)) { g_control_handler.store(handler); }
void set_console_handler(bool (*handler)(uint32_t event)) { g_console_handler.store(handler); }
