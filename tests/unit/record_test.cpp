// TCP record marking: reassembly from scripted reads, framing in place for
// sends, and both ends over a real loopback connection.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "unit_support.h"

namespace {

constexpr uint32_t LAST = 0x80000000u;

// A peer that hands out `data` in reads of the scripted sizes (cycled), then
// reports an orderly close.
struct script {
    bytes data;
    std::vector<int> chunks;   // empty: as much as asked
    size_t pos = 0;
    size_t chunk_index = 0;
    int calls = 0;
    int between_calls = 0;
    bool between_result = true;
    int over_deliver = 0;   // bytes beyond the request reported once (a faulty recv)
    bool error_at_end = false;
};

int script_recv(void* ctx, uint8_t* dst, int len) {
    auto* s = static_cast<script*>(ctx);
    ++s->calls;
    if (s->pos >= s->data.size()) return s->error_at_end ? -1 : 0;
    int n = len;
    if (!s->chunks.empty()) n = std::min(n, s->chunks[s->chunk_index++ % s->chunks.size()]);
    n = std::min(n, int(s->data.size() - s->pos));
    std::memcpy(dst, s->data.data() + s->pos, size_t(n));
    s->pos += size_t(n);
    if (s->over_deliver) {
        int extra = s->over_deliver;
        s->over_deliver = 0;
        return n + extra;
    }
    return n;
}

bool script_between(void* ctx) {
    auto* s = static_cast<script*>(ctx);
    ++s->between_calls;
    return s->between_result;
}

wire& fragment(wire& w, const bytes& payload, bool last) {
    return w.u32(uint32_t(payload.size()) | (last ? LAST : 0u)).raw(payload);
}

bytes pattern(size_t n, uint8_t start = 1) {
    bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = uint8_t(start + i);
    return b;
}

bytes concat(std::initializer_list<bytes> parts) {
    bytes out;
    for (const bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

struct ReadRecord : testing::Test {
    rpc_handle* h = nullptr;
    script s;
    void make(int32_t capacity) {
        if (h) rpc_handle_free(h);
        h = rpc_handle_create(NET_INVALID, RPC_TCP, 0, capacity);
        ASSERT_NE(h, nullptr);
        h->msg_len = 99;   // a stale length that a failed read must not leave
    }
    void SetUp() override { make(64); }
    void TearDown() override { rpc_handle_free(h); }
    bool read() { return rpc_read_record_from(h, script_recv, script_between, &s); }
};

TEST_F(ReadRecord, SingleLastFragment) {
    wire w;
    s.data = fragment(w, pattern(12), true).b;
    ASSERT_TRUE(read());
    EXPECT_EQ(message_of(h), pattern(12));
    EXPECT_EQ(s.between_calls, 0);
}

TEST_F(ReadRecord, SeveralFragmentsAreJoinedContiguously) {
    wire w;
    fragment(w, pattern(8, 0x10), false);
    fragment(w, pattern(12, 0x20), false);
    fragment(w, pattern(4, 0x30), true);
    s.data = w.b;
    ASSERT_TRUE(read());
    EXPECT_EQ(message_of(h), concat({pattern(8, 0x10), pattern(12, 0x20), pattern(4, 0x30)}));
    EXPECT_EQ(s.between_calls, 2) << "the wait runs before each further fragment";
}

TEST_F(ReadRecord, FragmentsAndMarksSplitAcrossReads) {
    wire w;
    fragment(w, pattern(8, 0x10), false);
    fragment(w, pattern(20, 0x40), true);
    const bytes expected = concat({pattern(8, 0x10), pattern(20, 0x40)});
    for (const std::vector<int>& chunks : std::vector<std::vector<int>>{{1}, {3}, {2, 5}, {7}, {4, 1}}) {
        make(64);
        s = script{};
        s.data = w.b;
        s.chunks = chunks;
        ASSERT_TRUE(read()) << "first chunk " << chunks[0];
        EXPECT_EQ(message_of(h), expected) << "first chunk " << chunks[0];
    }
}

TEST_F(ReadRecord, EmptyLastFragmentEndsTheRecord) {
    s.data = wire{}.u32(LAST).b;
    ASSERT_TRUE(read());
    EXPECT_EQ(h->msg_len, 0);

    make(64);
    wire w;
    fragment(w, pattern(8), false);
    s = script{};
    s.data = w.u32(LAST).b;
    ASSERT_TRUE(read());
    EXPECT_EQ(message_of(h), pattern(8));
}

TEST_F(ReadRecord, RecordFillingTheBufferExactly) {
    make(16);
    wire w;
    fragment(w, pattern(8), false);
    s.data = fragment(w, pattern(8, 0x50), true).b;
    ASSERT_TRUE(read());
    EXPECT_EQ(message_of(h), concat({pattern(8), pattern(8, 0x50)}));
}

TEST_F(ReadRecord, FragmentsOverflowingTheCapacityFail) {
    make(16);
    wire one;
    s.data = fragment(one, pattern(20), true).b;
    EXPECT_FALSE(read());
    EXPECT_EQ(h->msg_len, 0);
    EXPECT_EQ(s.pos, 4u) << "payload read although the mark already overflowed";

    make(16);
    wire two;
    fragment(two, pattern(8), false);
    s = script{};
    s.data = fragment(two, pattern(12), true).b;
    EXPECT_FALSE(read());
    EXPECT_EQ(h->msg_len, 0);
}

TEST_F(ReadRecord, HugeMarksFailBeforeReadingAnyPayload) {
    for (uint32_t mark : {0x7FFFFFFFu, 0xFFFFFFFFu, 0x80000041u}) {
        make(64);
        s = script{};
        s.data = wire{}.u32(mark).raw(pattern(64)).b;
        EXPECT_FALSE(read()) << std::hex << mark;
        EXPECT_EQ(s.pos, 4u);
    }
}

TEST_F(ReadRecord, FewerThanFiveBytesOfRoomEndTheRecord) {
    // 12 of 16 bytes used by a fragment not marked last: the record is complete
    // and what follows stays unread for the next record.
    make(16);
    wire w;
    fragment(w, pattern(12), false);
    s.data = fragment(w, pattern(4, 0x60), true).b;
    ASSERT_TRUE(read());
    EXPECT_EQ(message_of(h), pattern(12));
    EXPECT_EQ(s.pos, 16u);
    EXPECT_EQ(s.between_calls, 0);
}

TEST_F(ReadRecord, FragmentsOfAnyLengthAreJoinedWhole) {
    // Record marking puts no word alignment on fragments: 5 + 30 + 57 bytes
    // are one 92-byte message, however the reads split them.
    const bytes a = pattern(5, 0x10), b = pattern(30, 0x40), c = pattern(57, 0x80);
    wire w;
    fragment(w, a, false);
    fragment(w, b, false);
    fragment(w, c, true);
    for (const std::vector<int>& chunks : std::vector<std::vector<int>>{{}, {1}, {3}, {6, 7}}) {
        make(128);
        s = script{};
        s.data = w.b;
        s.chunks = chunks;
        ASSERT_TRUE(read());
        EXPECT_EQ(message_of(h), concat({a, b, c}));
        EXPECT_EQ(s.between_calls, 2);
    }
    // A single odd fragment keeps its last bytes.
    make(64);
    wire one;
    s = script{};
    s.data = fragment(one, pattern(30), true).b;
    ASSERT_TRUE(read());
    EXPECT_EQ(message_of(h), pattern(30));
}

TEST_F(ReadRecord, ClosedMidRecordFails) {
    wire w;
    fragment(w, pattern(8), false);
    fragment(w, pattern(8, 0x20), true);
    const bytes full = w.b;
    // Every cut short of the whole record: inside a mark, inside a payload,
    // between fragments.
    for (size_t cut = 0; cut < full.size(); ++cut) {
        make(64);
        s = script{};
        s.data = bytes(full.begin(), full.begin() + long(cut));
        EXPECT_FALSE(read()) << "cut at " << cut;
        EXPECT_EQ(h->msg_len, 0) << "cut at " << cut;
    }
    make(64);
    s = script{};
    s.data = bytes(full.begin(), full.begin() + 6);
    s.error_at_end = true;
    EXPECT_FALSE(read());
}

TEST_F(ReadRecord, FailedWaitBetweenFragmentsFails) {
    wire w;
    fragment(w, pattern(8), false);
    s.data = fragment(w, pattern(8), true).b;
    s.between_result = false;
    EXPECT_FALSE(read());
    EXPECT_EQ(s.between_calls, 1);
    EXPECT_EQ(h->msg_len, 0);
}

TEST_F(ReadRecord, ReceiveReportingMoreThanAskedFails) {
    wire w;
    s.data = fragment(w, pattern(8), true).b;
    s.chunks = {4};
    s.over_deliver = 60;
    EXPECT_FALSE(read());
}

// Collects what rpc_send_record_with hands to the connection.
struct sink {
    std::vector<bytes> sends;
    std::vector<const uint8_t*> starts;
    int fail_at = -1;
};

int sink_send(void* ctx, const uint8_t* src, int len) {
    auto* k = static_cast<sink*>(ctx);
    int index = int(k->sends.size());
    k->sends.emplace_back(src, src + len);
    k->starts.push_back(src);
    return index == k->fail_at ? -1 : len;
}

struct SendRecord : testing::Test {
    rpc_handle* h = nullptr;
    sink k;
    bytes message;
    void make(int32_t capacity, size_t len) {
        h = rpc_handle_create(NET_INVALID, RPC_TCP, 0, capacity);
        ASSERT_NE(h, nullptr);
        std::memcpy(h->mark_slot, "\x11\x22\x33\x44", 4);
        message = pattern(len, 0x81);
        load_message(h, message);
    }
    void TearDown() override { rpc_handle_free(h); }
    void expect_untouched() {
        EXPECT_EQ(message_of(h), message) << "bytes under a mark were not put back";
        EXPECT_EQ(bytes(h->mark_slot, h->mark_slot + 4), (bytes{0x11, 0x22, 0x33, 0x44}));
    }
};

TEST_F(SendRecord, OneFragmentIsFramedInTheMarkSlot) {
    make(64, 10);
    EXPECT_EQ(rpc_send_record_with(h, sink_send, &k), 14);
    ASSERT_EQ(k.sends.size(), 1u);
    EXPECT_EQ(k.starts[0], h->mark_slot) << "the reply was copied to be framed";
    EXPECT_EQ(k.sends[0], wire{}.u32(LAST | 10).raw(message).b);
    expect_untouched();
}

TEST_F(SendRecord, FullBufferIsSentAsTwoFragmentsInPlace) {
    make(16, 16);   // fragments of at most 12 bytes
    EXPECT_EQ(rpc_send_record_with(h, sink_send, &k), 8);
    ASSERT_EQ(k.sends.size(), 2u);
    EXPECT_EQ(k.sends[0], wire{}.u32(12).raw(message.data(), 12).b);
    EXPECT_EQ(k.sends[1], wire{}.u32(LAST | 4).raw(message.data() + 12, 4).b);
    EXPECT_EQ(k.starts[0], h->mark_slot);
    EXPECT_EQ(k.starts[1], h->buffer + 8) << "the second mark is not written over sent data";
    expect_untouched();
}

TEST_F(SendRecord, CapacityMinusThreeBytesNeedTwoFragments) {
    make(16, 12);
    rpc_send_record_with(h, sink_send, &k);
    ASSERT_EQ(k.sends.size(), 1u);
    EXPECT_EQ(k.sends[0], wire{}.u32(LAST | 12).raw(message).b);
    rpc_handle_free(h);
    k = sink{};
    make(16, 13);
    rpc_send_record_with(h, sink_send, &k);
    ASSERT_EQ(k.sends.size(), 2u);
    EXPECT_EQ(k.sends[0], wire{}.u32(12).raw(message.data(), 12).b);
    EXPECT_EQ(k.sends[1], wire{}.u32(LAST | 1).raw(message.data() + 12, 1).b);
    expect_untouched();
}

TEST_F(SendRecord, SmallBuffersGiveSmallFragments) {
    // Five bytes of capacity leave one byte per fragment; every mark lands in
    // front of its byte, partly over the mark slot, and everything is put back.
    make(5, 5);
    EXPECT_EQ(rpc_send_record_with(h, sink_send, &k), 5);
    ASSERT_EQ(k.sends.size(), 5u);
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(k.sends[i], wire{}.u32((i == 4 ? LAST : 0u) | 1).raw(message.data() + i, 1).b) << i;
        EXPECT_EQ(k.starts[i], h->buffer + i - 4);
    }
    expect_untouched();
}

TEST_F(SendRecord, EmptyReplyIsOneEmptyLastFragment) {
    make(64, 0);
    EXPECT_EQ(rpc_send_record_with(h, sink_send, &k), 4);
    ASSERT_EQ(k.sends.size(), 1u);
    EXPECT_EQ(k.sends[0], wire{}.u32(LAST).b);
}

TEST_F(SendRecord, FailedSendStopsAndRestoresTheBuffer) {
    make(16, 16);
    k.fail_at = 0;
    EXPECT_EQ(rpc_send_record_with(h, sink_send, &k), 0);
    EXPECT_EQ(k.sends.size(), 1u) << "kept sending after a failure";
    expect_untouched();
    k = sink{};
    k.fail_at = 1;
    EXPECT_EQ(rpc_send_record_with(h, sink_send, &k), 0);
    EXPECT_EQ(k.sends.size(), 2u) << "kept sending after a failure";
    expect_untouched();
}

TEST_F(SendRecord, NoRoomForAPayloadSendsNothing) {
    make(4, 4);
    EXPECT_EQ(rpc_send_record_with(h, sink_send, &k), 0);
    EXPECT_TRUE(k.sends.empty());
}

// Both directions over a real connection on 127.0.0.1.
struct tcp_pair {
    net_socket a = NET_INVALID, b = NET_INVALID;
    tcp_pair() {
        socket_guard listener(rpc_tcp_server_socket(0x7F000001u, 0));
        net_addr4 at{};
        if (listener.s == NET_INVALID || !net_local_address(listener.s, &at)) return;
        socket_guard client(net_tcp_socket());
        if (client.s == NET_INVALID || !net_connect(client.s, at)) return;
        net_addr4 peer{};
        int32_t peer_len = NET_ADDR4_LEN;
        b = net_accept(listener.s, &peer, &peer_len);
        if (b != NET_INVALID) a = client.release();
    }
    ~tcp_pair() {
        rpc_close_socket(a);
        rpc_close_socket(b);
    }
};

TEST(RecordOverTcp, FragmentedSendIsReassembled) {
    tcp_pair p;
    ASSERT_NE(p.a, NET_INVALID);
    ASSERT_NE(p.b, NET_INVALID);
    rpc_handle* out = rpc_handle_create(p.a, RPC_TCP, 0, 16);
    rpc_handle* in = rpc_handle_create(p.b, RPC_TCP, 0, 256);
    ASSERT_NE(out, nullptr);
    ASSERT_NE(in, nullptr);
    const bytes message = pattern(16, 0x21);
    load_message(out, message);
    EXPECT_EQ(rpc_send(out), 8);   // 12 + 4: the last call carries its mark and 4 bytes
    ASSERT_TRUE(rpc_read_record(in, 2000, 2000));
    EXPECT_EQ(message_of(in), message);
    // Two records in a row are kept apart.
    load_message(out, pattern(8, 0x70));
    EXPECT_GT(rpc_send(out), 0);
    ASSERT_TRUE(rpc_read_record(in, 2000, 2000));
    EXPECT_EQ(message_of(in), pattern(8, 0x70));
    // A peer that goes quiet in the middle of a record times the read out.
    const uint8_t half_mark[2] = {0x80, 0};
    ASSERT_EQ(net_send(p.a, half_mark, 2), 2);
    EXPECT_FALSE(rpc_read_record(in, 100, 100));
    rpc_handle_free(out);
    rpc_handle_free(in);
}

}  // namespace
