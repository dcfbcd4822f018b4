// Datagrams and TCP record marking (RFC 5531 section 11).
#include <cstring>

#include "platform/thread.h"
#include "rpc/serving.h"
#include "rpc/transport.h"
#include "rpc/xdr.h"

namespace {

constexpr uint32_t last_fragment = 0x80000000u;

bool recv_exact(rpc_recv_fn recv, void* ctx, uint8_t* dst, int len) {
    while (len > 0) {
        int n = recv(ctx, dst, len);
        if (n <= 0 || n > len) return false;
        dst += n;
        len -= n;
    }
    return true;
}

struct socket_reader {
    net_socket s;
    int idle_ms;      // limit of one wait for data
    int between_ms;   // wait before a further fragment (client use), or < 0
};

int socket_recv(void* ctx, uint8_t* dst, int len) {
    auto* r = static_cast<socket_reader*>(ctx);
    if (r->idle_ms >= 0 && net_wait_one(r->s, r->idle_ms) <= 0) return -1;
    return net_recv(r->s, dst, len);
}

bool socket_between(void* ctx) {
    auto* r = static_cast<socket_reader*>(ctx);
    return r->between_ms < 0 || net_wait_one(r->s, r->between_ms) > 0;
}

int socket_send(void* ctx, const uint8_t* src, int len) {
    net_socket s = *static_cast<net_socket*>(ctx);
    int sent = 0;
    while (sent < len) {
        int n = net_send(s, src + sent, len - sent);
        if (n <= 0) return n < 0 ? -1 : 0;
        sent += n;
    }
    return sent;
}

}  // namespace

bool rpc_receive_datagram(rpc_handle* h) {
    h->msg_len = 0;   // never leave the previous datagram's length behind
    h->peer_len = NET_ADDR4_LEN;
    int n = net_recvfrom(h->socket, h->buffer, h->capacity, &h->peer, &h->peer_len);
    if (n <= 0) return false;
    h->msg_len = n;
    return true;
}

bool rpc_read_record_from(rpc_handle* h, rpc_recv_fn recv, rpc_wait_fn between, void* ctx) {
    h->msg_len = 0;
    int64_t room = h->capacity;
    uint8_t* write = h->buffer;
    for (;;) {
        // The mark is read whole even when it arrives split across segments.
        uint8_t mark_bytes[4];
        if (!recv_exact(recv, ctx, mark_bytes, 4)) return false;
        uint32_t mark = xdr_load32(mark_bytes);
        uint32_t length = mark & ~last_fragment;
        if (int64_t(length) > room) return false;
        if (!recv_exact(recv, ctx, write, int(length))) return false;
        room -= length;
        write += length;   // fragments may have any length (RFC 5531 section 11)
        if ((mark & last_fragment) || room < 5) {
            h->msg_len = int32_t(write - h->buffer);
            return true;
        }
        if (between && !between(ctx)) return false;
    }
}

bool rpc_read_record(rpc_handle* h, int idle_ms, int between_ms) {
    socket_reader r{h->socket, idle_ms, between_ms};
    return rpc_read_record_from(h, socket_recv, socket_between, &r);
}

int rpc_send_record_with(rpc_handle* h, rpc_send_fn send, void* ctx) {
    // Each fragment is framed by writing its mark over the 4 bytes in front of
    // it; the first mark lives in the mark slot, later ones overwrite data that
    // is already sent and are put back afterwards.
    const int32_t max_payload = h->capacity - 4;
    if (max_payload <= 0) return 0;
    uint8_t* frag = h->buffer;
    int32_t remaining = h->msg_len;
    int last = 0;
    for (;;) {
        bool final = remaining <= max_payload;
        int32_t len = final ? remaining : max_payload;
        uint8_t* mark = frag - 4;
        uint8_t saved[4];
        std::memcpy(saved, mark, 4);
        xdr_store32(mark, uint32_t(len) | (final ? last_fragment : 0u));
        last = send(ctx, mark, len + 4);
        std::memcpy(mark, saved, 4);
        if (last <= 0) return 0;
        if (final) return last;
        frag += len;
        remaining -= len;
    }
}

int rpc_send(rpc_handle* h) {
    if (h->protocol == RPC_TCP) {
        if (!h->group) return rpc_send_record_with(h, socket_send, &h->socket);
        crit_guard g(&h->group->send_lock);
        return rpc_send_record_with(h, socket_send, &h->socket);
    }
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (attempt) sleep_ms(0);
        int n = net_sendto(h->socket, h->buffer, h->msg_len, h->peer);
        if (n >= 0) return n;
    }
    return -1;
}
