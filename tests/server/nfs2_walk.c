/* Walks an export over NFS version 2 with libnfs raw calls (MOUNT version 1,
 * READDIR paged by cookie, LOOKUP, READ, READLINK), for the server tests.
 *
 * usage: nfs2_walk [-c COUNT] HOST PATH
 *   -c COUNT  READDIR count, default 4096
 *
 * Output, one object a line, tab-separated:
 *   entry PATH TYPE MODE(octal) SIZE MTIME_SEC MTIME_USEC FILEID LISTED_FILEID RDEV CONTENT
 * CONTENT: FNV-1a 64 of a regular file's bytes (hex), a link's target, else "-".
 * Then "pages N" (READDIR calls made). Exit: 0, 1 on any failed call.
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

enum { MAX_ENTRIES = 256, NAME_MAX_BYTES = 512, PATH_BYTES = 4096 };

struct entry {
    char name[NAME_MAX_BYTES];
    uint32_t fileid;
};

/* What one call brought back; callbacks copy out of libnfs's records. */
struct reply {
    int done, failed;
    uint32_t status;
    char fh[FHSIZE2];
    struct fattr2 attr;
    struct entry entries[MAX_ENTRIES];
    int count, eof;
    char cookie[NFSCOOKIESIZE2];
    char text[PATH_BYTES];
    uint32_t data_len;
    uint64_t hash;
};

static void finish(struct reply *r, int status, uint32_t nfs_status) {
    r->done = 1;
    r->failed = status != RPC_STATUS_SUCCESS;
    r->status = nfs_status;
}

static void mnt_cb(struct rpc_context *rpc, int status, void *data, void *p) {
    struct reply *r = p;
    (void)rpc;
    const mountres1 *m = data;
    finish(r, status, status == RPC_STATUS_SUCCESS ? (uint32_t)m->fhs_status : 1);
    if (!r->failed && m->fhs_status == 0) memcpy(r->fh, m->mountres1_u.mountinfo.fhandle, FHSIZE2);
}

static void readdir_cb(struct rpc_context *rpc, int status, void *data, void *p) {
    struct reply *r = p;
    (void)rpc;
    const READDIR2res *res = data;
    finish(r, status, status == RPC_STATUS_SUCCESS ? (uint32_t)res->status : 1);
    if (r->failed || res->status != NFS3_OK) return;
    r->count = 0;
    for (const entry2 *e = res->READDIR2res_u.resok.entries; e && r->count < MAX_ENTRIES; e = e->nextentry) {
        snprintf(r->entries[r->count].name, NAME_MAX_BYTES, "%s", e->name);
        r->entries[r->count++].fileid = e->fileid;
        memcpy(r->cookie, e->cookie, NFSCOOKIESIZE2);
    }
    r->eof = (int)res->READDIR2res_u.resok.eof;
}

static void lookup_cb(struct rpc_context *rpc, int status, void *data, void *p) {
    struct reply *r = p;
    (void)rpc;
    const LOOKUP2res *res = data;
    finish(r, status, status == RPC_STATUS_SUCCESS ? (uint32_t)res->status : 1);
    if (r->failed || res->status != NFS3_OK) return;
    memcpy(r->fh, res->LOOKUP2res_u.resok.file, FHSIZE2);
    r->attr = res->LOOKUP2res_u.resok.attributes;
}

static void read_cb(struct rpc_context *rpc, int status, void *data, void *p) {
    struct reply *r = p;
    (void)rpc;
    const READ2res *res = data;
    finish(r, status, status == RPC_STATUS_SUCCESS ? (uint32_t)res->status : 1);
    if (r->failed || res->status != NFS3_OK) return;
    const nfsdata2 *d = &res->READ2res_u.resok.data;
    r->data_len = d->nfsdata2_len;
    for (uint32_t i = 0; i < d->nfsdata2_len; ++i) r->hash = (r->hash ^ (uint8_t)d->nfsdata2_val[i]) * 0x100000001b3ull;
}

static void readlink_cb(struct rpc_context *rpc, int status, void *data, void *p) {
    struct reply *r = p;
    (void)rpc;
    const READLINK2res *res = data;
    finish(r, status, status == RPC_STATUS_SUCCESS ? (uint32_t)res->status : 1);
    if (!r->failed && res->status == NFS3_OK) snprintf(r->text, sizeof r->text, "%s", res->READLINK2res_u.resok.data);
}

static void connect_cb(struct rpc_context *rpc, int status, void *data, void *p) {
    (void)rpc;
    (void)data;
    finish(p, status, 0);
}

/* Serves the context until the reply is in (5 s at most). 0: an NFS_OK reply. */
static int wait_reply(struct rpc_context *rpc, struct reply *r, int queued) {
    if (queued != 0) return -1;
    for (int rounds = 0; !r->done && rounds < 50; ++rounds) {
        struct pollfd pfd = {.fd = rpc_get_fd(rpc), .events = (short)rpc_which_events(rpc)};
        if (poll(&pfd, 1, 100) < 0 || rpc_service(rpc, pfd.revents) < 0) return -1;
    }
    return r->done && !r->failed && r->status == 0 ? 0 : -1;
}

static struct rpc_context *open_link(const char *host, int port, int program, int version) {
    struct rpc_context *rpc = rpc_init_context();
    struct reply r = {0};
    if (!rpc || wait_reply(rpc, &r, rpc_connect_port_async(rpc, host, port, program, version, connect_cb, &r)) != 0) {
        fprintf(stderr, "nfs2_walk: cannot connect to %s:%d\n", host, port);
        exit(1);
    }
    return rpc;
}

static int failed_call(const char *what, const char *path, const struct reply *r) {
    fprintf(stderr, "nfs2_walk: %s %s failed (status %u)\n", what, path, r->status);
    return 1;
}

static int pages;

static int describe(struct rpc_context *rpc, const char *path, const struct reply *found, uint32_t listed) {
    const struct fattr2 *a = &found->attr;
    char content[PATH_BYTES] = "-";
    if (a->type == NF2REG) {
        struct reply r = {.hash = 0xcbf29ce484222325ull};
        for (uint32_t offset = 0;; offset += r.data_len) {
            struct READ2args args = {.offset = offset, .count = 8192};
            memcpy(args.file, found->fh, FHSIZE2);
            r.done = 0;
            if (wait_reply(rpc, &r, rpc_nfs2_read_async(rpc, read_cb, &args, &r)) != 0)
                return failed_call("READ", path, &r);
            if (r.data_len == 0) break;
        }
        snprintf(content, sizeof content, "%016llx", (unsigned long long)r.hash);
    } else if (a->type == NF2LNK) {
        struct reply r = {0};
        struct READLINK2args args;
        memcpy(args.file, found->fh, FHSIZE2);
        if (wait_reply(rpc, &r, rpc_nfs2_readlink_async(rpc, readlink_cb, &args, &r)) != 0)
            return failed_call("READLINK", path, &r);
        snprintf(content, sizeof content, "%s", r.text);
    }
    printf("entry\t%s\t%d\t%o\t%u\t%u\t%u\t%u\t%u\t%u\t%s\n", path, (int)a->type, a->mode, a->size,
           a->mtime.seconds, a->mtime.nseconds, a->fileid, listed, a->rdev, content);
    return 0;
}

/* Lists dir page by page, then describes and descends into each name. */
static int walk(struct rpc_context *rpc, const char *dir_fh, const char *prefix, uint32_t count) {
    static struct reply page;
    struct entry *names = calloc(4096, sizeof *names);
    int n = 0, failed = 0;
    char cookie[NFSCOOKIESIZE2] = {0};
    for (int eof = 0; !eof && n < 4096;) {
        struct READDIR2args args = {.count = count};
        memcpy(args.dir, dir_fh, FHSIZE2);
        memcpy(args.cookie, cookie, NFSCOOKIESIZE2);
        memset(&page, 0, sizeof page);
        ++pages;
        if (wait_reply(rpc, &page, rpc_nfs2_readdir_async(rpc, readdir_cb, &args, &page)) != 0) {
            free(names);
            return failed_call("READDIR", prefix, &page);
        }
        if (page.count == 0 && !page.eof) break;   /* no progress: the server would loop us */
        for (int i = 0; i < page.count && n < 4096; ++i) names[n++] = page.entries[i];
        memcpy(cookie, page.cookie, NFSCOOKIESIZE2);
        eof = page.eof;
    }
    for (int i = 0; i < n && !failed; ++i) {
        if (strcmp(names[i].name, ".") == 0 || strcmp(names[i].name, "..") == 0) continue;
        char path[PATH_BYTES];
        snprintf(path, sizeof path, "%s%s%s", prefix, *prefix ? "/" : "", names[i].name);
        struct reply found = {0};
        struct LOOKUP2args args = {.what = {.name = names[i].name}};
        memcpy(args.what.dir, dir_fh, FHSIZE2);
        if (wait_reply(rpc, &found, rpc_nfs2_lookup_async(rpc, lookup_cb, &args, &found)) != 0) {
            failed = failed_call("LOOKUP", path, &found);
            break;
        }
        failed = describe(rpc, path, &found, names[i].fileid);
        if (!failed && found.attr.type == NF2DIR) failed = walk(rpc, found.fh, path, count);
    }
    free(names);
    return failed;
}

int main(int argc, char **argv) {
    uint32_t count = 4096;
    int i = 1;
    if (argc > 2 && strcmp(argv[1], "-c") == 0) {
        count = (uint32_t)strtoul(argv[2], NULL, 0);
        i = 3;
    }
    if (argc - i != 2) {
        fprintf(stderr, "usage: nfs2_walk [-c COUNT] HOST PATH\n");
        return 64;
    }
    struct rpc_context *mount = open_link(argv[i], 1058, MOUNT_PROGRAM, MOUNT_V1);
    struct reply root = {0};
    if (wait_reply(mount, &root, rpc_mount1_mnt_async(mount, mnt_cb, argv[i + 1], &root)) != 0)
        return failed_call("MNT", argv[i + 1], &root);
    rpc_destroy_context(mount);
    struct rpc_context *nfs = open_link(argv[i], 2049, NFS_PROGRAM, NFS_V2);
    const int failed = walk(nfs, root.fh, "", count);
    printf("pages\t%d\n", pages);
    rpc_destroy_context(nfs);
    return failed;
}
