// Fuzzes call-header decoding, authentication and dispatch into the demo
// program, over a UDP and a TCP handle, and checks every reply that comes
// back: at most one per message, the call's xid, a well-formed reply header,
// the call's verifier echoed, and ECHO's bytes returned unchanged.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tests/fuzz/fuzz_check.h"
#include "platform/net.h"
#include "rpc/log.h"
#include "rpc/message.h"
#include "rpc/settings.h"
#include "tests/support/demo_program.h"

namespace {

struct fixture {
    rpc_handle* udp;
    net_socket udp_sink;   // the UDP handle's peer
    rpc_handle* tcp;
    net_socket tcp_sink;   // the other end of the TCP handle's connection
    rpc_call call;         // reused for every message, as a serving thread does
};

net_addr4 local_address(net_socket s) {
    net_addr4 a{};
    FUZZ_CHECK(net_local_address(s, &a));
    return a;
}

fixture* make_fixture() {
    FUZZ_CHECK(net_startup());
    g_rpc_settings.portmapper_registration = 0;
    g_log_level = 0;
    auto* f = new fixture{};

    f->udp_sink = rpc_udp_server_socket(0x7F000001u, 0, false);
    net_socket us = rpc_udp_server_socket(0x7F000001u, 0, false);
    FUZZ_CHECK(f->udp_sink != NET_INVALID && us != NET_INVALID);
    f->udp = rpc_handle_create(us, RPC_UDP, 5599, RPC_SERVICE_CAPACITY);
    FUZZ_CHECK(f->udp);
    f->udp->peer = local_address(f->udp_sink);

    net_socket listener = rpc_tcp_server_socket(0x7F000001u, 0);
    FUZZ_CHECK(listener != NET_INVALID);
    f->tcp_sink = net_tcp_socket();
    FUZZ_CHECK(net_connect(f->tcp_sink, local_address(listener)));
    net_socket ts = net_accept(listener, nullptr, nullptr);
    FUZZ_CHECK(ts != NET_INVALID);
    net_close(listener);
    f->tcp = rpc_handle_create(ts, RPC_TCP, 5599, RPC_SERVICE_CAPACITY);
    FUZZ_CHECK(f->tcp);

    FUZZ_CHECK(demo_register(f->udp));
    return f;
}

struct reply_buffer {
    uint8_t bytes[RPC_SERVICE_CAPACITY];
    int len;
};

constexpr int reply_wait_ms = 2000;

bool recv_exact(net_socket s, uint8_t* dst, int len) {
    while (len > 0) {
        if (net_wait_one(s, reply_wait_ms) <= 0) return false;
        int n = net_recv(s, dst, len);
        if (n <= 0) return false;
        dst += n;
        len -= n;
    }
    return true;
}

// The one reply a message gets. Every call is answered by the time the
// layer returns, so waiting for it cannot pick up a reply of an older input.
void take_udp_reply(net_socket s, reply_buffer* out) {
    FUZZ_CHECK(net_wait_one(s, reply_wait_ms) > 0);
    uint8_t buf[RPC_SERVICE_CAPACITY + 1];
    int n = net_recvfrom(s, buf, sizeof buf, nullptr, nullptr);
    FUZZ_CHECK(n >= 0 && n <= RPC_SERVICE_CAPACITY);
    std::memcpy(out->bytes, buf, size_t(n));
    out->len = n;
}

// Replies fit one fragment of the handle's buffer.
void take_tcp_reply(net_socket s, reply_buffer* out) {
    uint8_t mark_bytes[4];
    FUZZ_CHECK(recv_exact(s, mark_bytes, 4));
    uint32_t mark = xdr_load32(mark_bytes);
    FUZZ_CHECK(mark & 0x80000000u);
    int n = int(mark & 0x7FFFFFFFu);
    FUZZ_CHECK(n <= RPC_SERVICE_CAPACITY - 4);
    FUZZ_CHECK(recv_exact(s, out->bytes, n));
    out->len = n;
}

// Where the arguments of a header that decodes begin, or -1.
int64_t args_offset(const uint8_t* msg, int64_t len) {
    if (len < 32) return -1;
    int64_t off = 28;
    uint32_t cred_len = xdr_load32(msg + off);
    if (cred_len > RPC_AUTH_MAX) return -1;
    off += 4 + xdr_pad4(cred_len);
    if (off + 8 > len) return -1;
    uint32_t verf_len = xdr_load32(msg + off + 4);
    if (verf_len > RPC_AUTH_MAX) return -1;
    off += 8 + xdr_pad4(verf_len);
    return off <= len ? off : -1;
}

// The auth status the header and credential of a call should get: AUTH_OK,
// or what the AUTH_ERROR reply must carry. Worked out from the wire format
// here, independently of the decoder.
uint32_t expected_auth(const uint8_t* msg, int64_t len) {
    uint32_t cred_len = xdr_load32(msg + 28);
    if (cred_len > RPC_AUTH_MAX || 32 + int64_t(xdr_pad4(cred_len)) > len) return AUTH_BADCRED;
    int64_t verf = 32 + xdr_pad4(cred_len);
    if (verf + 8 > len) return AUTH_BADVERF;
    uint32_t verf_len = xdr_load32(msg + verf + 4);
    if (verf_len > RPC_AUTH_MAX || verf + 8 + int64_t(xdr_pad4(verf_len)) > len) return AUTH_BADVERF;
    uint32_t flavor = xdr_load32(msg + 24);
    if (flavor == AUTH_NULL) return AUTH_OK;
    if (flavor != AUTH_UNIX) return AUTH_REJECTEDCRED;
    const uint8_t* body = msg + 32;
    if (cred_len < 8) return AUTH_BADCRED;
    uint32_t name_len = xdr_load32(body + 4);
    if (name_len > RPC_MACHINE_NAME_MAX) return AUTH_BADCRED;
    int64_t at = 8 + int64_t(xdr_pad4(name_len));
    if (at + 12 > cred_len) return AUTH_BADCRED;
    uint32_t count = xdr_load32(body + at + 8);
    if (count > RPC_GIDS_MAX || at + 12 + 4 * int64_t(count) > cred_len) return AUTH_BADCRED;
    return AUTH_OK;
}

// A message of at least 32 bytes that is a call gets exactly one reply.
bool answerable(const uint8_t* msg, int64_t len) { return len >= 32 && xdr_load32(msg + 4) == RPC_CALL; }

void check_reply(const uint8_t* msg, int64_t len, const reply_buffer& r) {
    const uint8_t* p = r.bytes;
    FUZZ_CHECK(r.len >= 20);
    FUZZ_CHECK(std::memcmp(p, msg, 4) == 0);
    FUZZ_CHECK(xdr_load32(p + 4) == RPC_REPLY);
    uint32_t stat = xdr_load32(p + 8);
    if (xdr_load32(msg + 8) != RPC_PROTOCOL_VERSION) {
        FUZZ_CHECK(stat == MSG_DENIED && r.len == 24 && xdr_load32(p + 12) == REJECT_RPC_MISMATCH);
        FUZZ_CHECK(xdr_load32(p + 16) == 2 && xdr_load32(p + 20) == 2);
        return;
    }
    uint32_t auth = expected_auth(msg, len);
    if (stat == MSG_DENIED) {
        FUZZ_CHECK(r.len == 20 && xdr_load32(p + 12) == REJECT_AUTH_ERROR);
        FUZZ_CHECK(xdr_load32(p + 16) == auth);
        return;
    }
    FUZZ_CHECK(stat == MSG_ACCEPTED && auth == AUTH_OK);
    int64_t args = args_offset(msg, len);
    FUZZ_CHECK(args > 0);   // an accepted reply needs a header that decodes
    // The verifier of the call comes back unchanged.
    uint32_t cred_len = xdr_load32(msg + 28);
    const uint8_t* verf = msg + 32 + xdr_pad4(cred_len);
    uint32_t verf_len = xdr_load32(verf + 4);
    FUZZ_CHECK(r.len >= int(20 + xdr_pad4(verf_len) + 4));
    FUZZ_CHECK(std::memcmp(p + 12, verf, 8 + verf_len) == 0);
    for (uint32_t i = verf_len; i < xdr_pad4(verf_len); ++i) FUZZ_CHECK(p[20 + i] == 0);
    const uint8_t* body = p + 20 + xdr_pad4(verf_len);
    uint32_t accept = xdr_load32(body);
    int64_t body_len = r.len - (body + 4 - p);
    FUZZ_CHECK(body_len >= 0);
    uint32_t program = xdr_load32(msg + 12), version = xdr_load32(msg + 16), proc = xdr_load32(msg + 20);
    if (program != DEMO_PROGRAM) {
        FUZZ_CHECK(accept == ACCEPT_PROG_UNAVAIL && body_len == 0);
    } else if (version < DEMO_VERSION_LOW || version > DEMO_VERSION_HIGH) {
        FUZZ_CHECK(accept == ACCEPT_PROG_MISMATCH && body_len == 8);
        FUZZ_CHECK(xdr_load32(body + 4) == DEMO_VERSION_LOW && xdr_load32(body + 8) == DEMO_VERSION_HIGH);
    } else if (proc > DEMO_PROC_ECHO) {
        FUZZ_CHECK(accept == ACCEPT_PROC_UNAVAIL && body_len == 0);
    } else if (proc == DEMO_PROC_NULL) {
        FUZZ_CHECK(accept == ACCEPT_SUCCESS && body_len == 0);
    } else {
        // ECHO: the opaque comes back as sent, or the arguments were garbage.
        int64_t arg_bytes = len - args;
        uint32_t n = arg_bytes >= 4 ? xdr_load32(msg + args) : 0xFFFFFFFFu;
        bool good = n <= DEMO_ECHO_MAX && 4 + int64_t(xdr_pad4(n)) <= arg_bytes;
        if (!good) {
            FUZZ_CHECK(accept == ACCEPT_GARBAGE_ARGS && body_len == 0);
        } else {
            FUZZ_CHECK(accept == ACCEPT_SUCCESS && body_len == 4 + int64_t(xdr_pad4(n)));
            FUZZ_CHECK(std::memcmp(body + 4, msg + args, 4 + n) == 0);
            for (uint32_t i = n; i < xdr_pad4(n); ++i) FUZZ_CHECK(body[8 + i] == 0);
        }
    }
}

void run_one(fixture* f, rpc_handle* h, net_socket sink, bool tcp, const uint8_t* data, size_t size) {
    // Neither a receive nor the record reader hands over more than the buffer holds.
    if (size > size_t(h->capacity)) return;
    int32_t len = int32_t(size);
    if (len) std::memcpy(h->buffer, data, size_t(len));
    h->msg_len = len;
    if (rpc_decode_call(h, &f->call)) {
        rpc_dispatch(h, &f->call);
        // The identity left behind stays within its buffers.
        FUZZ_CHECK(f->call.gid_count <= RPC_GIDS_MAX);
        FUZZ_CHECK(std::strlen(f->call.machine_name) <= RPC_MACHINE_NAME_MAX);
    }
    if (answerable(data, len)) {
        reply_buffer r;
        if (tcp)
            take_tcp_reply(sink, &r);
        else
            take_udp_reply(sink, &r);
        check_reply(data, len, r);
    }
    // Nothing more: no reply to a dropped message, no second reply.
    FUZZ_CHECK(net_wait_one(sink, 0) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static fixture* f = make_fixture();
    run_one(f, f->udp, f->udp_sink, false, data, size);
    run_one(f, f->tcp, f->tcp_sink, true, data, size);
    return 0;
}
