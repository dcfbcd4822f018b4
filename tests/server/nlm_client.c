/* One NLM version 4 procedure through libnfs raw calls, for the server tests.
 *
 * usage: nlm_client [-u] [-b ADDR] [-p PORT] [-n CALLER] [-o OWNER] [-x] [-B]
 *                   HOST test|lock|cancel|unlock FHHEX SVID OFFSET LENGTH
 *   -u       UDP instead of TCP      -b ADDR  local address of the UDP socket
 *   -p PORT  NLM port, default 4045  -n, -o   caller name and owner handle
 *   -x       exclusive               -B       block
 * Output: "status N", and for a denied test "holder SVID OFFSET LENGTH EXCLUSIVE".
 * Exit: 0 reply read, 1 RPC error, 2 no connection, 3 time-out, 64 usage.
 */
#include "libnfs_serve.h"

#include <nfsc/libnfs-raw-nlm.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

struct request {
    const char *proc;
    int finished, exit_code;
    char cookie[8];
    nlm4_lock lock;
    int exclusive, block;
};

static void reply_cb(struct rpc_context *rpc, int status, void *data, void *private_data) {
    struct request *r = private_data;
    (void)rpc;
    r->finished = 1;
    if (status != RPC_STATUS_SUCCESS) {
        fprintf(stderr, "nlm_client: %s failed: %s\n", r->proc,
                status == RPC_STATUS_ERROR && data ? (const char *)data : "cancelled or timed out");
        r->exit_code = EXIT_RPC;
        return;
    }
    /* Every result but TEST's is a cookie and a status. */
    if (strcmp(r->proc, "test") == 0) {
        const NLM4_TESTres *t = data;
        printf("status\t%d\n", (int)t->reply.status);
        if (t->reply.status == NLM4_DENIED) {
            const nlm4_holder *h = &t->reply.nlm4_testreply_u.lock.holder;
            printf("holder\t%u\t%llu\t%llu\t%u\n", h->svid, (unsigned long long)h->l_offset,
                   (unsigned long long)h->l_len, h->exclusive);
        }
    } else {
        printf("status\t%d\n", (int)((const NLM4_LOCKres *)data)->status);
    }
    r->exit_code = EXIT_REPLY;
}

static int send_request(struct rpc_context *rpc, struct request *r) {
    nlm_cookie cookie = {{(u_int)strlen(r->cookie), r->cookie}};
    if (strcmp(r->proc, "test") == 0) {
        NLM4_TESTargs a = {cookie, (uint32_t)r->exclusive, r->lock};
        return rpc_nlm4_test_async(rpc, reply_cb, &a, r);
    }
    if (strcmp(r->proc, "lock") == 0) {
        NLM4_LOCKargs a = {cookie, (uint32_t)r->block, (uint32_t)r->exclusive, r->lock, 0, 1};
        return rpc_nlm4_lock_async(rpc, reply_cb, &a, r);
    }
    if (strcmp(r->proc, "cancel") == 0) {
        NLM4_CANCargs a = {cookie, (uint32_t)r->block, (uint32_t)r->exclusive, r->lock};
        return rpc_nlm4_cancel_async(rpc, reply_cb, &a, r);
    }
    if (strcmp(r->proc, "unlock") == 0) {
        NLM4_UNLOCKargs a = {cookie, r->lock};
        return rpc_nlm4_unlock_async(rpc, reply_cb, &a, r);
    }
    return -1;
}

static void connect_cb(struct rpc_context *rpc, int status, void *data, void *private_data) {
    struct request *r = private_data;
    if (status != RPC_STATUS_SUCCESS) {
        fprintf(stderr, "nlm_client: connect failed: %s\n", data ? (const char *)data : "cancelled");
        r->finished = 1;
        r->exit_code = EXIT_CONNECT;
    } else if (send_request(rpc, r) != 0) {
        fprintf(stderr, "nlm_client: cannot send %s: %s\n", r->proc, rpc_get_error(rpc));
        r->finished = 1;
        r->exit_code = EXIT_RPC;
    }
}

static int unhex(const char *text, char *out, int max) {
    int n = 0;
    for (; text[0] && text[1] && n < max; text += 2) {
        unsigned v;
        if (sscanf(text, "%2x", &v) != 1) return -1;
        out[n++] = (char)v;
    }
    return *text ? -1 : n;
}

static int usage(void) {
    fprintf(stderr, "usage: nlm_client [-u] [-b ADDR] [-p PORT] [-n CALLER] [-o OWNER] [-x] [-B] "
                    "HOST test|lock|cancel|unlock FHHEX SVID OFFSET LENGTH\n");
    return EXIT_USAGE;
}

int main(int argc, char **argv) {
    int udp = 0, port = 4045;
    char *bind_address = NULL, *caller = "nlmtest", *owner = "owner";
    struct request r = {.exit_code = EXIT_RPC, .cookie = "c00kie"};
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; ++i) {
        if (strcmp(argv[i], "-u") == 0) udp = 1;
        else if (strcmp(argv[i], "-x") == 0) r.exclusive = 1;
        else if (strcmp(argv[i], "-B") == 0) r.block = 1;
        else if (i + 1 < argc && strcmp(argv[i], "-b") == 0) bind_address = argv[++i];
        else if (i + 1 < argc && strcmp(argv[i], "-p") == 0) port = atoi(argv[++i]);
        else if (i + 1 < argc && strcmp(argv[i], "-n") == 0) caller = argv[++i];
        else if (i + 1 < argc && strcmp(argv[i], "-o") == 0) owner = argv[++i];
        else return usage();
    }
    if (argc - i != 6 || (bind_address && !udp)) return usage();
    char *host = argv[i];
    static char fh[64];
    const int fh_len = unhex(argv[i + 2], fh, sizeof fh);
    if (fh_len < 0) return usage();
    r.proc = argv[i + 1];
    r.lock.caller_name = caller;
    r.lock.fh.data.data_len = (u_int)fh_len;
    r.lock.fh.data.data_val = fh;
    r.lock.oh = owner;
    r.lock.svid = (u_int)strtoul(argv[i + 3], NULL, 0);
    r.lock.l_offset = strtoull(argv[i + 4], NULL, 0);
    r.lock.l_len = strtoull(argv[i + 5], NULL, 0);

    struct rpc_context *rpc = udp ? rpc_init_udp_context() : rpc_init_context();
    if (!rpc) return EXIT_RPC;
    if (udp) {
        if (rpc_bind_udp(rpc, bind_address ? bind_address : "0.0.0.0", 0) != 0 ||
            rpc_set_udp_destination(rpc, host, port, 0) != 0) {
            fprintf(stderr, "nlm_client: udp set-up failed: %s\n", rpc_get_error(rpc));
            rpc_destroy_context(rpc);
            return EXIT_CONNECT;
        }
        connect_cb(rpc, RPC_STATUS_SUCCESS, NULL, &r);
    } else if (rpc_connect_port_async(rpc, host, port, NLM_PROGRAM, NLM_V4, connect_cb, &r) != 0) {
        fprintf(stderr, "nlm_client: connect failed: %s\n", rpc_get_error(rpc));
        rpc_destroy_context(rpc);
        return EXIT_CONNECT;
    }
    serve_until_done(rpc, &r.finished, &r.exit_code, 5.0, "nlm_client");
    fflush(stdout);
    rpc_destroy_context(rpc);
    return r.exit_code;
}
