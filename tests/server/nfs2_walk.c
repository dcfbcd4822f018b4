/* Walks a folder over NFS version 2 with libnfs raw calls (READDIR by cookie with count 1024,
 * LOOKUP, READ), for the tests.  usage: nfs2_walk HOST HANDLE (64 hex digits)
 * A line per object, tab-separated: PATH TYPE MODE(octal) SIZE MTIME_SEC MTIME_USEC FILEID
 * LISTED_FILEID HASH, HASH the FNV-1a 64 of a regular file's bytes.  Exit 1 when a call failed. */
#include <sys/time.h>

#include <nfsc/libnfs.h>
#include <nfsc/libnfs-raw.h>
#include <nfsc/libnfs-raw-nfs.h>

#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

enum { MAX_NAMES = 64 };

/* What one call brought back: libnfs's records live only during the callback. */
struct reply {
    int proc, done, ok, count, eof;
    char fh[FHSIZE2], cookie[NFSCOOKIESIZE2], names[MAX_NAMES][MAXNAMLEN2 + 1];
    uint32_t ids[MAX_NAMES], got;
    struct fattr2 attr;
    uint64_t hash;
};

/* Every version 2 result begins with its status; a connect has none. */
static void reply_cb(struct rpc_context *rpc, int status, void *data, void *p) {
    struct reply *r = p;
    (void)rpc;
    r->done = 1;
    if (!(r->ok = status == RPC_STATUS_SUCCESS && (r->proc == 0 || *(const nfsstat3 *)data == NFS3_OK))) return;
    if (r->proc == NFS2_READDIR) {
        const READDIR2resok *res = &((const READDIR2res *)data)->READDIR2res_u.resok;
        for (const entry2 *e = res->entries; e; e = e->nextentry) {
            if (r->count == MAX_NAMES) return (void)(r->ok = 0);   /* more than the tests make */
            snprintf(r->names[r->count], sizeof r->names[0], "%s", e->name);
            r->ids[r->count++] = e->fileid;
            memcpy(r->cookie, e->cookie, NFSCOOKIESIZE2);
        }
        r->eof = (int)res->eof;
    } else if (r->proc == NFS2_LOOKUP) {
        const LOOKUP2resok *res = &((const LOOKUP2res *)data)->LOOKUP2res_u.resok;
        memcpy(r->fh, res->file, FHSIZE2);
        r->attr = res->attributes;
    } else if (r->proc == NFS2_READ) {
        const READ2resok *res = &((const READ2res *)data)->READ2res_u.resok;
        r->got = res->data.nfsdata2_len;
        for (uint32_t i = 0; i < r->got; ++i)
            r->hash = (r->hash ^ (uint8_t)res->data.nfsdata2_val[i]) * 0x100000001b3ull;
    }
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

static int failed(const char *what, const char *path) {
    fprintf(stderr, "nfs2_walk: %s %s failed\n", what, path);
    return 1;
}

/* Lists the folder page by page, then prints and descends into each name. */
static int walk(struct rpc_context *rpc, const char *dir_fh, const char *prefix) {
    struct reply list = {.proc = NFS2_READDIR};
    while (!list.eof) {
        struct READDIR2args args = {.count = 1024};
        memcpy(args.dir, dir_fh, FHSIZE2);
        memcpy(args.cookie, list.cookie, NFSCOOKIESIZE2);
        const int before = list.count;   /* a page that adds nothing would never end */
        if (!wait_reply(rpc, &list, rpc_nfs2_readdir_async(rpc, reply_cb, &args, &list)) ||
            (list.count == before && !list.eof))
            return failed("READDIR", prefix);
    }
    for (int i = 0; i < list.count; ++i) {
        if (strcmp(list.names[i], ".") == 0 || strcmp(list.names[i], "..") == 0) continue;
        char path[4096];
        snprintf(path, sizeof path, "%s%s%s", prefix, *prefix ? "/" : "", list.names[i]);
        struct reply found = {.proc = NFS2_LOOKUP}, data = {.proc = NFS2_READ, .hash = 0xcbf29ce484222325ull};
        struct LOOKUP2args args = {.what = {.name = list.names[i]}};
        memcpy(args.what.dir, dir_fh, FHSIZE2);
        if (!wait_reply(rpc, &found, rpc_nfs2_lookup_async(rpc, reply_cb, &args, &found)))
            return failed("LOOKUP", path);
        for (uint32_t offset = 0; found.attr.type == NF2REG && offset < found.attr.size; offset += data.got) {
            struct READ2args read = {.offset = offset, .count = 8192};
            memcpy(read.file, found.fh, FHSIZE2);
            if (!wait_reply(rpc, &data, rpc_nfs2_read_async(rpc, reply_cb, &read, &data)) || data.got == 0)
                return failed("READ", path);
        }
        const struct fattr2 *a = &found.attr;
        printf("%s\t%d\t%o\t%u\t%u\t%u\t%u\t%u\t%llx\n", path, (int)a->type, a->mode, a->size, a->mtime.seconds,
               a->mtime.nseconds, a->fileid, list.ids[i], a->type == NF2REG ? (unsigned long long)data.hash : 0ull);
        if (a->type == NF2DIR && walk(rpc, found.fh, path)) return 1;
    }
    return 0;
}

int main(int argc, char **argv) {
    char root[FHSIZE2];
    for (int i = 0; argc == 3 && strlen(argv[2]) == 2 * FHSIZE2 && i < FHSIZE2; ++i)
        if (sscanf(argv[2] + 2 * i, "%2hhx", (unsigned char *)&root[i]) != 1) argc = 0;
    if (argc != 3 || strlen(argv[2]) != 2 * FHSIZE2) return fprintf(stderr, "usage: nfs2_walk HOST HANDLE\n"), 64;
    struct rpc_context *nfs = rpc_init_context();
    struct reply r = {0};
    if (!nfs) return failed("rpc_init_context", "");
    const int bad = wait_reply(nfs, &r, rpc_connect_port_async(nfs, argv[1], 2049, NFS_PROGRAM, NFS_V2, reply_cb, &r))
                        ? walk(nfs, root, "")
                        : failed("connect to", argv[1]);
    rpc_destroy_context(nfs);
    return bad;
}
