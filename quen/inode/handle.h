// The internal file handle: eight little-endian words naming the mount a
// client came through, the file, and a check word; its wire forms for each
// protocol. Resolving one back to a file goes through the mount table and
// the inode table, which is the file layer's first step (fs/resolve.h).
#pragma once
#include "rpc/xdr.h"

#include <cstddef>
#include <cstdint>

inline constexpr uint32_t kHandleSize = 32;       // the whole internal handle
inline constexpr uint32_t kHandleShortSize = 20;  // words 0..4: all the information
inline constexpr uint32_t kHandleMark = 20;       // word 0 of every handle made
inline constexpr size_t kHandlePathSize = 2048;   // buffer for the mounted path

enum : uint32_t {
    HANDLE_WORD_MARK = 0,
    HANDLE_WORD_MOUNT = 1,
    HANDLE_WORD_ID_LOW = 2,
    HANDLE_WORD_ID_HIGH = 3,
    HANDLE_WORD_CHECK = 4,
};

struct internal_handle {
    uint32_t word[8];
};
static_assert(sizeof(internal_handle) == kHandleSize);

// Words 0..7: mark, mount identifier, identity, check word, zero padding.
internal_handle handle_make(uint32_t identity_low, uint32_t identity_high, uint32_t mount_id);

// The version 3 length for an "FHsize" setting: 32 when it says 32, else 20.
uint32_t handle_wire_size(uint32_t fh_size_setting);

// The handle as the opaque bytes clients see (little-endian words), and back.
// From fewer than 32 bytes the rest is zero.
void handle_to_bytes(const internal_handle& h, uint8_t out[kHandleSize]);
internal_handle handle_from_bytes(const uint8_t* bytes, size_t length);

// NFS version 2 and MOUNT versions 1 and 2: a fixed 32-byte opaque.
size_t handle_encode_fixed(uint8_t* dst, const internal_handle& h);
bool handle_decode_fixed(xdr_cursor* c, internal_handle* out);
// NFS version 3, MOUNT version 3, NLM version 4: a length word of the wire
// size and that many bytes. Decoding takes that length or 0 (the public
// handle); anything else does not decode.
size_t handle_encode_variable(uint8_t* dst, const internal_handle& h, uint32_t fh_size_setting);
bool handle_decode_variable(xdr_cursor* c, internal_handle* out, uint32_t fh_size_setting);
// NLM versions 1 to 3: a netobj of exactly 32 bytes.
bool handle_decode_netobj(xdr_cursor* c, internal_handle* out);

// The WebNFS public handle as each LOOKUP recognises it: version 2 tests all
// 32 bytes, version 3 only word 0.
bool handle_is_public_fixed(const internal_handle& h);
bool handle_is_public_variable(const internal_handle& h);
