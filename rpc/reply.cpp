// Reply headers, accepted and denied.
#include "rpc/message.h"

namespace {

bool send_message(rpc_handle* h, size_t length) {
    h->msg_len = int32_t(length);
    return rpc_send(h) > 0;
}

}  // namespace

size_t rpc_put_accepted_header(uint8_t* dst, uint32_t xid, const rpc_call* call, uint32_t accept_status) {
    return xdr_put(dst, "qqqqOq", xid, RPC_REPLY, MSG_ACCEPTED, call->verf_flavor, call->verf, accept_status);
}

// xid, message type, accepted, the verifier's flavor and opaque body, the accept status.
size_t rpc_results_offset(const rpc_call* call) { return 5 * 4 + 4 + xdr_pad4(call->verf_len); }

bool rpc_reply_success(rpc_handle* h, const rpc_call* call, rpc_encoder encode, const void* result) {
    size_t n = rpc_put_accepted_header(h->buffer, h->xid, call, ACCEPT_SUCCESS);
    if (encode) n += encode(h->buffer + n, result);
    return send_message(h, n);
}

bool rpc_reply_error(rpc_handle* h, const rpc_call* call, uint32_t accept_status) {
    return send_message(h, rpc_put_accepted_header(h->buffer, h->xid, call, accept_status));
}

bool rpc_reply_prog_mismatch(rpc_handle* h, const rpc_call* call, uint32_t low, uint32_t high) {
    return send_message(h, xdr_put(h->buffer, "qqqqOqqq", h->xid, RPC_REPLY, MSG_ACCEPTED, call->verf_flavor,
                                   call->verf, ACCEPT_PROG_MISMATCH, low, high));
}

bool rpc_reply_rpc_mismatch(rpc_handle* h) {
    return send_message(h, xdr_put(h->buffer, "qqqqqq", h->xid, RPC_REPLY, MSG_DENIED, REJECT_RPC_MISMATCH,
                                   RPC_PROTOCOL_VERSION, RPC_PROTOCOL_VERSION));
}

bool rpc_reply_auth_error(rpc_handle* h, uint32_t auth_status) {
    return send_message(h, xdr_put(h->buffer, "qqqqq", h->xid, RPC_REPLY, MSG_DENIED, REJECT_AUTH_ERROR,
                                   auth_status));
}
