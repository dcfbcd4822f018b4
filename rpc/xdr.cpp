#include "rpc/xdr.h"

#include <cstdarg>

namespace {

// Bytes left after the cursor's position; negative positions leave none.
int64_t bytes_left(const xdr_cursor* c) {
    return int64_t(c->size) - int64_t(c->pos) * 4;
}

const uint8_t* at(const xdr_cursor* c) { return c->base + size_t(c->pos) * 4; }

size_t put_opaque(uint8_t* dst, uint32_t len, uint32_t len_wire, const uint8_t* body) {
    xdr_store32(dst, len_wire);
    return 4 + xdr_enc_padded(dst + 4, body, len);
}

}  // namespace

size_t xdr_put(uint8_t* dst, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    size_t n = 0;
    for (const char* f = format; *f; ++f) {
        switch (*f) {
        case 'q':
            xdr_store32(dst + n, va_arg(ap, uint32_t));
            n += 4;
            break;
        case 'Q': {
            uint32_t v = va_arg(ap, uint32_t);
            std::memcpy(dst + n, &v, 4);
            n += 4;
            break;
        }
        case 'w':
            xdr_store32(dst + n, uint16_t(va_arg(ap, unsigned)));
            n += 4;
            break;
        case 'W': {
            // Already in network order: the two bytes go last, as zero-extension puts them.
            uint16_t v = uint16_t(va_arg(ap, unsigned));
            dst[n] = 0;
            dst[n + 1] = 0;
            std::memcpy(dst + n + 2, &v, 2);
            n += 4;
            break;
        }
        case 'o': {
            const auto* p = static_cast<const uint8_t*>(va_arg(ap, const void*));
            uint32_t len;
            std::memcpy(&len, p, 4);
            n += put_opaque(dst + n, len, len, p + 4);
            break;
        }
        case 'O': {
            const auto* p = static_cast<const uint8_t*>(va_arg(ap, const void*));
            uint32_t len = xdr_load32(p);
            n += put_opaque(dst + n, len, len, p + 4);
            break;
        }
        default:
            break;
        }
    }
    va_end(ap);
    return n;
}

bool xdr_get_u32(xdr_cursor* c, uint32_t* v) {
    if (c->pos < 0 || bytes_left(c) < 4) return false;
    *v = xdr_load32(at(c));
    c->pos += 1;
    return true;
}

bool xdr_get_u64(xdr_cursor* c, uint64_t* v) {
    if (c->pos < 0 || bytes_left(c) < 8) return false;
    const uint8_t* p = at(c);
    *v = (uint64_t(xdr_load32(p)) << 32) | xdr_load32(p + 4);
    c->pos += 2;
    return true;
}

bool xdr_get_bytes(xdr_cursor* c, void* dst, uint32_t n) {
    uint32_t padded = xdr_pad4(n);
    if (c->pos < 0 || n > uint32_t(INT32_MAX) - 3 || bytes_left(c) < int64_t(padded)) return false;
    std::memcpy(dst, at(c), n);
    c->pos += int32_t(padded / 4);
    return true;
}

bool xdr_get_fh2(xdr_cursor* c, uint8_t fh[FH2_SIZE]) { return xdr_get_bytes(c, fh, FH2_SIZE); }

bool xdr_get_fh3(xdr_cursor* c, uint8_t fh[FH_MAX], uint32_t fh_size) {
    xdr_cursor saved = *c;
    uint32_t len;
    if (!xdr_get_u32(c, &len)) return false;
    if (len == 0) {
        std::memset(fh, 0, FH_MAX);
        return true;
    }
    if (len != fh_size || fh_size > FH_MAX || !xdr_get_bytes(c, fh, len)) {
        *c = saved;
        return false;
    }
    if (len < FH_MAX) std::memset(fh + len, 0, FH_MAX - len);
    return true;
}

bool xdr_get_name(xdr_cursor* c, char* out, uint32_t max) {
    xdr_cursor saved = *c;
    uint32_t len;
    if (!xdr_get_u32(c, &len)) return false;
    if (len >= max || !xdr_get_bytes(c, out, len)) {
        *c = saved;
        return false;
    }
    out[len] = '\0';
    return true;
}

bool xdr_get_dirop_name(xdr_cursor* c, char* out, uint32_t max) {
    xdr_cursor saved = *c;
    if (!xdr_get_name(c, out, max)) return false;
    if (out[0] == '\0') {
        *c = saved;
        return false;
    }
    return true;
}

bool xdr_get_sattr2(xdr_cursor* c, xdr_sattr* s) {
    if (c->pos < 0 || bytes_left(c) < 32) return false;
    uint32_t w[8];
    for (uint32_t& v : w) xdr_get_u32(c, &v);
    constexpr uint32_t unset = 0xFFFFFFFFu;
    *s = xdr_sattr{};
    s->mode = w[0];
    s->uid = w[1];
    s->gid = w[2];
    s->size = w[3];
    s->atime_sec = w[4];
    s->atime_nsec = w[5] * 1000u;
    s->mtime_sec = w[6];
    s->mtime_nsec = w[7] * 1000u;
    s->set_mode = w[0] != unset;
    s->set_uid = w[1] != unset;
    s->set_gid = w[2] != unset;
    s->set_size = w[3] != unset;
    s->set_atime = w[4] != unset;
    s->set_mtime = w[6] != unset;
    return true;
}

namespace {

// set_it discriminant followed by a word when set.
bool get_optional_u32(xdr_cursor* c, bool* set, uint32_t* v) {
    uint32_t flag;
    if (!xdr_get_u32(c, &flag)) return false;
    *set = flag != 0;
    return !*set || xdr_get_u32(c, v);
}

// time_how: 0 leave, 1 server time, 2 client time (seconds, nanoseconds).
bool get_time3(xdr_cursor* c, bool* set, uint32_t* sec, uint32_t* nsec, uint32_t now_sec) {
    uint32_t how;
    if (!xdr_get_u32(c, &how)) return false;
    *set = how == 1 || how == 2;
    if (how == 1) {
        *sec = now_sec;
        *nsec = 0;
        return true;
    }
    if (how == 2) return xdr_get_u32(c, sec) && xdr_get_u32(c, nsec);
    return true;
}

}  // namespace

bool xdr_get_sattr3(xdr_cursor* c, xdr_sattr* s, uint32_t now_sec) {
    if (c->pos < 0 || bytes_left(c) < 24) return false;
    xdr_cursor saved = *c;
    *s = xdr_sattr{};
    uint32_t size_flag = 0;
    bool ok = get_optional_u32(c, &s->set_mode, &s->mode) && get_optional_u32(c, &s->set_uid, &s->uid) &&
              get_optional_u32(c, &s->set_gid, &s->gid) && xdr_get_u32(c, &size_flag);
    if (ok) {
        s->set_size = size_flag != 0;
        ok = (!s->set_size || xdr_get_u64(c, &s->size)) &&
             get_time3(c, &s->set_atime, &s->atime_sec, &s->atime_nsec, now_sec) &&
             get_time3(c, &s->set_mtime, &s->mtime_sec, &s->mtime_nsec, now_sec);
    }
    if (!ok) *c = saved;
    return ok;
}

size_t xdr_enc_u32_array(uint8_t* dst, const uint32_t* values, uint32_t count) {
    xdr_store32(dst, count);
    for (uint32_t i = 0; i < count; ++i) xdr_store32(dst + 4 + 4 * size_t(i), values[i]);
    return 4 + 4 * size_t(count);
}

size_t xdr_enc_padded(uint8_t* dst, const void* src, uint32_t n) {
    if (n) std::memcpy(dst, src, n);
    uint32_t padded = xdr_pad4(n);
    if (padded > n) std::memset(dst + n, 0, padded - n);
    return padded;
}

size_t xdr_enc_opaque(uint8_t* dst, const void* src, uint32_t n) {
    xdr_store32(dst, n);
    return 4 + xdr_enc_padded(dst + 4, src, n);
}

size_t xdr_enc_string(uint8_t* dst, const char* s, uint32_t limit) {
    size_t len = std::strlen(s);
    return xdr_enc_opaque(dst, s, len > limit ? limit : uint32_t(len));
}
