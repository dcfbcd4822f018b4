// Reads every event waiting on a non-blocking inotify descriptor.
#pragma once
#include <sys/inotify.h>
#include <unistd.h>

template <class Each>
void read_inotify_events(int fd, Each&& each) {
    alignas(inotify_event) char buffer[16384];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) return;  // EAGAIN: nothing more waiting
        for (ssize_t at = 0; at + ssize_t(sizeof(inotify_event)) <= n;) {
            const auto* e = reinterpret_cast<const inotify_event*>(buffer + at);
            each(*e);
            at += ssize_t(sizeof(inotify_event) + e->len);
        }
    }
}
