/* Walks an export over NFS version 2 with libnfs raw calls (MOUNT version 1,
 * READDIR paged by cookie with count 1024, LOOKUP, READ), for the tests.
 *
 * usage: nfs2_walk HOST PATH
 * Output, tab-separated, one object a line:
 *   entry PATH TYPE MODE(octal) SIZE MTIME_SEC MTIME_USEC FILEID LISTED_FILEID HASH
 * HASH: FNV-1a 64 of a regular file's bytes, else 0. Then "pages N".
 * Exit: 0, or 1 when a call failed.
 */
#include <sys/time.h>

#include <nfsc/libnfs.h>
#include <nfsc/libnfs-raw.h>
#include <nfsc/libnfs-raw-mount.h>
#include <nfsc/libnfs-raw-nfs.h>

#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum { MAX_NAMES = 1024, NAME_BYTES = 512 };

/* What one call brought back: callbacks copy out of libnfs's records. */
struct reply {
    int done, ok;
    char fh[FHSIZE2];
    struct fattr2 attr;
    char (*names)[NAME_BYTES];
    uint32_t *ids;
    int count, eof;
    char cookie[NFSCOOKIESIZE2];
    uint32_t got;
    uint64_t hash;
};

static void mnt_cb(struct rpc_context *rpc, int status, void *data, void *p) {
    struct reply *r = p;
    const mountres1 *m = data;
    (void)rpc;
    r->done = 1;
    r->ok = status == RPC_STATUS_SUCCESS && m->fhs_status == 0;
    if (r->ok) memcpy(r->fh, m->mountres1_u.mountinfo.fhandle, FHSIZE2);
}

static void readdir_cb(struct rpc_context *rpc, int status, void *data, void *p) {
    struct reply *r = p;
    const READDIR2res *res = data;
    (void)rpc;
    r->done = 1;
    if (!(r->ok = status == RPC_STATUS_SUCCESS && res->status == NFS3_OK)) return;
    for (const entry2 *e = res->READDIR2res_u.resok.entries; e && r->count < MAX_NAMES; e = e->nextentry) {
        snprintf(r->names[r->count], NAME_BYTES, "%s", e->name);
        r->ids[r->count++] = e->fileid;
        memcpy(r->cookie, e->cookie, NFSCOOKIESIZE2);
    }
    r->eof = (int)res->READDIR2res_u.resok.eof;
}

static void lookup_cb(struct rpc_context *rpc, int status, void *data, void *p) {
    struct reply *r = p;
    const LOOKUP2res *res = data;
    (void)rpc;
    r->done = 1;
    if (!(r->ok = status == RPC_STATUS_SUCCESS && res->status == NFS3_OK)) return;
    memcpy(r->fh, res->LOOKUP2res_u.resok.file, FHSIZE2);
    r->attr = res->LOOKUP2res_u.resok.attributes;
}

static void read_cb(struct rpc_context *rpc, int status, void *data, void *p) {
    struct reply *r = p;
    const READ2res *res = data;
    (void)rpc;
    r->done = 1;
    if (!(r->ok = status == RPC_STATUS_SUCCESS && res->status == NFS3_OK)) return;
    const nfsdata2 *d = &res->READ2res_u.resok.data;
    r->got = d->nfsdata2_len;
    for (uint32_t i = 0; i < d->nfsdata2_len; ++i) r->hash = (r->hash ^ (uint8_t)d->nfsdata2_val[i]) * 0x100000001b3ull;
}

static void connect_cb(struct rpc_context *rpc, int status, void *data, void *p) {
    struct reply *r = p;
    (void)rpc;
    (void)data;
    r->done = 1;
    r->ok = status == RPC_STATUS_SUCCESS;
}

/* Serves the context until the reply is in, 5 s at most; 1 when it is a success. */
static int wait_reply(struct rpc_context *rpc, struct reply *r, int queued) {
    r->done = 0;
    for (int rounds = 0; queued == 0 && !r->done && rounds < 50; ++rounds) {
        struct pollfd pfd = {.fd = rpc_get_fd(rpc), .events = (short)rpc_which_events(rpc)};
        if (poll(&pfd, 1, 100) < 0 || rpc_service(rpc, pfd.revents) < 0) return 0;
    }
    return r->done && r->ok;
}

static struct rpc_context *open_link(const char *host, int port, int program, int version) {
    struct rpc_context *rpc = rpc_init_context();
    struct reply r = {0};
    if (rpc && wait_reply(rpc, &r, rpc_connect_port_async(rpc, host, port, program, version, connect_cb, &r)))
        return rpc;
    fprintf(stderr, "nfs2_walk: cannot connect to %s:%d\n", host, port);
    exit(1);
}

static int pages;

static int failed(const char *what, const char *path) {
    fprintf(stderr, "nfs2_walk: %s %s failed\n", what, path);
    return 1;
}

/* Lists the folder page by page, then prints and descends into each name. */
static int walk(struct rpc_context *rpc, const char *dir_fh, const char *prefix) {
    struct reply list = {.names = calloc(MAX_NAMES, NAME_BYTES), .ids = calloc(MAX_NAMES, sizeof(uint32_t))};
    int bad = 0;
    while (!list.eof && !bad) {
        struct READDIR2args args = {.count = 1024};
        memcpy(args.dir, dir_fh, FHSIZE2);
        memcpy(args.cookie, list.cookie, NFSCOOKIESIZE2);
        const int before = list.count;
        ++pages;
        if (!wait_reply(rpc, &list, rpc_nfs2_readdir_async(rpc, readdir_cb, &args, &list)) ||
            (list.count == before && !list.eof))   /* no progress: it would never end */
            bad = failed("READDIR", prefix);
    }
    for (int i = 0; i < list.count && !bad; ++i) {
        if (strcmp(list.names[i], ".") == 0 || strcmp(list.names[i], "..") == 0) continue;
        char path[4096];
        snprintf(path, sizeof path, "%s%s%s", prefix, *prefix ? "/" : "", list.names[i]);
        struct reply found = {0}, data = {.hash = 0xcbf29ce484222325ull};
        struct LOOKUP2args args = {.what = {.name = list.names[i]}};
        memcpy(args.what.dir, dir_fh, FHSIZE2);
        if (!wait_reply(rpc, &found, rpc_nfs2_lookup_async(rpc, lookup_cb, &args, &found))) {
            bad = failed("LOOKUP", path);
            break;
        }
        for (uint32_t offset = 0; found.attr.type == NF2REG; offset += data.got) {
            struct READ2args read = {.offset = offset, .count = 8192};
            memcpy(read.file, found.fh, FHSIZE2);
            if (!wait_reply(rpc, &data, rpc_nfs2_read_async(rpc, read_cb, &read, &data))) bad = failed("READ", path);
            if (bad || data.got == 0) break;
        }
        const struct fattr2 *a = &found.attr;
        printf("entry\t%s\t%d\t%o\t%u\t%u\t%u\t%u\t%u\t%016llx\n", path, (int)a->type, a->mode, a->size,
               a->mtime.seconds, a->mtime.nseconds, a->fileid, list.ids[i],
               a->type == NF2REG ? (unsigned long long)data.hash : 0ull);
        if (!bad && a->type == NF2DIR) bad = walk(rpc, found.fh, path);
    }
    free(list.names);
    free(list.ids);
    return bad;
}

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: nfs2_walk HOST PATH\n");
        return 64;
    }
    struct rpc_context *mount = open_link(argv[1], 1058, MOUNT_PROGRAM, MOUNT_V1);
    struct reply root = {0};
    if (!wait_reply(mount, &root, rpc_mount1_mnt_async(mount, mnt_cb, argv[2], &root))) return failed("MNT", argv[2]);
    rpc_destroy_context(mount);
    struct rpc_context *nfs = open_link(argv[1], 2049, NFS_PROGRAM, NFS_V2);
    const int bad = walk(nfs, root.fh, "");
    printf("pages\t%d\n", pages);
    rpc_destroy_context(nfs);
    return bad;
}
