// CALLIT: a call forwarded to a UDP service of this machine on behalf of a
// client that does not know the service's port (broadcast RPC).
#include <cstring>

#include "portmap/pmap_service.h"
#include "portmap/pmap_table.h"
#include "rpc/settings.h"

namespace {

// The reply to the forwarded call, as the loopback client waits for one,
// with the daemon's notes on time-outs and errors.
int wait_forwarded_reply(rpc_handle* out) {
    const int timeout_ms = int(g_rpc_settings.rpc_timeout) * 1000;
    for (int pass = 0; pass < 20; ++pass) {
        int w = net_wait_one(out->socket, timeout_ms);
        if (w == 0) {
            pmap_note_event(1, "RPC receive timeout\n");
            break;
        }
        if (w < 0) {
            pmap_note_event(1, "RPC receive error %u\n", unsigned(net_last_error()));
            continue;
        }
        bool got = rpc_receive_datagram(out);
        out->socket = rpc_close_socket(out->socket);
        return got ? rpc_reply_check(out) : 0;
    }
    out->socket = rpc_close_socket(out->socket);
    return 0;
}

struct callit_result {
    uint32_t port;
    const uint8_t* results;
    uint32_t length;
};

size_t encode_callit(uint8_t* dst, const void* result) {
    const auto* r = static_cast<const callit_result*>(result);
    size_t n = xdr_enc_u32(dst, r->port);
    return n + xdr_enc_opaque(dst + n, r->results, r->length);
}

// Sends the call and leaves the checked reply in out's buffer; false when
// nothing usable came back.
bool call_service(rpc_handle* out, uint16_t port, const pmap_callit_args& a) {
    size_t n = rpc_build_call(out, a.program, a.version, a.procedure);
    if (n + a.arg_len > size_t(out->capacity)) return false;
    std::memcpy(out->buffer + n, a.arg_bytes, a.arg_len);
    out->msg_len = int32_t(n + a.arg_len);
    if (!rpc_loopback_connect(out, RPC_UDP, port)) return false;
    if (rpc_send(out) <= 0) {
        out->socket = rpc_close_socket(out->socket);
        return false;
    }
    return wait_forwarded_reply(out) > 0;
}

}  // namespace

bool pmap_forward(rpc_handle* h, const rpc_call* call, const pmap_callit_args& a) {
    // Only NULL is forwarded: it is the one procedure every program has and
    // that cannot change anything.
    if (a.procedure != 0) return false;
    pmap_mapping target;
    if (!pmap_table_forward_target(a.program, a.version, &target)) return false;
    if (target.port == 0 || target.port > 0xFFFF) return false;
    // Our own port: this thread would wait for itself until the time-out.
    if (target.port == PMAP_PORT) return false;

    rpc_handle* out = rpc_handle_create(NET_INVALID, RPC_UDP, 0, PMAP_FORWARD_CAPACITY);
    if (!out) {
        pmap_note_event(2, "ostel: out of memory\n");
        return false;
    }
    bool answered = false;
    if (call_service(out, uint16_t(target.port), a)) {
        callit_result r{target.port, out->buffer + RPC_REPLY_RESULTS, uint32_t(out->msg_len - RPC_REPLY_RESULTS)};
        // Header (with the caller's verifier), port, length word, padded results.
        size_t need = 24 + xdr_pad4(call->verf_len) + 8 + xdr_pad4(r.length);
        if (need <= size_t(h->capacity)) {
            answered = rpc_reply_success(h, call, encode_callit, &r);
            if (!answered) pmap_note_send_failure();
        }
    }
    rpc_close_socket(out->socket);
    rpc_handle_free(out);
    return answered;
}
