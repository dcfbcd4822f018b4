// Fuzzes the TCP record reader over a scripted receive function and compares
// it with a model of record marking written from the wire format: the same
// success, the same message, and no byte consumed beyond the record.
//
// Input: two bytes choosing the buffer capacity, one byte seeding the sizes
// that each receive hands out, one byte telling after how many fragments the
// wait between fragments fails (0: never), then the byte stream.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tests/fuzz/fuzz_check.h"
#include "rpc/transport.h"
#include "rpc/xdr.h"

namespace {

struct script {
    const uint8_t* data;
    size_t size;
    size_t pos;
    uint32_t rng;            // sizes of the receives
    int waits_left;          // < 0: the wait between fragments always succeeds
    int waits;
};

int scripted_recv(void* ctx, uint8_t* dst, int len) {
    auto* s = static_cast<script*>(ctx);
    if (s->pos >= s->size) return 0;   // orderly close
    s->rng = s->rng * 1103515245u + 12345u;
    size_t n = 1 + (s->rng >> 16) % size_t(len);
    // Large records would take thousands of tiny receives: let most be whole.
    if ((s->rng >> 8) & 1) n = size_t(len);
    if (n > s->size - s->pos) n = s->size - s->pos;
    std::memcpy(dst, s->data + s->pos, n);
    s->pos += n;
    return int(n);
}

bool scripted_wait(void* ctx) {
    auto* s = static_cast<script*>(ctx);
    ++s->waits;
    if (s->waits_left < 0) return true;
    return s->waits_left-- > 0;
}

struct model_result {
    bool ok;
    std::vector<uint8_t> message;
    size_t consumed;
};

// Record marking as the reader is meant to do it: fragments until the last
// one, each no longer than the room left, each appended whole whatever its
// length; fewer than 5 bytes of room end it.
model_result model(const uint8_t* data, size_t size, int32_t capacity, int waits_allowed) {
    model_result r{false, std::vector<uint8_t>(size_t(capacity) + 4), 0};
    int64_t room = capacity;
    size_t write = 0;
    int waits = 0;
    for (;;) {
        if (size - r.consumed < 4) return r;
        uint32_t mark = xdr_load32(data + r.consumed);
        r.consumed += 4;
        uint32_t length = mark & 0x7FFFFFFFu;
        if (int64_t(length) > room) return r;
        if (size - r.consumed < length) return r;
        std::memcpy(r.message.data() + write, data + r.consumed, length);
        r.consumed += length;
        room -= length;
        write += length;
        if ((mark & 0x80000000u) || room < 5) {
            r.ok = true;
            r.message.resize(write);
            return r;
        }
        if (waits_allowed >= 0 && waits++ >= waits_allowed) return r;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    int32_t capacity = int32_t((uint32_t(data[0]) << 8 | data[1]) % 9000);
    uint32_t seed = data[2];
    int waits_allowed = data[3] == 0 ? -1 : data[3] - 1;
    const uint8_t* stream = data + 4;
    size_t stream_size = size - 4;

    rpc_handle* h = rpc_handle_create(NET_INVALID, RPC_TCP, 0, capacity);
    FUZZ_CHECK(h);
    script s{stream, stream_size, 0, seed, waits_allowed, 0};
    bool ok = rpc_read_record_from(h, scripted_recv, scripted_wait, &s);
    model_result want = model(stream, stream_size, capacity, waits_allowed);

    FUZZ_CHECK(ok == want.ok);
    if (ok) {
        FUZZ_CHECK(h->msg_len >= 0 && h->msg_len <= h->capacity);
        FUZZ_CHECK(size_t(h->msg_len) == want.message.size());
        FUZZ_CHECK(h->msg_len == 0 || std::memcmp(h->buffer, want.message.data(), size_t(h->msg_len)) == 0);
        // A record ends where its last fragment ends: the next one is untouched.
        FUZZ_CHECK(s.pos == want.consumed);
    } else {
        FUZZ_CHECK(h->msg_len == 0);
    }
    rpc_handle_free(h);
    return 0;
}
