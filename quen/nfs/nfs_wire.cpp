#include "quen/nfs/nfs_wire.h"

#include <cstring>
#include <ctime>

bool nfs_get_bool(xdr_cursor* c, uint32_t* v) {
    const xdr_cursor saved = *c;
    if (!xdr_get_u32(c, v)) return false;
    if (*v <= 1) return true;
    *c = saved;
    return false;
}

bool nfs_get_data(xdr_cursor* c, uint32_t length, const uint8_t** data) {
    const xdr_cursor saved = *c;
    uint32_t sent;
    if (!xdr_get_u32(c, &sent)) return false;
    const int64_t left = int64_t(c->size) - int64_t(c->pos) * 4;
    if (sent != length || length > uint32_t(INT32_MAX) - 3 || int64_t(xdr_pad4(length)) > left) {
        *c = saved;
        return false;
    }
    *data = c->base + size_t(c->pos) * 4;
    c->pos += int32_t(xdr_pad4(length) / 4);
    return true;
}

bool nfs_get_fh3(xdr_cursor* c, nfs3_fh* fh) {
    const xdr_cursor saved = *c;
    uint32_t length;
    if (!xdr_get_u32(c, &length)) return false;
    if (length > NFS3_FH_MAX || !xdr_get_bytes(c, fh->data, length)) {
        *c = saved;
        return false;
    }
    fh->length = length;
    return true;
}

namespace {

// A non-empty name below max bytes without a NUL, which would cut it short
// where the file layer reads it.
bool get_name(xdr_cursor* c, char* out, uint32_t max) {
    const xdr_cursor saved = *c;
    if (!xdr_get_dirop_name(c, out, max)) return false;
    const uint32_t length = xdr_load32(saved.base + size_t(saved.pos) * 4);
    if (std::memchr(out, 0, length) == nullptr) return true;
    *c = saved;
    return false;
}

}  // namespace

bool nfs_get_dirop3(xdr_cursor* c, nfs_dirop3* d) {
    const xdr_cursor saved = *c;
    if (nfs_get_fh3(c, &d->dir) && get_name(c, d->name, XDR_NAME_MAX)) return true;
    *c = saved;
    return false;
}

bool nfs_get_dirop2(xdr_cursor* c, nfs_dirop2* d) {
    const xdr_cursor saved = *c;
    if (xdr_get_fh2(c, d->dir.data) && get_name(c, d->name, XDR_NAME_MAX)) return true;
    *c = saved;
    return false;
}

bool nfs_get_target(xdr_cursor* c, char out[XDR_PATH_MAX]) { return get_name(c, out, XDR_PATH_MAX); }

namespace {

bool get_optional(xdr_cursor* c, bool* set, uint32_t* v) {
    uint32_t flag;
    if (!nfs_get_bool(c, &flag)) return false;
    *set = flag != 0;
    return !*set || xdr_get_u32(c, v);
}

// time_how: any other value is not a time_how and does not decode.
bool get_time(xdr_cursor* c, uint32_t* how, bool* set, uint32_t* sec, uint32_t* nsec) {
    if (!xdr_get_u32(c, how) || *how > 2) return false;
    *set = *how != 0;
    if (*how == 1) {
        *sec = uint32_t(std::time(nullptr));
        *nsec = 0;
        return true;
    }
    return *how == 0 || (xdr_get_u32(c, sec) && xdr_get_u32(c, nsec));
}

}  // namespace

bool nfs3_get_sattr(xdr_cursor* c, nfs3_sattr* s) {
    const xdr_cursor saved = *c;
    *s = nfs3_sattr{};
    xdr_sattr& a = s->attr;
    uint32_t size_flag = 0;
    bool ok = get_optional(c, &a.set_mode, &a.mode) && get_optional(c, &a.set_uid, &a.uid) &&
              get_optional(c, &a.set_gid, &a.gid) && nfs_get_bool(c, &size_flag);
    if (ok) {
        a.set_size = size_flag != 0;
        ok = (!a.set_size || xdr_get_u64(c, &a.size)) &&
             get_time(c, &s->atime_how, &a.set_atime, &a.atime_sec, &a.atime_nsec) &&
             get_time(c, &s->mtime_how, &a.set_mtime, &a.mtime_sec, &a.mtime_nsec);
    }
    if (!ok) *c = saved;
    return ok;
}

bool nfs2_get_sattr(xdr_cursor* c, xdr_sattr* s) {
    constexpr uint32_t unset = 0xFFFFFFFFu, usec_max = 1000000;
    if (c->pos < 0 || int64_t(c->size) - int64_t(c->pos) * 4 < 32) return false;
    const uint8_t* w = c->base + size_t(c->pos) * 4;
    uint32_t usec[2];
    for (int i = 0; i < 2; ++i) {
        const uint32_t sec = xdr_load32(w + 16 + 8 * i);
        usec[i] = xdr_load32(w + 20 + 8 * i);
        if (usec[i] > usec_max && !(sec == unset && usec[i] == unset)) return false;
    }
    if (!xdr_get_sattr2(c, s)) return false;
    if (usec[0] == unset) s->atime_nsec = unset;
    if (usec[1] == unset) s->mtime_nsec = unset;
    return true;
}

nfs_pre_attr nfs_pre_attr_of(const file_attributes& a) { return nfs_pre_attr{true, a.size, a.mtime, a.ctime}; }

namespace {

uint8_t* put32(uint8_t* p, uint32_t v) { return p + xdr_enc_u32(p, v); }
uint8_t* put64(uint8_t* p, uint64_t v) { return p + xdr_enc_u64(p, v); }
uint8_t* put_time(uint8_t* p, const nfs_time& t) { return put32(put32(p, t.seconds), t.nseconds); }
uint8_t* put_time2(uint8_t* p, const nfs_time& t) { return put32(put32(p, t.seconds), t.nseconds / 1000); }

}  // namespace

size_t nfs_put_fattr3(uint8_t* dst, const file_attributes& a) {
    uint8_t* p = dst;
    p = put32(p, a.type);
    p = put32(p, a.mode & 07777);
    p = put32(p, a.nlink);
    p = put32(p, a.uid);
    p = put32(p, a.gid);
    p = put64(p, a.size);
    p = put64(p, a.size);   // used
    p = put32(p, a.rdev_major);
    p = put32(p, a.rdev_minor);
    p = put64(p, a.fsid);
    p = put64(p, a.fileid);
    p = put_time(p, a.atime);
    p = put_time(p, a.mtime);
    p = put_time(p, a.ctime);
    return size_t(p - dst);
}

size_t nfs_put_post_attr(uint8_t* dst, const nfs_post_attr& a) {
    xdr_store32(dst, a.present ? 1 : 0);
    return 4 + (a.present ? nfs_put_fattr3(dst + 4, a.attr) : 0);
}

size_t nfs_put_wcc(uint8_t* dst, const nfs_wcc& w) {
    uint8_t* p = put32(dst, w.before.present ? 1 : 0);
    if (w.before.present) p = put_time(put_time(put64(p, w.before.size), w.before.mtime), w.before.ctime);
    return size_t(p - dst) + nfs_put_post_attr(p, w.after);
}

size_t nfs_put_post_fh3(uint8_t* dst, const nfs3_fh& fh) {
    const uint32_t length = fh.length > NFS3_FH_MAX ? NFS3_FH_MAX : fh.length;
    xdr_store32(dst, 1);
    return 4 + xdr_enc_opaque(dst + 4, fh.data, length);
}

size_t nfs_put_fattr2(uint8_t* dst, const file_attributes& a) {
    constexpr uint32_t block = 4096;
    const uint64_t blocks = a.size / block + (a.size % block != 0);
    uint8_t* p = dst;
    p = put32(p, a.type);
    p = put32(p, a.mode);
    p = put32(p, a.nlink);
    p = put32(p, a.uid);
    p = put32(p, a.gid);
    p = put32(p, a.size > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(a.size));
    p = put32(p, block);
    p = put32(p, a.rdev_minor | (a.rdev_major << 8));
    p = put32(p, blocks > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(blocks));
    p = put32(p, a.fsid);
    p = put32(p, nfs2_fileid(a.fileid));
    p = put_time2(p, a.atime);
    p = put_time2(p, a.mtime);
    p = put_time2(p, a.ctime);
    return size_t(p - dst);
}

size_t nfs_put_data(uint8_t* dst, const uint8_t* data, uint32_t count) {
    if (count && data != dst) std::memmove(dst, data, count);
    const uint32_t padded = xdr_pad4(count);
    if (padded > count) std::memset(dst + count, 0, padded - count);
    return padded;
}

uint32_t nfs2_fileid(uint64_t id) { return id >> 32 ? fileid_hash(id) : uint32_t(id); }
