// Outgoing calls: headers, the reply check and portmapper registration.
#include <ctime>

#include "rpc/message.h"
#include "rpc/settings.h"

namespace {

std::atomic<uint32_t> g_next_xid{0};

}  // namespace

uint32_t rpc_next_xid() {
    uint32_t expected = 0;
    g_next_xid.compare_exchange_strong(expected, uint32_t(std::time(nullptr)) & 0xFFFFu);
    uint32_t xid = g_next_xid.fetch_add(1);
    // Zero is the "not yet seeded" value; skip it when the counter wraps.
    return xid ? xid : g_next_xid.fetch_add(1);
}

size_t rpc_build_call(rpc_handle* h, uint32_t program, uint32_t version, uint32_t procedure) {
    static const uint32_t empty = 0;
    h->xid = rpc_next_xid();
    return xdr_put(h->buffer, "qqqqqqqoqo", h->xid, RPC_CALL, RPC_PROTOCOL_VERSION, program, version, procedure, AUTH_NULL,
                   &empty, AUTH_NULL, &empty);
}

bool rpc_send_call(rpc_handle* h, const rpc_call* received, uint32_t procedure, rpc_encoder encode,
                   const void* args) {
    h->xid = rpc_next_xid();
    size_t n = xdr_put(h->buffer, "qqqqqqqOqO", h->xid, RPC_CALL, RPC_PROTOCOL_VERSION, received->program, received->version,
                       procedure, received->cred_flavor, received->cred, received->verf_flavor, received->verf);
    if (encode) n += encode(h->buffer + n, args);
    h->msg_len = int32_t(n);
    return rpc_send(h) > 0;
}

int rpc_reply_check(const rpc_handle* h) {
    const uint8_t* m = h->buffer;
    const int32_t len = h->msg_len;
    if (len < 20) return -10;
    if (xdr_load32(m) != h->xid) return -1;
    if (xdr_load32(m + 4) != RPC_REPLY) return -2;
    if (xdr_load32(m + 8) != MSG_ACCEPTED) return xdr_load32(m + 12) == REJECT_RPC_MISMATCH ? -3 : -4;
    if (len < RPC_REPLY_RESULTS) return -10;   // the accept status word is not part of the message
    switch (xdr_load32(m + 20)) {   // accept status, after a verifier of length 0
    case ACCEPT_SUCCESS: return len;
    case ACCEPT_PROG_MISMATCH: return -6;
    case ACCEPT_PROG_UNAVAIL: return -7;
    case ACCEPT_PROC_UNAVAIL: return -8;
    default: return -9;
    }
}

bool pmap_client_set(uint32_t program, uint32_t version, uint16_t protocol, uint16_t port) {
    if (g_rpc_settings.portmapper_registration == 0) return true;
    rpc_handle* h = rpc_handle_create(NET_INVALID, RPC_UDP, 0, RPC_CLIENT_CAPACITY);
    if (!h) return false;
    size_t n = rpc_build_call(h, PMAP_PROGRAM, PMAP_VERSION, port ? PMAPPROC_SET : PMAPPROC_UNSET);
    n += xdr_put(h->buffer + n, "qqqw", program, version, uint32_t(protocol), unsigned(port));
    h->msg_len = int32_t(n);
    bool answer = false;
    if (rpc_loopback_connect(h, RPC_UDP, PMAP_PORT)) {
        if (rpc_send(h) > 0) {
            answer = rpc_wait_reply(h) > 0 && h->msg_len == 28 && xdr_load32(h->buffer + 24) != 0;
        }
        h->socket = rpc_close_socket(h->socket);
    }
    rpc_handle_free(h);
    return answer;
}
