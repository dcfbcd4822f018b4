#include "quen/nlm/nlm_wire.h"

#include <atomic>
#include <cstring>

namespace {

std::atomic<uint32_t> g_handle_size{32};

bool get_netobj(xdr_cursor* c, nlm_netobj* out, uint32_t max) {
    const xdr_cursor start = *c;
    uint32_t n = 0;
    if (!xdr_get_u32(c, &n) || n > max || !xdr_get_bytes(c, out->data, n)) {
        *c = start;
        return false;
    }
    out->length = n;
    out->data[n] = 0;
    return true;
}

bool get_fh(xdr_cursor* c, nlm_fh* out, bool wide) {
    const xdr_cursor start = *c;
    uint32_t n = 0;
    if (!xdr_get_u32(c, &n)) return false;
    const bool fits = wide ? (n == 0 || n == g_handle_size.load()) : n == 32;
    if (!fits || !xdr_get_bytes(c, out->data, n)) {
        *c = start;
        return false;
    }
    out->length = n;
    return true;
}

bool get_number(xdr_cursor* c, uint64_t* v, bool wide) {
    if (wide) return xdr_get_u64(c, v);
    uint32_t w = 0;
    if (!xdr_get_u32(c, &w)) return false;
    *v = w;
    return true;
}

bool get_lock(xdr_cursor* c, nlm_lock* l, bool wide) {
    return get_netobj(c, &l->caller, kNlmCallerMax) && get_fh(c, &l->fh, wide) &&
           get_netobj(c, &l->owner, kNlmNetobjMax) && xdr_get_u32(c, &l->svid) && get_number(c, &l->offset, wide) &&
           get_number(c, &l->length, wide);
}

template <bool wide>
bool decode_test(xdr_cursor* c, void* out) {
    auto* a = static_cast<nlm_test_args*>(out);
    return get_netobj(c, &a->cookie, kNlmNetobjMax) && xdr_get_u32(c, &a->exclusive) && get_lock(c, &a->lock, wide);
}

template <bool wide>
bool decode_lock(xdr_cursor* c, void* out) {
    auto* a = static_cast<nlm_lock_args*>(out);
    return get_netobj(c, &a->cookie, kNlmNetobjMax) && xdr_get_u32(c, &a->block) && xdr_get_u32(c, &a->exclusive) &&
           get_lock(c, &a->lock, wide) && xdr_get_u32(c, &a->reclaim) && xdr_get_u32(c, &a->state);
}

template <bool wide>
bool decode_cancel(xdr_cursor* c, void* out) {
    auto* a = static_cast<nlm_cancel_args*>(out);
    return get_netobj(c, &a->cookie, kNlmNetobjMax) && xdr_get_u32(c, &a->block) && xdr_get_u32(c, &a->exclusive) &&
           get_lock(c, &a->lock, wide);
}

template <bool wide>
bool decode_unlock(xdr_cursor* c, void* out) {
    auto* a = static_cast<nlm_unlock_args*>(out);
    return get_netobj(c, &a->cookie, kNlmNetobjMax) && get_lock(c, &a->lock, wide);
}

template <bool wide>
bool decode_share(xdr_cursor* c, void* out) {
    auto* a = static_cast<nlm_share_args*>(out);
    return get_netobj(c, &a->cookie, kNlmNetobjMax) && get_netobj(c, &a->caller, kNlmCallerMax) &&
           get_fh(c, &a->fh, wide) && get_netobj(c, &a->owner, kNlmNetobjMax) && xdr_get_u32(c, &a->mode) &&
           xdr_get_u32(c, &a->access) && xdr_get_u32(c, &a->reclaim);
}

size_t put_netobj(uint8_t* dst, const nlm_netobj& o) { return xdr_enc_opaque(dst, o.data, o.length); }

size_t put_number(uint8_t* dst, uint64_t v, bool wide) {
    if (wide) return xdr_enc_u64(dst, v);
    return xdr_enc_u32(dst, v > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(v));
}

size_t encode_test_res(uint8_t* dst, const void* res, bool wide) {
    const auto* r = static_cast<const nlm_test_res*>(res);
    size_t n = put_netobj(dst, r->cookie);
    n += xdr_enc_u32(dst + n, r->status);
    if (r->status != NLM_DENIED) return n;
    n += xdr_enc_u32(dst + n, r->holder.exclusive ? 1 : 0);
    n += xdr_enc_u32(dst + n, r->holder.svid);
    n += xdr_enc_u32(dst + n, 0);   // the owner handle is not told
    n += put_number(dst + n, r->holder.offset, wide);
    // A range beyond what 32 bits can say reaches to the end there.
    const bool to_end = !wide && r->holder.offset + r->holder.length > 0xFFFFFFFFu;
    n += put_number(dst + n, to_end ? 0 : r->holder.length, wide);
    return n;
}

// A decoder that fails leaves the cursor where it found it.
template <bool (*decode)(xdr_cursor*, void*)>
bool whole(xdr_cursor* c, void* out) {
    const xdr_cursor start = *c;
    if (decode(c, out)) return true;
    *c = start;
    return false;
}

}  // namespace

bool nlm4_decode_test(xdr_cursor* c, void* out) { return whole<decode_test<true>>(c, out); }
bool nlm4_decode_lock(xdr_cursor* c, void* out) { return whole<decode_lock<true>>(c, out); }
bool nlm4_decode_cancel(xdr_cursor* c, void* out) { return whole<decode_cancel<true>>(c, out); }
bool nlm4_decode_unlock(xdr_cursor* c, void* out) { return whole<decode_unlock<true>>(c, out); }
bool nlm4_decode_share(xdr_cursor* c, void* out) { return whole<decode_share<true>>(c, out); }
bool nlm1_decode_test(xdr_cursor* c, void* out) { return whole<decode_test<false>>(c, out); }
bool nlm1_decode_lock(xdr_cursor* c, void* out) { return whole<decode_lock<false>>(c, out); }
bool nlm1_decode_cancel(xdr_cursor* c, void* out) { return whole<decode_cancel<false>>(c, out); }
bool nlm1_decode_unlock(xdr_cursor* c, void* out) { return whole<decode_unlock<false>>(c, out); }
bool nlm1_decode_share(xdr_cursor* c, void* out) { return whole<decode_share<false>>(c, out); }

namespace {

bool decode_notify(xdr_cursor* c, void* out) {
    auto* a = static_cast<nlm_notify_args*>(out);
    return get_netobj(c, &a->name, kNlmNetobjMax) && xdr_get_u32(c, &a->state);
}

bool decode_res(xdr_cursor* c, void* out) {
    auto* a = static_cast<nlm_res_args*>(out);
    return get_netobj(c, &a->cookie, kNlmNetobjMax) && xdr_get_u32(c, &a->status);
}

}  // namespace

bool nlm_decode_notify(xdr_cursor* c, void* out) { return whole<decode_notify>(c, out); }
bool nlm_decode_res(xdr_cursor* c, void* out) { return whole<decode_res>(c, out); }

void nlm_set_handle_size(uint32_t size) { g_handle_size.store(size); }

size_t nlm_encode_res(uint8_t* dst, const void* res) {
    const auto* r = static_cast<const nlm_res*>(res);
    size_t n = put_netobj(dst, r->cookie);
    return n + xdr_enc_u32(dst + n, r->status);
}

size_t nlm4_encode_test_res(uint8_t* dst, const void* res) { return encode_test_res(dst, res, true); }
size_t nlm1_encode_test_res(uint8_t* dst, const void* res) { return encode_test_res(dst, res, false); }

size_t nlm_encode_share_res(uint8_t* dst, const void* res) {
    const auto* r = static_cast<const nlm_share_res*>(res);
    size_t n = put_netobj(dst, r->cookie);
    n += xdr_enc_u32(dst + n, r->status);
    return n + xdr_enc_u32(dst + n, r->sequence);
}

size_t nlm_encode_granted(uint8_t* dst, uint32_t version, const nlm_netobj& cookie, bool exclusive,
                          const nlm_lock& lock) {
    const bool wide = version >= 4;
    size_t n = put_netobj(dst, cookie);
    n += xdr_enc_u32(dst + n, exclusive ? 1 : 0);
    n += xdr_enc_opaque(dst + n, lock.caller.data, lock.caller.length);
    n += xdr_enc_opaque(dst + n, lock.fh.data, lock.fh.length);
    n += put_netobj(dst + n, lock.owner);
    n += xdr_enc_u32(dst + n, lock.svid);
    n += put_number(dst + n, lock.offset, wide);
    return n + put_number(dst + n, lock.length, wide);
}
