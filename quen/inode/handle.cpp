#include "quen/inode/handle.h"

#include <cstring>

namespace {

void store_le32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

uint32_t load_le32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

}  // namespace

internal_handle handle_make(uint32_t identity_low, uint32_t identity_high, uint32_t mount_id) {
    internal_handle h{};
    h.word[HANDLE_WORD_MARK] = kHandleMark;
    h.word[HANDLE_WORD_MOUNT] = mount_id;
    h.word[HANDLE_WORD_ID_LOW] = identity_low;
    h.word[HANDLE_WORD_ID_HIGH] = identity_high;
    h.word[HANDLE_WORD_CHECK] = mount_id + identity_low;
    return h;
}

uint32_t handle_wire_size(uint32_t fh_size_setting) {
    return fh_size_setting == kHandleSize ? kHandleSize : kHandleShortSize;
}

void handle_to_bytes(const internal_handle& h, uint8_t out[kHandleSize]) {
    for (int i = 0; i < 8; ++i) store_le32(out + 4 * i, h.word[i]);
}

internal_handle handle_from_bytes(const uint8_t* bytes, size_t length) {
    uint8_t full[kHandleSize] = {};
    if (length > kHandleSize) length = kHandleSize;
    if (length) std::memcpy(full, bytes, length);
    internal_handle h;
    for (int i = 0; i < 8; ++i) h.word[i] = load_le32(full + 4 * i);
    return h;
}

size_t handle_encode_fixed(uint8_t* dst, const internal_handle& h) {
    handle_to_bytes(h, dst);
    return kHandleSize;
}

bool handle_decode_fixed(xdr_cursor* c, internal_handle* out) {
    uint8_t bytes[FH2_SIZE];
    if (!xdr_get_fh2(c, bytes)) return false;
    *out = handle_from_bytes(bytes, sizeof bytes);
    return true;
}

size_t handle_encode_variable(uint8_t* dst, const internal_handle& h, uint32_t fh_size_setting) {
    uint8_t bytes[kHandleSize];
    handle_to_bytes(h, bytes);
    return xdr_enc_opaque(dst, bytes, handle_wire_size(fh_size_setting));
}

bool handle_decode_variable(xdr_cursor* c, internal_handle* out, uint32_t fh_size_setting) {
    uint8_t bytes[FH_MAX];
    if (!xdr_get_fh3(c, bytes, handle_wire_size(fh_size_setting))) return false;
    *out = handle_from_bytes(bytes, sizeof bytes);
    return true;
}

bool handle_decode_netobj(xdr_cursor* c, internal_handle* out) {
    // Same bytes as a variable-length opaque, but the empty form is no handle here.
    xdr_cursor saved = *c;
    uint32_t length;
    if (!xdr_get_u32(c, &length)) return false;
    *c = saved;
    if (length != kHandleSize) return false;
    return handle_decode_variable(c, out, kHandleSize);
}

bool handle_is_public_fixed(const internal_handle& h) {
    for (uint32_t w : h.word)
        if (w != 0) return false;
    return true;
}

bool handle_is_public_variable(const internal_handle& h) { return h.word[HANDLE_WORD_MARK] == 0; }
