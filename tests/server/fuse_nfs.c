/* A small FUSE 3 file system over libnfs raw NFS version 3 calls, so that the
 * tests can run ordinary programs (tar, rm, ls) on an export. Every call goes
 * to the server: zero entry and attribute time-outs, direct I/O, one request
 * at a time. Inode numbers index the file handles met so far.
 *
 * usage: fuse_nfs HOST EXPORT MOUNTPOINT   (runs in the foreground until unmounted)
 * Exit: 0 unmounted, 2 no server or mount, 77 no FUSE here, 64 usage.
 */
#define FUSE_USE_VERSION 34
#include "libnfs_serve.h"

#include <nfsc/libnfs-raw-mount.h>
#include <nfsc/libnfs-raw-nfs.h>

#include <errno.h>
#include <fcntl.h>
#include <fuse_lowlevel.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

enum { IO_CHUNK = 32768, DIR_BYTES = 8192 };   /* MOUNT_PROGRAM and NFS_PROGRAM come with libnfs */

static struct rpc_context *g_rpc;

/* ---- handles by inode number (inode 1 is the export's root) ------------- */

struct node {
    u_int len;
    char data[NFS3_FHSIZE];
};
static struct node *g_nodes;
static size_t g_count, g_room;

static fuse_ino_t ino_of(const nfs_fh3 *fh) {
    for (size_t i = 0; i < g_count; ++i)
        if (g_nodes[i].len == fh->data.data_len && memcmp(g_nodes[i].data, fh->data.data_val, fh->data.data_len) == 0)
            return i + 1;
    if (fh->data.data_len > NFS3_FHSIZE) return 0;
    if (g_count == g_room) {
        g_room = g_room ? 2 * g_room : 256;
        g_nodes = realloc(g_nodes, g_room * sizeof *g_nodes);
        if (!g_nodes) abort();
    }
    g_nodes[g_count].len = fh->data.data_len;
    memcpy(g_nodes[g_count].data, fh->data.data_val, fh->data.data_len);
    return ++g_count;
}

static nfs_fh3 fh_of(fuse_ino_t ino) {
    nfs_fh3 fh = {{0, NULL}};
    if (ino >= 1 && ino <= g_count) {
        fh.data.data_len = g_nodes[ino - 1].len;
        fh.data.data_val = g_nodes[ino - 1].data;
    }
    return fh;
}

/* ---- one call at a time ---------------------------------------------- */

/* What a call brings back, copied out inside the callback. */
struct result {
    int done, rpc_status, status;
    void (*take)(void *data, struct result *r);
    int has_fh, has_attr;
    struct node fh;
    fattr3 attr;
    char *buffer;   /* READ data, READLINK target */
    size_t buffer_room, got;
    int eof;
    cookieverf3 verf;
    struct dir_entry {
        uint64_t fileid, cookie;
        char name[256];
        int has_fh, has_attr;
        struct node fh;
        fattr3 attr;
    } *entries;
    size_t entry_count, entry_room;
};

static void call_cb(struct rpc_context *rpc, int status, void *data, void *p) {
    struct result *r = p;
    (void)rpc;
    r->done = 1;
    r->rpc_status = status;
    if (status != RPC_STATUS_SUCCESS || !data) return;   /* a connect brings no result */
    r->status = *(const int *)data;   /* every version 3 result starts with its status */
    if (r->status == NFS3_OK && r->take) r->take(data, r);
}

static int to_errno(int status) {
    switch (status) {
    case NFS3ERR_PERM: return EPERM;
    case NFS3ERR_NOENT: return ENOENT;
    case NFS3ERR_ACCES: return EACCES;
    case NFS3ERR_EXIST: return EEXIST;
    case NFS3ERR_XDEV: return EXDEV;
    case NFS3ERR_NOTDIR: return ENOTDIR;
    case NFS3ERR_ISDIR: return EISDIR;
    case NFS3ERR_INVAL: return EINVAL;
    case NFS3ERR_FBIG: return EFBIG;
    case NFS3ERR_NOSPC: return ENOSPC;
    case NFS3ERR_ROFS: return EROFS;
    case NFS3ERR_MLINK: return EMLINK;
    case NFS3ERR_NAMETOOLONG: return ENAMETOOLONG;
    case NFS3ERR_NOTEMPTY: return ENOTEMPTY;
    case NFS3ERR_DQUOT: return EDQUOT;
    case NFS3ERR_STALE: return ESTALE;
    case NFS3ERR_NOTSUPP: return EOPNOTSUPP;
    default: return EIO;
    }
}

/* 0, or the errno of a failed call. */
static int run(struct result *r, int queued) {
    int exit_code = 0;
    if (queued != 0) return EIO;
    serve_until_done(g_rpc, &r->done, &exit_code, 30.0, "fuse_nfs");
    if (!r->done || r->rpc_status != RPC_STATUS_SUCCESS) return EIO;
    return r->status == NFS3_OK ? 0 : to_errno(r->status);
}

static void keep_fh(struct result *r, const nfs_fh3 *fh) {
    if (fh->data.data_len > NFS3_FHSIZE) return;
    r->has_fh = 1;
    r->fh.len = fh->data.data_len;
    memcpy(r->fh.data, fh->data.data_val, fh->data.data_len);
}

static void keep_attr(struct result *r, const post_op_attr *a) {
    if ((r->has_attr = a->attributes_follow != 0)) r->attr = a->post_op_attr_u.attributes;
}

static void take_getattr(void *data, struct result *r) {
    r->has_attr = 1;
    r->attr = ((GETATTR3res *)data)->GETATTR3res_u.resok.obj_attributes;
}

static void take_lookup(void *data, struct result *r) {
    const LOOKUP3resok *ok = &((LOOKUP3res *)data)->LOOKUP3res_u.resok;
    keep_fh(r, &ok->object);
    keep_attr(r, &ok->obj_attributes);
}

/* CREATE, MKDIR and SYMLINK answer alike: an optional handle and attributes. */
#define TAKE_NEW(NAME, RES, OK)                                                  \
    static void NAME(void *data, struct result *r) {                             \
        const OK *ok = &((RES *)data)->RES##_u.resok;                            \
        if (ok->obj.handle_follows) keep_fh(r, &ok->obj.post_op_fh3_u.handle);   \
        keep_attr(r, &ok->obj_attributes);                                       \
    }
TAKE_NEW(take_create, CREATE3res, CREATE3resok)
TAKE_NEW(take_mkdir, MKDIR3res, MKDIR3resok)
TAKE_NEW(take_symlink, SYMLINK3res, SYMLINK3resok)

static void take_read(void *data, struct result *r) {
    const READ3resok *ok = &((READ3res *)data)->READ3res_u.resok;
    size_t n = ok->data.data_len < r->buffer_room ? ok->data.data_len : r->buffer_room;
    memcpy(r->buffer, ok->data.data_val, n);
    r->got = n;
    r->eof = (int)ok->eof;
}

static void take_write(void *data, struct result *r) { r->got = ((WRITE3res *)data)->WRITE3res_u.resok.count; }

static void take_readlink(void *data, struct result *r) {
    const char *target = ((READLINK3res *)data)->READLINK3res_u.resok.data;
    snprintf(r->buffer, r->buffer_room, "%s", target ? target : "");
}

static struct dir_entry *new_entry(struct result *r, uint64_t fileid, uint64_t cookie, const char *name);

static void take_readdir(void *data, struct result *r) {
    const READDIR3resok *ok = &((READDIR3res *)data)->READDIR3res_u.resok;
    memcpy(r->verf, ok->cookieverf, sizeof r->verf);
    r->eof = (int)ok->reply.eof;
    for (const entry3 *e = ok->reply.entries; e; e = e->nextentry) new_entry(r, e->fileid, e->cookie, e->name);
}

static struct dir_entry *new_entry(struct result *r, uint64_t fileid, uint64_t cookie, const char *name) {
    if (r->entry_count == r->entry_room) {
        r->entry_room = r->entry_room ? 2 * r->entry_room : 64;
        r->entries = realloc(r->entries, r->entry_room * sizeof *r->entries);
        if (!r->entries) abort();
    }
    struct dir_entry *d = &r->entries[r->entry_count++];
    memset(d, 0, sizeof *d);
    d->fileid = fileid;
    d->cookie = cookie;
    snprintf(d->name, sizeof d->name, "%s", name);
    return d;
}

static void take_readdirplus(void *data, struct result *r) {
    const READDIRPLUS3resok *ok = &((READDIRPLUS3res *)data)->READDIRPLUS3res_u.resok;
    memcpy(r->verf, ok->cookieverf, sizeof r->verf);
    r->eof = (int)ok->reply.eof;
    for (const entryplus3 *e = ok->reply.entries; e; e = e->nextentry) {
        struct dir_entry *d = new_entry(r, e->fileid, e->cookie, e->name);
        const nfs_fh3 *fh = &e->name_handle.post_op_fh3_u.handle;
        if (e->name_handle.handle_follows && fh->data.data_len <= NFS3_FHSIZE) {
            d->has_fh = 1;
            d->fh.len = fh->data.data_len;
            memcpy(d->fh.data, fh->data.data_val, fh->data.data_len);
        }
        if ((d->has_attr = e->name_attributes.attributes_follow != 0)) d->attr = e->name_attributes.post_op_attr_u.attributes;
    }
}

/* ---- attributes ------------------------------------------------------- */

static void to_stat(fuse_ino_t ino, const fattr3 *a, struct stat *st) {
    static const mode_t kinds[] = {0, S_IFREG, S_IFDIR, S_IFBLK, S_IFCHR, S_IFLNK, S_IFSOCK, S_IFIFO};
    memset(st, 0, sizeof *st);
    st->st_ino = ino;
    st->st_mode = (a->type >= 1 && a->type <= 7 ? kinds[a->type] : S_IFREG) | (a->mode & 07777);
    st->st_nlink = a->nlink;
    st->st_uid = a->uid;
    st->st_gid = a->gid;
    st->st_size = (off_t)a->size;
    st->st_blocks = (blkcnt_t)((a->used + 511) / 512);
    st->st_atim.tv_sec = a->atime.seconds;
    st->st_atim.tv_nsec = a->atime.nseconds;
    st->st_mtim.tv_sec = a->mtime.seconds;
    st->st_mtim.tv_nsec = a->mtime.nseconds;
    st->st_ctim.tv_sec = a->ctime.seconds;
    st->st_ctim.tv_nsec = a->ctime.nseconds;
}

static int getattr_of(fuse_ino_t ino, fattr3 *out) {
    struct result r = {.take = take_getattr};
    GETATTR3args a = {fh_of(ino)};
    int err = run(&r, rpc_nfs3_getattr_async(g_rpc, call_cb, &a, &r));
    if (!err) *out = r.attr;
    return err;
}

/* The entry of a call that made or found an object. */
static void reply_entry(fuse_req_t req, struct result *r, fuse_ino_t parent, const char *name,
                        struct fuse_file_info *fi) {
    if (!r->has_fh) {   /* no handle in the reply: look it up */
        struct result l = {.take = take_lookup};
        LOOKUP3args a = {{fh_of(parent), (char *)name}};
        int err = run(&l, rpc_nfs3_lookup_async(g_rpc, call_cb, &a, &l));
        if (err || !l.has_fh) return (void)fuse_reply_err(req, err ? err : EIO);
        *r = l;
    }
    nfs_fh3 fh = {{r->fh.len, r->fh.data}};
    struct fuse_entry_param e = {.ino = ino_of(&fh), .generation = 1, .attr_timeout = 0, .entry_timeout = 0};
    if (!r->has_attr && getattr_of(e.ino, &r->attr)) return (void)fuse_reply_err(req, EIO);
    to_stat(e.ino, &r->attr, &e.attr);
    if (fi) {
        fi->direct_io = 1;
        fuse_reply_create(req, &e, fi);
    } else {
        fuse_reply_entry(req, &e);
    }
}

static sattr3 sattr_of(const struct stat *st, int to_set) {
    sattr3 s;
    memset(&s, 0, sizeof s);
    if (to_set & FUSE_SET_ATTR_MODE) s.mode.set_it = 1, s.mode.set_mode3_u.mode = st->st_mode & 07777;
    if (to_set & FUSE_SET_ATTR_UID) s.uid.set_it = 1, s.uid.set_uid3_u.uid = st->st_uid;
    if (to_set & FUSE_SET_ATTR_GID) s.gid.set_it = 1, s.gid.set_gid3_u.gid = st->st_gid;
    if (to_set & FUSE_SET_ATTR_SIZE) s.size.set_it = 1, s.size.set_size3_u.size = (uint64_t)st->st_size;
    if (to_set & FUSE_SET_ATTR_ATIME_NOW) s.atime.set_it = SET_TO_SERVER_TIME;
    else if (to_set & FUSE_SET_ATTR_ATIME)
        s.atime.set_it = SET_TO_CLIENT_TIME, s.atime.set_atime_u.atime.seconds = (u_int)st->st_atim.tv_sec,
        s.atime.set_atime_u.atime.nseconds = (u_int)st->st_atim.tv_nsec;
    if (to_set & FUSE_SET_ATTR_MTIME_NOW) s.mtime.set_it = SET_TO_SERVER_TIME;
    else if (to_set & FUSE_SET_ATTR_MTIME)
        s.mtime.set_it = SET_TO_CLIENT_TIME, s.mtime.set_mtime_u.mtime.seconds = (u_int)st->st_mtim.tv_sec,
        s.mtime.set_mtime_u.mtime.nseconds = (u_int)st->st_mtim.tv_nsec;
    return s;
}

/* ---- the operations ---------------------------------------------------- */

static void op_lookup(fuse_req_t req, fuse_ino_t parent, const char *name) {
    struct result r = {.take = take_lookup};
    LOOKUP3args a = {{fh_of(parent), (char *)name}};
    int err = run(&r, rpc_nfs3_lookup_async(g_rpc, call_cb, &a, &r));
    if (err) return (void)fuse_reply_err(req, err);
    reply_entry(req, &r, parent, name, NULL);
}

static void op_getattr(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info *fi) {
    (void)fi;
    fattr3 a;
    int err = getattr_of(ino, &a);
    if (err) return (void)fuse_reply_err(req, err);
    struct stat st;
    to_stat(ino, &a, &st);
    fuse_reply_attr(req, &st, 0.0);
}

static void op_setattr(fuse_req_t req, fuse_ino_t ino, struct stat *attr, int to_set, struct fuse_file_info *fi) {
    (void)fi;
    struct result r = {0};
    SETATTR3args a;
    memset(&a, 0, sizeof a);
    a.object = fh_of(ino);
    a.new_attributes = sattr_of(attr, to_set);
    int err = run(&r, rpc_nfs3_setattr_async(g_rpc, call_cb, &a, &r));
    if (err) return (void)fuse_reply_err(req, err);
    op_getattr(req, ino, NULL);
}

static void op_mkdir(fuse_req_t req, fuse_ino_t parent, const char *name, mode_t mode) {
    struct result r = {.take = take_mkdir};
    struct stat st = {.st_mode = mode};
    MKDIR3args a = {{fh_of(parent), (char *)name}, sattr_of(&st, FUSE_SET_ATTR_MODE)};
    int err = run(&r, rpc_nfs3_mkdir_async(g_rpc, call_cb, &a, &r));
    if (err) return (void)fuse_reply_err(req, err);
    reply_entry(req, &r, parent, name, NULL);
}

static void op_create(fuse_req_t req, fuse_ino_t parent, const char *name, mode_t mode, struct fuse_file_info *fi) {
    struct result r = {.take = take_create};
    struct stat st = {.st_mode = mode};
    CREATE3args a;
    memset(&a, 0, sizeof a);
    a.where.dir = fh_of(parent);
    a.where.name = (char *)name;
    a.how.mode = (fi->flags & O_EXCL) ? GUARDED : UNCHECKED;
    a.how.createhow3_u.obj_attributes = sattr_of(&st, FUSE_SET_ATTR_MODE);
    int err = run(&r, rpc_nfs3_create_async(g_rpc, call_cb, &a, &r));
    if (err) return (void)fuse_reply_err(req, err);
    reply_entry(req, &r, parent, name, fi);
}

static void op_symlink(fuse_req_t req, const char *target, fuse_ino_t parent, const char *name) {
    struct result r = {.take = take_symlink};
    SYMLINK3args a;
    memset(&a, 0, sizeof a);
    a.where.dir = fh_of(parent);
    a.where.name = (char *)name;
    a.symlink.symlink_data = (char *)target;
    int err = run(&r, rpc_nfs3_symlink_async(g_rpc, call_cb, &a, &r));
    if (err) return (void)fuse_reply_err(req, err);
    reply_entry(req, &r, parent, name, NULL);
}

static void op_readlink(fuse_req_t req, fuse_ino_t ino) {
    char target[4096];
    struct result r = {.take = take_readlink, .buffer = target, .buffer_room = sizeof target};
    READLINK3args a = {fh_of(ino)};
    int err = run(&r, rpc_nfs3_readlink_async(g_rpc, call_cb, &a, &r));
    if (err) return (void)fuse_reply_err(req, err);
    fuse_reply_readlink(req, target);
}

static void op_unlink(fuse_req_t req, fuse_ino_t parent, const char *name) {
    struct result r = {0};
    REMOVE3args a = {{fh_of(parent), (char *)name}};
    fuse_reply_err(req, run(&r, rpc_nfs3_remove_async(g_rpc, call_cb, &a, &r)));
}

static void op_rmdir(fuse_req_t req, fuse_ino_t parent, const char *name) {
    struct result r = {0};
    RMDIR3args a = {{fh_of(parent), (char *)name}};
    fuse_reply_err(req, run(&r, rpc_nfs3_rmdir_async(g_rpc, call_cb, &a, &r)));
}

static void op_rename(fuse_req_t req, fuse_ino_t parent, const char *name, fuse_ino_t newparent, const char *newname,
                      unsigned int flags) {
    if (flags) return (void)fuse_reply_err(req, EINVAL);
    struct result r = {0};
    RENAME3args a = {{fh_of(parent), (char *)name}, {fh_of(newparent), (char *)newname}};
    fuse_reply_err(req, run(&r, rpc_nfs3_rename_async(g_rpc, call_cb, &a, &r)));
}

static void take_link(void *data, struct result *r) {
    keep_attr(r, &((LINK3res *)data)->LINK3res_u.resok.file_attributes);
}

static void op_link(fuse_req_t req, fuse_ino_t ino, fuse_ino_t newparent, const char *newname) {
    struct result r = {.take = take_link};
    LINK3args a = {fh_of(ino), {fh_of(newparent), (char *)newname}};
    int err = run(&r, rpc_nfs3_link_async(g_rpc, call_cb, &a, &r));
    if (err) return (void)fuse_reply_err(req, err);
    keep_fh(&r, &a.file);
    reply_entry(req, &r, newparent, newname, NULL);
}

static void op_open(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info *fi) {
    (void)ino;
    fi->direct_io = 1;
    fuse_reply_open(req, fi);
}

static void op_read(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, struct fuse_file_info *fi) {
    (void)fi;
    char *data = malloc(size ? size : 1);
    if (!data) return (void)fuse_reply_err(req, ENOMEM);
    size_t have = 0;
    while (have < size) {
        struct result r = {.take = take_read, .buffer = data + have, .buffer_room = size - have};
        READ3args a = {fh_of(ino), (uint64_t)off + have, (u_int)(size - have < IO_CHUNK ? size - have : IO_CHUNK)};
        int err = run(&r, rpc_nfs3_read_async(g_rpc, call_cb, &a, &r));
        if (err) {
            free(data);
            return (void)fuse_reply_err(req, err);
        }
        have += r.got;
        if (r.eof || r.got == 0) break;
    }
    fuse_reply_buf(req, data, have);
    free(data);
}

static void op_write(fuse_req_t req, fuse_ino_t ino, const char *buf, size_t size, off_t off,
                     struct fuse_file_info *fi) {
    (void)fi;
    size_t done = 0;
    while (done < size) {
        struct result r = {.take = take_write};
        WRITE3args a;
        memset(&a, 0, sizeof a);
        a.file = fh_of(ino);
        a.offset = (uint64_t)off + done;
        a.count = (u_int)(size - done < IO_CHUNK ? size - done : IO_CHUNK);
        a.stable = FILE_SYNC;
        a.data.data_len = a.count;
        a.data.data_val = (char *)buf + done;
        int err = run(&r, rpc_nfs3_write_async(g_rpc, call_cb, &a, &r));
        if (err || r.got == 0) return (void)fuse_reply_err(req, err ? err : EIO);
        done += r.got;
    }
    fuse_reply_write(req, done);
}

/* A listing continues from the cookie of the last entry handed out; the
 * verifier of the open directory travels in fi->fh. */
static void op_opendir(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info *fi) {
    (void)ino;
    fi->fh = (uint64_t)(uintptr_t)calloc(1, sizeof(cookieverf3));
    if (!fi->fh) return (void)fuse_reply_err(req, ENOMEM);
    fuse_reply_open(req, fi);
}

static void op_releasedir(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info *fi) {
    (void)ino;
    free((void *)(uintptr_t)fi->fh);
    fuse_reply_err(req, 0);
}

static int g_no_plus;

/* READDIRPLUS hands the kernel each entry with its handle and attributes, as
 * libnfs's own directory reading does; plain READDIR only the names. */
static void list_dir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, struct fuse_file_info *fi, int plus) {
    const int nfs_plus = plus && !g_no_plus;   /* plus: the kernel's readdirplus format */
    char *verf = (char *)(uintptr_t)fi->fh;
    char *buf = calloc(1, size);
    if (!buf) return (void)fuse_reply_err(req, ENOMEM);
    size_t used = 0;
    uint64_t cookie = (uint64_t)off;
    for (int pages = 0; pages < 1000; ++pages) {
        struct result r = {.take = nfs_plus ? take_readdirplus : take_readdir};
        int err;
        if (nfs_plus) {
            READDIRPLUS3args a;
            memset(&a, 0, sizeof a);
            a.dir = fh_of(ino);
            a.cookie = cookie;
            if (cookie) memcpy(a.cookieverf, verf, sizeof a.cookieverf);
            a.dircount = DIR_BYTES / 2;
            a.maxcount = DIR_BYTES;
            err = run(&r, rpc_nfs3_readdirplus_async(g_rpc, call_cb, &a, &r));
            if (err == EOPNOTSUPP) {   /* READDIRPLUS turned off: READDIR from now on, as libnfs does */
                g_no_plus = 1;
                free(r.entries);
                free(buf);
                return list_dir(req, ino, size, off, fi, plus);
            }
        } else {
            READDIR3args a;
            memset(&a, 0, sizeof a);
            a.dir = fh_of(ino);
            a.cookie = cookie;
            if (cookie) memcpy(a.cookieverf, verf, sizeof a.cookieverf);
            a.count = DIR_BYTES;
            err = run(&r, rpc_nfs3_readdir_async(g_rpc, call_cb, &a, &r));
        }
        if (err) {
            free(r.entries);
            free(buf);
            return (void)fuse_reply_err(req, err);
        }
        memcpy(verf, r.verf, sizeof r.verf);
        int full = 0;
        for (size_t i = 0; i < r.entry_count && !full; ++i) {
            const struct dir_entry *d = &r.entries[i];
            size_t n;
            if (plus) {
                struct fuse_entry_param e = {.generation = 1};
                int dots = strcmp(d->name, ".") == 0 || strcmp(d->name, "..") == 0;
                if (d->has_fh && d->has_attr && !dots) {
                    nfs_fh3 fh = {{d->fh.len, (char *)d->fh.data}};
                    e.ino = ino_of(&fh);
                    to_stat(e.ino, &d->attr, &e.attr);
                } else {
                    e.attr.st_ino = d->fileid;
                }
                n = fuse_add_direntry_plus(req, buf + used, size - used, d->name, &e, (off_t)d->cookie);
            } else {
                struct stat st = {.st_ino = d->fileid};
                n = fuse_add_direntry(req, buf + used, size - used, d->name, &st, (off_t)d->cookie);
            }
            if (n > size - used) full = 1;
            else used += n, cookie = r.entries[i].cookie;
        }
        free(r.entries);
        if (full || r.eof || r.entry_count == 0) break;
    }
    fuse_reply_buf(req, buf, used);
    free(buf);
}

static void op_readdir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, struct fuse_file_info *fi) {
    list_dir(req, ino, size, off, fi, 0);
}


static void op_readdirplus(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, struct fuse_file_info *fi) {
    list_dir(req, ino, size, off, fi, 1);
}

static void op_ok(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info *fi) {
    (void)ino;
    (void)fi;
    fuse_reply_err(req, 0);
}

static void op_fsync(fuse_req_t req, fuse_ino_t ino, int datasync, struct fuse_file_info *fi) {
    (void)datasync;
    op_ok(req, ino, fi);
}

static const struct fuse_lowlevel_ops k_ops = {
    .lookup = op_lookup,
    .getattr = op_getattr,
    .setattr = op_setattr,
    .readlink = op_readlink,
    .mkdir = op_mkdir,
    .unlink = op_unlink,
    .rmdir = op_rmdir,
    .symlink = op_symlink,
    .rename = op_rename,
    .link = op_link,
    .open = op_open,
    .read = op_read,
    .write = op_write,
    .flush = op_ok,
    .release = op_ok,
    .fsync = op_fsync,
    .opendir = op_opendir,
    .readdir = op_readdir,
    .readdirplus = op_readdirplus,
    .releasedir = op_releasedir,
    .create = op_create,
};

/* ---- start ----------------------------------------------------------- */

static void take_mnt(void *data, struct result *r) {
    const mountres3_ok *ok = &((mountres3 *)data)->mountres3_u.mountinfo;
    nfs_fh3 fh = {{ok->fhandle.fhandle3_len, ok->fhandle.fhandle3_val}};
    keep_fh(r, &fh);
}

static int connect_to(struct rpc_context *rpc, const char *host, int program) {
    struct result r = {0};
    int exit_code = 0;
    if (rpc_connect_program_async(rpc, host, program, 3, call_cb, &r) != 0) return 0;
    serve_until_done(rpc, &r.done, &exit_code, 10.0, "fuse_nfs");
    return r.done && r.rpc_status == RPC_STATUS_SUCCESS;
}

int main(int argc, char **argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: fuse_nfs HOST EXPORT MOUNTPOINT\n");
        return EXIT_USAGE;
    }
    if (access("/dev/fuse", R_OK | W_OK) != 0) {
        fprintf(stderr, "fuse_nfs: no /dev/fuse\n");
        return 77;
    }
    struct rpc_context *mount = rpc_init_context();
    g_rpc = rpc_init_context();
    if (!mount || !g_rpc || !connect_to(mount, argv[1], MOUNT_PROGRAM) || !connect_to(g_rpc, argv[1], NFS_PROGRAM)) {
        fprintf(stderr, "fuse_nfs: cannot reach %s\n", argv[1]);
        return EXIT_CONNECT;
    }
    struct result m = {.take = take_mnt};
    struct rpc_context *saved = g_rpc;
    g_rpc = mount;
    int err = run(&m, rpc_mount3_mnt_async(mount, call_cb, argv[2], &m));
    g_rpc = saved;
    rpc_destroy_context(mount);
    if (err || !m.has_fh) {
        fprintf(stderr, "fuse_nfs: MNT %s failed\n", argv[2]);
        return EXIT_CONNECT;
    }
    nfs_fh3 root = {{m.fh.len, m.fh.data}};
    ino_of(&root);

    char *fuse_argv[] = {argv[0], "-o", "fsname=fuse_nfs,subtype=nfs", NULL};
    struct fuse_args args = FUSE_ARGS_INIT(3, fuse_argv);
    struct fuse_session *se = fuse_session_new(&args, &k_ops, sizeof k_ops, NULL);
    if (!se) return EXIT_CONNECT;
    int rc = 2;
    if (fuse_set_signal_handlers(se) == 0) {
        if (fuse_session_mount(se, argv[3]) == 0) {
            rc = fuse_session_loop(se) == 0 ? 0 : 1;
            fuse_session_unmount(se);
        }
        fuse_remove_signal_handlers(se);
    }
    fuse_session_destroy(se);
    rpc_destroy_context(g_rpc);
    free(g_nodes);
    return rc;
}
