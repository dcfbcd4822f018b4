/* One MOUNT procedure through libnfs raw calls, for the server tests.
 *
 * usage: mount_client [-u] [-b ADDR] [-p PORT] [-t SECONDS] HOST VERSION PROC [PATH]
 *   -u          UDP instead of TCP
 *   -b ADDR     local address of the UDP socket (a second client on lo)
 *   -p PORT     MOUNT port, default 1058 (the portmapper is not asked)
 *   -t SECONDS  time limit of the whole exchange, default 5
 *   VERSION     1 or 3 (libnfs has no MOUNT version 2)
 *   PROC        null, mnt, dump, umnt, umntall or export
 *
 * Output, one item a line, fields separated by tabs:
 *   status N / handle HEX / flavors F,F...   (mnt)
 *   mount HOST DIR ... / entries N           (dump)
 *   export DIR GROUP... ... / entries N      (export)
 *   done                                     (null, umnt, umntall)
 * Exit: 0 reply read, 1 RPC error, 2 no connection, 3 time-out, 64 usage.
 */
#include "libnfs_serve.h"

#include <nfsc/libnfs-raw-mount.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

struct request {
    int version;
    const char *proc;
    char *path;
    int finished;
    int exit_code;
};

static void print_hex(const unsigned char *bytes, unsigned length) {
    printf("handle\t");
    for (unsigned i = 0; i < length; ++i) printf("%02x", bytes[i]);
    printf("\n");
}

static void print_mnt3(const mountres3 *r) {
    printf("status\t%d\n", (int)r->fhs_status);
    if (r->fhs_status != MNT3_OK) return;
    const mountres3_ok *ok = &r->mountres3_u.mountinfo;
    print_hex((const unsigned char *)ok->fhandle.fhandle3_val, ok->fhandle.fhandle3_len);
    printf("flavors\t");
    for (unsigned i = 0; i < ok->auth_flavors.auth_flavors_len; ++i)
        printf("%s%d", i ? "," : "", ok->auth_flavors.auth_flavors_val[i]);
    printf("\n");
}

static void print_mnt1(const mountres1 *r) {
    printf("status\t%d\n", (int)r->fhs_status);
    if (r->fhs_status == MNT1_OK)
        print_hex((const unsigned char *)r->mountres1_u.mountinfo.fhandle, FHSIZE);
}

static void print_dump(mountlist list) {
    unsigned n = 0;
    for (const struct mountbody *m = list; m; m = m->ml_next, ++n)
        printf("mount\t%s\t%s\n", m->ml_hostname ? m->ml_hostname : "", m->ml_directory ? m->ml_directory : "");
    printf("entries\t%u\n", n);
}

static void print_exports(exports list) {
    unsigned n = 0;
    for (const struct exportnode *e = list; e; e = e->ex_next, ++n) {
        printf("export\t%s", e->ex_dir ? e->ex_dir : "");
        for (const struct groupnode *g = e->ex_groups; g; g = g->gr_next) printf("\t%s", g->gr_name ? g->gr_name : "");
        printf("\n");
    }
    printf("entries\t%u\n", n);
}

/* Results are valid only inside the callback, so they are printed here. */
static void reply_cb(struct rpc_context *rpc, int status, void *data, void *private_data) {
    struct request *r = private_data;
    (void)rpc;
    r->finished = 1;
    if (status != RPC_STATUS_SUCCESS) {
        fprintf(stderr, "mount_client: %s failed: %s\n", r->proc,
                status == RPC_STATUS_ERROR && data ? (const char *)data : "cancelled or timed out");
        r->exit_code = EXIT_RPC;
        return;
    }
    if (strcmp(r->proc, "mnt") == 0) {
        if (r->version == 3) print_mnt3(data);
        else print_mnt1(data);
    } else if (strcmp(r->proc, "dump") == 0) {
        print_dump(data ? *(mountlist *)data : NULL);
    } else if (strcmp(r->proc, "export") == 0) {
        print_exports(data ? *(exports *)data : NULL);
    } else {
        printf("done\n");
    }
    r->exit_code = EXIT_REPLY;
}

/* Returns 0 when the call was queued. */
static int send_request(struct rpc_context *rpc, struct request *r) {
    const int v3 = r->version == 3;
    if (strcmp(r->proc, "null") == 0)
        return v3 ? rpc_mount3_null_async(rpc, reply_cb, r) : rpc_mount1_null_async(rpc, reply_cb, r);
    if (strcmp(r->proc, "mnt") == 0)
        return v3 ? rpc_mount3_mnt_async(rpc, reply_cb, r->path, r) : rpc_mount1_mnt_async(rpc, reply_cb, r->path, r);
    if (strcmp(r->proc, "dump") == 0)
        return v3 ? rpc_mount3_dump_async(rpc, reply_cb, r) : rpc_mount1_dump_async(rpc, reply_cb, r);
    if (strcmp(r->proc, "umnt") == 0)
        return v3 ? rpc_mount3_umnt_async(rpc, reply_cb, r->path, r)
                  : rpc_mount1_umnt_async(rpc, reply_cb, r->path, r);
    if (strcmp(r->proc, "umntall") == 0)
        return v3 ? rpc_mount3_umntall_async(rpc, reply_cb, r) : rpc_mount1_umntall_async(rpc, reply_cb, r);
    if (strcmp(r->proc, "export") == 0)
        return v3 ? rpc_mount3_export_async(rpc, reply_cb, r) : rpc_mount1_export_async(rpc, reply_cb, r);
    return -1;
}

static void connect_cb(struct rpc_context *rpc, int status, void *data, void *private_data) {
    struct request *r = private_data;
    if (status != RPC_STATUS_SUCCESS) {
        fprintf(stderr, "mount_client: connect failed: %s\n", data ? (const char *)data : "cancelled");
        r->finished = 1;
        r->exit_code = EXIT_CONNECT;
        return;
    }
    if (send_request(rpc, r) != 0) {
        fprintf(stderr, "mount_client: cannot send %s: %s\n", r->proc, rpc_get_error(rpc));
        r->finished = 1;
        r->exit_code = EXIT_RPC;
    }
}

static int usage(void) {
    fprintf(stderr, "usage: mount_client [-u] [-b ADDR] [-p PORT] [-t SECONDS] HOST VERSION "
                    "null|mnt|dump|umnt|umntall|export [PATH]\n");
    return EXIT_USAGE;
}

int main(int argc, char **argv) {
    int udp = 0, port = 1058;
    double seconds = 5.0;
    char *bind_address = NULL;
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; ++i) {
        if (strcmp(argv[i], "-u") == 0) {
            udp = 1;
        } else if (i + 1 < argc && strcmp(argv[i], "-b") == 0) {
            bind_address = argv[++i];
        } else if (i + 1 < argc && strcmp(argv[i], "-p") == 0) {
            port = atoi(argv[++i]);
        } else if (i + 1 < argc && strcmp(argv[i], "-t") == 0) {
            seconds = atof(argv[++i]);
        } else {
            return usage();
        }
    }
    if (argc - i < 3 || port <= 0 || port > 65535 || seconds <= 0) return usage();
    /* libnfs cannot choose the local address of a TCP connection. */
    if (bind_address && !udp) return usage();
    char *host = argv[i];
    struct request r = {.version = atoi(argv[i + 1]), .proc = argv[i + 2], .exit_code = EXIT_RPC};
    const int needs_path = strcmp(r.proc, "mnt") == 0 || strcmp(r.proc, "umnt") == 0;
    if (r.version != 1 && r.version != 3) return usage();
    if (needs_path != (argc - i == 4)) return usage();
    r.path = needs_path ? argv[i + 3] : NULL;

    struct rpc_context *rpc = udp ? rpc_init_udp_context() : rpc_init_context();
    if (!rpc) {
        fprintf(stderr, "mount_client: no rpc context\n");
        return EXIT_RPC;
    }
    if (udp) {
        if (rpc_bind_udp(rpc, bind_address ? bind_address : "0.0.0.0", 0) != 0 ||
            rpc_set_udp_destination(rpc, host, port, 0) != 0) {
            fprintf(stderr, "mount_client: udp set-up failed: %s\n", rpc_get_error(rpc));
            rpc_destroy_context(rpc);
            return EXIT_CONNECT;
        }
        connect_cb(rpc, RPC_STATUS_SUCCESS, NULL, &r);
    } else if (rpc_connect_port_async(rpc, host, port, MOUNT_PROGRAM, r.version, connect_cb, &r) != 0) {
        fprintf(stderr, "mount_client: connect failed: %s\n", rpc_get_error(rpc));
        rpc_destroy_context(rpc);
        return EXIT_CONNECT;
    }
    serve_until_done(rpc, &r.finished, &r.exit_code, seconds, "mount_client");
    fflush(stdout);
    rpc_destroy_context(rpc);
    return r.exit_code;
}
