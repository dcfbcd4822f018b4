// XDR: the header encoder, the argument cursor with its bounds-checked
// primitive decoders, and the small result encoders. Wire order is big-endian.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

// Argument cursor: position in 32-bit words from `base`, `size` bytes available.
struct xdr_cursor {
    int32_t pos;
    int32_t size;
    const uint8_t* base;
};

inline uint32_t xdr_load32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}
inline void xdr_store32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}
inline uint32_t xdr_pad4(uint32_t n) { return (n + 3u) & ~3u; }

// Writes the items of `format` at dst and returns the bytes written:
//   q  uint32 in host order      Q  uint32 already in network order
//   w  uint16 in host order      W  uint16 already in network order (each one word)
//   o  const void* to a host-order length word followed by the bytes
//   O  const void* to a network-order length word followed by the bytes
// Other letters are skipped and take no value. Opaques are zero-padded to 4.
size_t xdr_put(uint8_t* dst, const char* format, ...);

// Primitive decoders: check the bounds, then read and advance by whole words.
// On failure the position is left as it was.
bool xdr_get_u32(xdr_cursor* c, uint32_t* v);
bool xdr_get_u64(xdr_cursor* c, uint64_t* v);
bool xdr_get_bytes(xdr_cursor* c, void* dst, uint32_t n);   // n bytes, then padding

constexpr uint32_t FH2_SIZE = 32;
constexpr uint32_t FH_MAX = 32;
bool xdr_get_fh2(xdr_cursor* c, uint8_t fh[FH2_SIZE]);
// Length word equal to fh_size (20 or 32), or 0 for the all-zero public handle.
bool xdr_get_fh3(xdr_cursor* c, uint8_t fh[FH_MAX], uint32_t fh_size);

constexpr uint32_t XDR_NAME_MAX = 512;   // file names: length below 512
constexpr uint32_t XDR_PATH_MAX = 2048;  // symbolic-link targets: length below 2048
// Copies the string into out[max] NUL-terminated; the length must be below max.
bool xdr_get_name(xdr_cursor* c, char* out, uint32_t max);
// The name of a (directory, name) pair: as above and not empty.
bool xdr_get_dirop_name(xdr_cursor* c, char* out, uint32_t max);

// Settable attributes of either version, each field with its set flag.
struct xdr_sattr {
    bool set_mode, set_uid, set_gid, set_size, set_atime, set_mtime;
    uint32_t mode, uid, gid;
    uint64_t size;
    uint32_t atime_sec, atime_nsec;
    uint32_t mtime_sec, mtime_nsec;
};
bool xdr_get_sattr2(xdr_cursor* c, xdr_sattr* s);
// now_sec: the server's time, used for SET_TO_SERVER_TIME.
bool xdr_get_sattr3(xdr_cursor* c, xdr_sattr* s, uint32_t now_sec);

// Encoders: write at dst, return the bytes written.
inline size_t xdr_enc_u32(uint8_t* dst, uint32_t v) {
    xdr_store32(dst, v);
    return 4;
}
inline size_t xdr_enc_u64(uint8_t* dst, uint64_t v) {
    xdr_store32(dst, uint32_t(v >> 32));
    xdr_store32(dst + 4, uint32_t(v));
    return 8;
}
size_t xdr_enc_u32_array(uint8_t* dst, const uint32_t* values, uint32_t count);
size_t xdr_enc_padded(uint8_t* dst, const void* src, uint32_t n);
size_t xdr_enc_opaque(uint8_t* dst, const void* src, uint32_t n);
size_t xdr_enc_string(uint8_t* dst, const char* s, uint32_t limit);   // cut to limit
