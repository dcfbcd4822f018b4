// POSIX threads behind the Win32 view of threads, critical sections and events.
#include "platform/thread.h"

#include <pthread.h>
#include <sched.h>
#include <time.h>

#include <cerrno>
#include <new>

namespace {

struct thread_start_args {
    void (*fn)(void*);
    void* arg;
};

void* thread_trampoline(void* p) {
    thread_start_args a = *static_cast<thread_start_args*>(p);
    delete static_cast<thread_start_args*>(p);
    a.fn(a.arg);
    return nullptr;
}

pthread_mutex_t* mutex_of(crit_section* cs) { return reinterpret_cast<pthread_mutex_t*>(cs->opaque); }
static_assert(sizeof(pthread_mutex_t) <= sizeof(crit_section::opaque));

}  // namespace

struct plat_event {
    pthread_mutex_t lock;
    pthread_cond_t cond;
    bool manual;
    bool set;
};

bool thread_start(void (*fn)(void*), void* arg) {
    auto* a = new (std::nothrow) thread_start_args{fn, arg};
    if (!a) return false;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t t;
    int rc = pthread_create(&t, &attr, thread_trampoline, a);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete a;
        return false;
    }
    return true;
}

void crit_init(crit_section* cs, uint32_t) {
    // Recursive, as a Win32 critical section is.
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(mutex_of(cs), &attr);
    pthread_mutexattr_destroy(&attr);
}
void crit_enter(crit_section* cs) { pthread_mutex_lock(mutex_of(cs)); }
void crit_leave(crit_section* cs) { pthread_mutex_unlock(mutex_of(cs)); }
void crit_delete(crit_section* cs) { pthread_mutex_destroy(mutex_of(cs)); }

plat_event* event_create(bool manual_reset, bool initially_set) {
    auto* e = new (std::nothrow) plat_event;
    if (!e) return nullptr;
    pthread_mutex_init(&e->lock, nullptr);
    pthread_condattr_t ca;
    pthread_condattr_init(&ca);
    pthread_condattr_setclock(&ca, CLOCK_MONOTONIC);
    pthread_cond_init(&e->cond, &ca);
    pthread_condattr_destroy(&ca);
    e->manual = manual_reset;
    e->set = initially_set;
    return e;
}

void event_set(plat_event* e) {
    pthread_mutex_lock(&e->lock);
    e->set = true;
    if (e->manual)
        pthread_cond_broadcast(&e->cond);
    else
        pthread_cond_signal(&e->cond);
    pthread_mutex_unlock(&e->lock);
}

void event_reset(plat_event* e) {
    pthread_mutex_lock(&e->lock);
    e->set = false;
    pthread_mutex_unlock(&e->lock);
}

bool event_wait(plat_event* e, int timeout_ms) {
    timespec deadline{};
    if (timeout_ms >= 0) {
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        deadline.tv_sec += timeout_ms / 1000;
        deadline.tv_nsec += static_cast<long>(timeout_ms % 1000) * 1000000L;
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_sec += 1;
            deadline.tv_nsec -= 1000000000L;
        }
    }
    pthread_mutex_lock(&e->lock);
    int rc = 0;
    while (!e->set && rc != ETIMEDOUT) {
        rc = timeout_ms < 0 ? pthread_cond_wait(&e->cond, &e->lock)
                            : pthread_cond_timedwait(&e->cond, &e->lock, &deadline);
    }
    bool got = e->set;
    if (got && !e->manual) e->set = false;
    pthread_mutex_unlock(&e->lock);
    return got;
}

void event_close(plat_event* e) {
    if (!e) return;
    pthread_cond_destroy(&e->cond);
    pthread_mutex_destroy(&e->lock);
    delete e;
}

uint32_t tick_count_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000u +
                                 static_cast<uint64_t>(ts.tv_nsec) / 1000000u);
}

uint64_t tick_count_us() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

void sleep_ms(uint32_t ms) {
    if (ms == 0) {
        sched_yield();
        return;
    }
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

void set_thread_execution_state(uint32_t) {}
