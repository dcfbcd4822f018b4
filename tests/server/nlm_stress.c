/* Eight lock owners work the server's lock manager at once: each locks,
 * unlocks and tests random ranges of four files through libnfs's NLM
 * version 4 calls (half over UDP, half over TCP), waits a while for the
 * NLM_GRANTED of a blocked request and cancels it if none comes. This host's
 * portmapper and lock manager are answered here, so the server's callbacks
 * arrive. Every grant is checked against the model of what the replies
 * said (tests/nlm/lock_model.h): no two conflicting locks are ever held.
 * At the end every blocked request has been granted or cancelled, all is
 * unlocked, and a test of each file by a fresh owner finds it free.
 *
 * A lock is surely held from its grant's arrival to the sending of its
 * unlock, which lies inside the time the server holds it: two such times of
 * conflicting locks that overlap are a fault of the server.
 *
 * usage: nlm_stress SERVER SECONDS FH1 FH2 FH3 FH4   (handles in hex)
 * Needs UDP port 111 of this host. Exit: 0 all held, 1 a check failed,
 * 2 set-up failed, 64 usage.
 */
#include "libnfs_serve.h"
#include "tests/nlm/lock_model.h"

#include <nfsc/libnfs-raw-nlm.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

enum { OWNERS = MODEL_OWNERS, FILES = MODEL_FILES, MAX_LEN = 16, CALLBACK_PORT = 4047 };
enum phase { IDLE, LOCKING, WAITING, CANCELLING, CLEANING, UNLOCKING, TESTING };

struct owner {
    int index;
    struct rpc_context *rpc;
    enum phase phase;
    int connected;
    double since, wait_until;
    int file, exclusive, block, granted_early;
    uint64_t offset, length;   /* length 0: to the end */
    uint8_t before[MODEL_BYTES];
    char caller[16], oh[8];
    /* Blocked requests are never repeated, so that a late NLM_GRANTED names one. */
    uint8_t blocked_before[FILES][MODEL_BYTES][MAX_LEN + 1][2];
};

static struct owner owners[OWNERS];
static struct lock_model model;
static char fh[FILES][64];
static int fh_len[FILES];
static int failures, final_check;
static struct {
    long locks, denied, blocked, callbacks, cancels, unlocks, tests;
} counts;

/* Each owner's last events, shown with the first failure. */
enum { TRAIL = 16 };
static char trail[OWNERS][TRAIL][96];
static unsigned trail_next[OWNERS];

static void note(const struct owner *o, const char *what, int status) {
    snprintf(trail[o->index][trail_next[o->index]++ % TRAIL], sizeof trail[0][0],
             "%.3f owner %d file %d [%llu,+%llu) %s %s %d", now_seconds(), o->index, o->file,
             (unsigned long long)o->offset, (unsigned long long)o->length, o->exclusive ? "x" : "s", what, status);
}

static void show_trail(int owner) {
    for (unsigned i = trail_next[owner] > TRAIL ? trail_next[owner] - TRAIL : 0; i < trail_next[owner]; ++i)
        fprintf(stderr, "  %s\n", trail[owner][i % TRAIL]);
}

static void fail(const char *what, const struct owner *o, int other) {
    note(o, what, other);
    if (failures++ == 0) {
        if (other >= 0) show_trail(other);
        show_trail(o->index);
    }
    fprintf(stderr, "nlm_stress: owner %d: %s\n", o->index, what);
}

static uint64_t end_of(const struct owner *o) { return o->length ? o->offset + o->length : UINT64_MAX; }

static nlm4_lock lock_of(struct owner *o) {
    nlm4_lock l = {o->caller, {{(u_int)fh_len[o->file], fh[o->file]}}, o->oh, (u_int)(100 + o->index), o->offset,
                   o->length};
    return l;
}

/* A grant has arrived: nobody else may surely hold a conflicting lock. */
static void granted(struct owner *o) {
    const int other = model_conflict(&model, o->file, o->index, o->offset, end_of(o), o->exclusive);
    if (other >= 0) fail("granted while another owner holds a conflicting lock", o, other);
    model_set(&model, o->file, o->index, o->offset, end_of(o), o->exclusive ? MODEL_EXCLUSIVE : MODEL_SHARED, 0);
}

static int status_of(struct owner *o, int status, void *data) {
    if (status == RPC_STATUS_SUCCESS) return (int)((NLM4_LOCKres *)data)->status;
    fail(status == RPC_STATUS_ERROR && data ? (const char *)data : "no reply", o, -1);
    return -1;
}

static void send_unlock(struct owner *o, enum phase next);

static void lock_cb(struct rpc_context *rpc, int status, void *data, void *private_data) {
    struct owner *o = private_data;
    const int s = status_of(o, status, data);
    (void)rpc;
    note(o, o->block ? "LOCK block ->" : "LOCK ->", s);
    o->phase = IDLE;
    if (s == NLM4_GRANTED) {
        ++counts.locks;
        granted(o);
    } else if (s == NLM4_BLOCKED && o->block) {
        ++counts.blocked;
        /* The old locks stay, but the request may be granted any time: until
         * its NLM_GRANTED or its unlock, the lesser of both is surely held. */
        if (o->granted_early) granted(o);
        else o->phase = WAITING;
    } else if (s == NLM4_DENIED || s == NLM4_DENIED_NOLOCKS) {
        ++counts.denied;
        memcpy(model.held[o->file][o->index], o->before, MODEL_BYTES);
    } else if (s >= 0) {
        fail("unexpected LOCK status", o, -1);
    }
}

static void done_cb(struct rpc_context *rpc, int status, void *data, void *private_data) {
    struct owner *o = private_data;
    const int s = status_of(o, status, data);
    (void)rpc;
    note(o, o->phase == CANCELLING ? "CANCEL ->" : "UNLOCK ->", s);
    /* An unlock that would split a range finds no slot now and then. */
    if (s > 0 && !(o->phase != CANCELLING && s == NLM4_DENIED_NOLOCKS)) fail("CANCEL or UNLOCK refused", o, -1);
    /* A request granted just before its CANCEL came is held: unlocking its range ends it either way. */
    if (o->phase == CANCELLING) send_unlock(o, CLEANING);
    else o->phase = IDLE;
}

static void test_cb(struct rpc_context *rpc, int status, void *data, void *private_data) {
    struct owner *o = private_data;
    const NLM4_TESTres *t = data;
    (void)rpc;
    o->phase = IDLE;
    if (status != RPC_STATUS_SUCCESS) {
        status_of(o, status, data);
    } else if (t->reply.status == NLM4_DENIED) {
        const unsigned svid = t->reply.nlm4_testreply_u.lock.holder.svid;
        if (final_check) fail("a lock outlives every unlock", o, -1);
        else if (svid < 100 || svid >= 100 + OWNERS || svid == 100u + (unsigned)o->index)
            fail("TEST names no other owner", o, -1);
    } else if (t->reply.status != NLM4_GRANTED) {
        fail("unexpected TEST status", o, -1);
    }
}

static void start(struct owner *o, enum phase phase, int sent) {
    if (sent != 0) {
        fail("cannot send", o, -1);
        o->phase = IDLE;
        return;
    }
    o->phase = phase;
    o->since = now_seconds();
}

static void send_lock(struct owner *o) {
    NLM4_LOCKargs a = {{{4, "lock"}}, (uint32_t)o->block, (uint32_t)o->exclusive, lock_of(o), 0, 1};
    memcpy(o->before, model.held[o->file][o->index], MODEL_BYTES);
    /* In flight, what the owner surely holds there is the lesser of old and new. */
    model_set(&model, o->file, o->index, o->offset, end_of(o), o->exclusive ? MODEL_EXCLUSIVE : MODEL_SHARED, 1);
    o->granted_early = 0;
    start(o, LOCKING, rpc_nlm4_lock_async(o->rpc, lock_cb, &a, o));
}

static void send_unlock(struct owner *o, enum phase next) {
    NLM4_UNLOCKargs a = {{{6, "unlock"}}, lock_of(o)};
    model_set(&model, o->file, o->index, o->offset, end_of(o), MODEL_FREE, 0);
    note(o, "UNLOCK sent", 0);
    ++counts.unlocks;
    start(o, next, rpc_nlm4_unlock_async(o->rpc, done_cb, &a, o));
}

static void send_cancel(struct owner *o) {
    NLM4_CANCargs a = {{{6, "cancel"}}, 1, (uint32_t)o->exclusive, lock_of(o)};
    ++counts.cancels;
    start(o, CANCELLING, rpc_nlm4_cancel_async(o->rpc, done_cb, &a, o));
}

static void send_test(struct owner *o) {
    NLM4_TESTargs a = {{{4, "test"}}, (uint32_t)o->exclusive, lock_of(o)};
    ++counts.tests;
    start(o, TESTING, rpc_nlm4_test_async(o->rpc, test_cb, &a, o));
}

static int holds_nothing(const struct owner *o) {
    for (int f = 0; f < FILES; ++f)
        for (int b = 0; b < MODEL_BYTES; ++b)
            if (model.held[f][o->index][b] != MODEL_FREE) return 0;
    return 1;
}

static void next_request(struct owner *o) {
    const int kind = rand() % 20;
    o->file = rand() % FILES;
    o->offset = (uint64_t)(rand() % MODEL_BYTES);
    o->length = rand() % 8 == 0 ? 0 : 1 + (uint64_t)(rand() % MAX_LEN);
    o->exclusive = rand() % 2;
    if (kind < 10) {
        /* Mostly an owner that holds nothing waits, so that waits end in grants more than in deadlocks. */
        uint8_t *seen = &o->blocked_before[o->file][o->offset][o->length][o->exclusive];
        o->block = kind < 6 && !*seen && (holds_nothing(o) || kind == 0);
        *seen |= (uint8_t)o->block;
        send_lock(o);
    } else if (kind < 17) {
        if (kind >= 14) o->offset = o->length = 0;   /* all of the file */
        send_unlock(o, UNLOCKING);
    } else {
        send_test(o);
    }
}

/* ---- this host's portmapper and lock manager --------------------------------- */

static uint32_t word(const uint8_t *p) { return (uint32_t)p[0] << 24 | p[1] << 16 | p[2] << 8 | p[3]; }

/* Reads an opaque at *at of at most max bytes; its data's offset, or -1. */
static int opaque(const uint8_t *msg, int len, int *at, uint32_t max, uint32_t *size) {
    if (*at + 4 > len) return -1;
    *size = word(msg + *at);
    const int data = *at + 4;
    if (*size > max || data + (int)((*size + 3) & ~3u) > len) return -1;
    *at = data + (int)((*size + 3) & ~3u);
    return data;
}

static void answer(int sock, const struct sockaddr_in *peer, const uint8_t *xid, const uint8_t *body, int len) {
    uint8_t reply[64] = {0};
    memcpy(reply, xid, 4);
    reply[7] = 1;   /* REPLY, accepted, null verifier, SUCCESS */
    memcpy(reply + 24, body, (size_t)len);
    sendto(sock, reply, (size_t)(24 + len), 0, (const struct sockaddr *)peer, sizeof *peer);
}

/* The owner and request an NLM_GRANTED names; its arguments follow `at`. */
static void take_granted(const uint8_t *m, int len, int at) {
    uint32_t n, caller_len, fh_size;
    int exclusive_at, caller, handle;
    if (opaque(m, len, &at, 1024, &n) < 0 || at + 4 > len) return;   /* the cookie */
    exclusive_at = at;
    at += 4;
    if ((caller = opaque(m, len, &at, 255, &caller_len)) < 0 || (handle = opaque(m, len, &at, 64, &fh_size)) < 0 ||
        opaque(m, len, &at, 1024, &n) < 0 || at + 20 > len)
        return;
    const uint64_t offset = (uint64_t)word(m + at + 4) << 32 | word(m + at + 8);
    const uint64_t length = (uint64_t)word(m + at + 12) << 32 | word(m + at + 16);
    ++counts.callbacks;
    for (int i = 0; i < OWNERS; ++i) {
        struct owner *o = &owners[i];
        if (strlen(o->caller) != caller_len || memcmp(m + caller, o->caller, caller_len) != 0) continue;
        const int pending = (o->phase == WAITING || o->phase == CANCELLING || o->phase == LOCKING) && o->block &&
                            o->offset == offset && o->length == length && o->exclusive == (int)word(m + exclusive_at) &&
                            fh_size == (uint32_t)fh_len[o->file] && memcmp(m + handle, fh[o->file], fh_size) == 0;
        note(o, pending ? "GRANTED call" : "GRANTED call, stale", 0);
        if (pending && o->phase == LOCKING) o->granted_early = 1;   /* ahead of its BLOCKED reply */
        else if (pending) granted(o);
        if (pending && o->phase == WAITING) o->phase = IDLE;
        /* Anything else is the late grant of a request cancelled and unlocked since. */
        return;
    }
}

static void serve_callbacks(int sock, int nlm) {
    uint8_t m[4096];
    struct sockaddr_in peer;
    socklen_t peer_len = sizeof peer;
    const int len = (int)recvfrom(sock, m, sizeof m, MSG_DONTWAIT, (struct sockaddr *)&peer, &peer_len);
    if (len < 40 || word(m + 4) != 0) return;
    int at = 24;
    uint32_t n;
    at += 4;   /* the credential's flavour */
    if (opaque(m, len, &at, 400, &n) < 0) return;
    at += 4;   /* the verifier's */
    if (opaque(m, len, &at, 400, &n) < 0) return;
    if (!nlm) {
        const uint8_t port[4] = {0, 0, CALLBACK_PORT >> 8, CALLBACK_PORT & 0xFF}, none[4] = {0};
        answer(sock, &peer, m, len >= at + 4 && word(m + at) == 100021 ? port : none, 4);
        return;
    }
    if (word(m + 20) == 5) take_granted(m, len, at);
    const uint8_t res[12] = {0, 0, 0, 4, 'g', 'r', 'n', 't', 0, 0, 0, 0};   /* cookie, GRANTED */
    answer(sock, &peer, m, res, sizeof res);
}

static int udp_socket(int port) {
    struct sockaddr_in a = {.sin_family = AF_INET, .sin_port = htons((uint16_t)port)};
    const int s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0 || bind(s, (struct sockaddr *)&a, sizeof a) != 0) return -1;
    return s;
}

/* ---- the run ------------------------------------------------------------------ */

static int pmap_sock, nlm_sock;

/* Serves every context and the callback sockets for up to `ms`. */
static int service(int ms) {
    struct pollfd p[OWNERS + 2];
    for (int i = 0; i < OWNERS; ++i)
        p[i] = (struct pollfd){rpc_get_fd(owners[i].rpc), (short)rpc_which_events(owners[i].rpc), 0};
    p[OWNERS] = (struct pollfd){pmap_sock, POLLIN, 0};
    p[OWNERS + 1] = (struct pollfd){nlm_sock, POLLIN, 0};
    if (poll(p, OWNERS + 2, ms) < 0) return -1;
    for (int i = 0; i < OWNERS; ++i)
        if (rpc_service(owners[i].rpc, p[i].revents) < 0) {
            fail("connection lost", &owners[i], -1);
            return -1;
        }
    if (p[OWNERS].revents & POLLIN) serve_callbacks(pmap_sock, 0);
    if (p[OWNERS + 1].revents & POLLIN) serve_callbacks(nlm_sock, 1);
    return 0;
}

/* Serves until no owner is busy; false after `seconds` or a lost connection. */
static int settle(double seconds) {
    const double until = now_seconds() + seconds;
    for (;;) {
        int busy = 0;
        for (int i = 0; i < OWNERS; ++i) {
            if (owners[i].phase == WAITING) send_cancel(&owners[i]);
            busy |= owners[i].phase != IDLE;
        }
        if (!busy) return 1;
        if (now_seconds() > until || service(10) < 0) return 0;
    }
}

static void connect_cb(struct rpc_context *rpc, int status, void *data, void *private_data) {
    struct owner *o = private_data;
    (void)rpc;
    (void)data;
    o->connected = status == RPC_STATUS_SUCCESS ? 1 : -1;
}

static int open_owner(struct owner *o, char *server) {
    snprintf(o->caller, sizeof o->caller, "stress%d", o->index);
    snprintf(o->oh, sizeof o->oh, "oh%d", o->index);
    if (o->index % 2) {   /* UDP */
        o->rpc = rpc_init_udp_context();
        o->connected = o->rpc && rpc_bind_udp(o->rpc, "0.0.0.0", 0) == 0 &&
                       rpc_set_udp_destination(o->rpc, server, 4045, 0) == 0;
        return o->connected;
    }
    o->rpc = rpc_init_context();
    if (!o->rpc || rpc_connect_port_async(o->rpc, server, 4045, NLM_PROGRAM, NLM_V4, connect_cb, o) != 0) return 0;
    const double until = now_seconds() + 5;
    while (o->connected == 0 && now_seconds() < until) {
        struct pollfd p = {rpc_get_fd(o->rpc), (short)rpc_which_events(o->rpc), 0};
        if (poll(&p, 1, 100) < 0 || rpc_service(o->rpc, p.revents) < 0) return 0;
    }
    return o->connected == 1;
}

int main(int argc, char **argv) {
    if (argc != 3 + FILES) {
        fprintf(stderr, "usage: nlm_stress SERVER SECONDS FH1 FH2 FH3 FH4\n");
        return EXIT_USAGE;
    }
    for (int f = 0; f < FILES; ++f) {
        const char *hex = argv[3 + f];
        fh_len[f] = (int)strlen(hex) / 2;
        for (int i = 0; i < fh_len[f] && i < 64; ++i) {
            unsigned v;
            if (sscanf(hex + 2 * i, "%2x", &v) != 1) return EXIT_USAGE;
            fh[f][i] = (char)v;
        }
        if (fh_len[f] > 64) return EXIT_USAGE;
    }
    pmap_sock = udp_socket(111);
    nlm_sock = udp_socket(CALLBACK_PORT);
    if (pmap_sock < 0 || nlm_sock < 0) {
        perror("nlm_stress: callback sockets");
        return 2;
    }
    for (int i = 0; i < OWNERS; ++i) {
        owners[i].index = i;
        if (!open_owner(&owners[i], argv[1])) {
            fprintf(stderr, "nlm_stress: owner %d cannot reach the server\n", i);
            return 2;
        }
    }
    srand(20261209);
    const double end = now_seconds() + atof(argv[2]);
    while (now_seconds() < end && failures == 0) {
        const double now = now_seconds();
        for (int i = 0; i < OWNERS; ++i) {
            struct owner *o = &owners[i];
            if (o->phase == IDLE) {
                next_request(o);
                if (o->block) o->wait_until = now + (rand() % 300) / 1000.0;
            } else if (o->phase == WAITING && now > o->wait_until) {
                send_cancel(o);
            } else if (o->phase != WAITING && now - o->since > 5) {
                fail("no reply within 5 s", o, -1);
            }
        }
        if (service(10) < 0) break;
    }
    /* Every blocked request is granted or cancelled, then everything unlocked. */
    if (!settle(10)) fprintf(stderr, "nlm_stress: requests still open at the end\n"), ++failures;
    for (int f = 0; f < FILES && failures == 0; ++f) {
        for (int i = 0; i < OWNERS; ++i) {
            owners[i].file = f;
            owners[i].offset = owners[i].length = 0;
            send_unlock(&owners[i], UNLOCKING);
        }
        if (!settle(10)) fprintf(stderr, "nlm_stress: final unlocks unanswered\n"), ++failures;
    }
    /* A fresh owner finds every file free: no request was left queued to be granted now. */
    snprintf(owners[0].caller, sizeof owners[0].caller, "fresh");
    final_check = 1;
    for (int f = 0; f < FILES && failures == 0; ++f) {
        owners[0].file = f;
        owners[0].exclusive = 1;
        send_test(&owners[0]);
        settle(5);
    }
    printf("locks\t%ld\ndenied\t%ld\nblocked\t%ld\ncallbacks\t%ld\ncancels\t%ld\nunlocks\t%ld\ntests\t%ld\n",
           counts.locks, counts.denied, counts.blocked, counts.callbacks, counts.cancels, counts.unlocks, counts.tests);
    if (failures == 0 && (counts.blocked == 0 || counts.callbacks == 0))
        fprintf(stderr, "nlm_stress: no request blocked and was granted\n"), ++failures;
    for (int i = 0; i < OWNERS; ++i) rpc_destroy_context(owners[i].rpc);
    close(pmap_sock);
    close(nlm_sock);
    return failures ? 1 : 0;
}
