// Helpers shared by the RPC unit tests: an XDR byte builder that does not use
// the codec under test, call message builders, and a UDP capture of replies.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/net.h"
#include "rpc/message.h"

using bytes = std::vector<uint8_t>;

// Appends big-endian words and padded opaques, written out by hand.
struct wire {
    bytes b;
    wire& u32(uint32_t v);
    wire& u64(uint64_t v);
    wire& raw(const void* p, size_t n);   // no length word, no padding
    wire& raw(const bytes& v) { return raw(v.data(), v.size()); }
    wire& opaque(const void* p, uint32_t n);   // length word, bytes, zero padding
    wire& opaque(const std::string& s) { return opaque(s.data(), uint32_t(s.size())); }
    wire& opaque(const bytes& v) { return opaque(v.data(), uint32_t(v.size())); }
};

// Body of an AUTH_UNIX credential.
bytes auth_unix_body(uint32_t stamp, const std::string& name, uint32_t uid, uint32_t gid,
                     const std::vector<uint32_t>& gids);

struct call_spec {
    uint32_t xid = 0x0A0B0C0D;
    uint32_t msg_type = RPC_CALL;
    uint32_t rpc_version = RPC_PROTOCOL_VERSION;
    uint32_t program = 0x20000101;
    uint32_t version = 1;
    uint32_t procedure = 0;
    uint32_t cred_flavor = AUTH_NULL;
    bytes cred;
    uint32_t verf_flavor = AUTH_NULL;
    bytes verf;
    bytes args;
};
bytes build_call(const call_spec& c);

// Copies m into the handle's buffer and sets the message length.
void load_message(rpc_handle* h, const bytes& m);
// The valid bytes of the handle's buffer.
bytes message_of(const rpc_handle* h);

// A UDP handle on 127.0.0.1 whose peer is a second local socket, so that every
// reply the code under test sends can be read back, or shown to be absent.
struct reply_capture {
    rpc_handle* h = nullptr;
    net_socket peer = NET_INVALID;
    explicit reply_capture(int32_t capacity = RPC_SERVICE_CAPACITY);
    ~reply_capture();
    reply_capture(const reply_capture&) = delete;
    reply_capture& operator=(const reply_capture&) = delete;
    bool ok() const { return h && peer != NET_INVALID; }
    // The next datagram the handle sent; false when none came within timeout_ms.
    bool next(bytes* out, int timeout_ms = 2000);
    // No datagram arrives within wait_ms.
    bool silent(int wait_ms = 10);
};

// Polls cond every 10 ms until it holds or timeout_ms passes.
bool wait_until(bool (*cond)(), int timeout_ms);
