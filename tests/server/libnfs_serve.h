/* What the tests' libnfs clients share: libnfs's calls for RPC over UDP, the
 * exit codes, and the loop that serves a context until its request is done
 * or the time is up. */
#ifndef TESTS_SERVER_LIBNFS_SERVE_H
#define TESTS_SERVER_LIBNFS_SERVE_H

#include <sys/time.h>

#include <nfsc/libnfs.h>
#include <nfsc/libnfs-raw.h>

#include <poll.h>
#include <stdio.h>
#include <time.h>

/* Exported by libnfs but declared only in its private header; its own
 * broadcast discovery uses them for RPC over UDP. */
struct rpc_context *rpc_init_udp_context(void);
int rpc_bind_udp(struct rpc_context *rpc, char *addr, int port);
int rpc_set_udp_destination(struct rpc_context *rpc, char *addr, int port, int is_broadcast);

enum { EXIT_REPLY = 0, EXIT_RPC = 1, EXIT_CONNECT = 2, EXIT_TIMEOUT = 3, EXIT_USAGE = 64 };

static inline double now_seconds(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

/* Serves the context until *finished or the time is up; a time-out or a
 * lost connection sets *exit_code. `who` starts the messages. */
static inline void serve_until_done(struct rpc_context *rpc, const int *finished, int *exit_code, double seconds,
                                    const char *who) {
    const double deadline = now_seconds() + seconds;
    while (!*finished) {
        const double left = deadline - now_seconds();
        if (left <= 0) {
            fprintf(stderr, "%s: no reply within %.1f s\n", who, seconds);
            *exit_code = EXIT_TIMEOUT;
            return;
        }
        struct pollfd pfd = {.fd = rpc_get_fd(rpc), .events = (short)rpc_which_events(rpc)};
        const int wait_ms = left > 0.1 ? 100 : (int)(left * 1000) + 1;
        if (poll(&pfd, 1, wait_ms) < 0) {
            fprintf(stderr, "%s: poll failed\n", who);
            *exit_code = EXIT_RPC;
            return;
        }
        if (rpc_service(rpc, pfd.revents) < 0) {
            if (!*finished) {
                fprintf(stderr, "%s: connection lost: %s\n", who, rpc_get_error(rpc));
                *exit_code = EXIT_RPC;
            }
            return;
        }
    }
}

#endif
