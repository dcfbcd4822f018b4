// Decoding and checking of call headers and credentials.
#include "rpc/message.h"

namespace {

// Copies a length word and body of at most RPC_AUTH_MAX bytes into field;
// false when the body is longer or runs past the message.
bool take_auth(const uint8_t* msg, int32_t msg_len, int32_t* off, uint32_t* len, uint8_t* field) {
    if (*off + 4 > msg_len) return false;
    *len = xdr_load32(msg + *off);
    if (*len > RPC_AUTH_MAX) return false;
    int64_t end = int64_t(*off) + 4 + xdr_pad4(*len);
    if (end > msg_len) return false;
    std::memcpy(field, msg + *off, 4 + size_t(*len));
    *off = int32_t(end);
    return true;
}

void set_anonymous(rpc_call* call) {
    call->stamp = 0;
    call->machine_name_buf[0] = '\0';
    call->machine_name = call->machine_name_buf;
    call->uid = RPC_NOBODY;
    call->gid = RPC_NOBODY;
    call->gid_count = 0;
    call->gids = call->gid_buf;
}

uint32_t parse_auth_unix(rpc_call* call) {
    xdr_cursor c{0, int32_t(call->cred_len), call->cred + 4};
    uint32_t stamp, name_len, uid, gid, count;
    if (!xdr_get_u32(&c, &stamp) || !xdr_get_u32(&c, &name_len)) return AUTH_BADCRED;
    if (name_len > RPC_MACHINE_NAME_MAX || !xdr_get_bytes(&c, call->machine_name_buf, name_len))
        return AUTH_BADCRED;
    call->machine_name_buf[name_len] = '\0';
    if (!xdr_get_u32(&c, &uid) || !xdr_get_u32(&c, &gid) || !xdr_get_u32(&c, &count)) return AUTH_BADCRED;
    if (count > RPC_GIDS_MAX) return AUTH_BADCRED;
    if (call->cred_len < 20 + xdr_pad4(name_len) + 4 * count) return AUTH_BADCRED;
    for (uint32_t i = 0; i < count; ++i) xdr_get_u32(&c, &call->gid_buf[i]);
    call->stamp = stamp;
    call->machine_name = call->machine_name_buf;
    call->uid = uid;
    call->gid = gid;
    call->gid_count = count;
    call->gids = call->gid_buf;
    return AUTH_OK;
}

}  // namespace

bool rpc_decode_call(rpc_handle* h, rpc_call* call) {
    const uint8_t* msg = h->buffer;
    const int32_t len = h->msg_len;
    if (len < 32) return false;
    h->xid = xdr_load32(msg);
    call->msg_type = xdr_load32(msg + 4);
    if (call->msg_type != RPC_CALL) return false;
    call->rpc_version = xdr_load32(msg + 8);
    if (call->rpc_version != RPC_PROTOCOL_VERSION) {
        rpc_reply_rpc_mismatch(h);
        return false;
    }
    call->program = xdr_load32(msg + 12);
    call->version = xdr_load32(msg + 16);
    call->procedure = xdr_load32(msg + 20);
    call->cred_flavor = xdr_load32(msg + 24);
    int32_t off = 28;
    if (!take_auth(msg, len, &off, &call->cred_len, call->cred)) {
        rpc_reply_auth_error(h, AUTH_BADCRED);
        return false;
    }
    // A verifier cut off by the end of the message is as bad as an oversized one.
    if (off + 4 > len) {
        rpc_reply_auth_error(h, AUTH_BADVERF);
        return false;
    }
    call->verf_flavor = xdr_load32(msg + off);
    off += 4;
    if (!take_auth(msg, len, &off, &call->verf_len, call->verf)) {
        rpc_reply_auth_error(h, AUTH_BADVERF);
        return false;
    }
    call->args = xdr_cursor{0, len - off, msg + off};
    return true;
}

uint32_t rpc_authenticate(rpc_call* call) {
    // Every call starts anonymous: a reused record never carries the identity
    // of the call its thread served before.
    set_anonymous(call);
    switch (call->cred_flavor) {
    case AUTH_NULL: return AUTH_OK;
    case AUTH_UNIX: {
        uint32_t status = parse_auth_unix(call);
        if (status != AUTH_OK) set_anonymous(call);
        return status;
    }
    default: return AUTH_REJECTEDCRED;
    }
}
