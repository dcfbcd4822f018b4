// Duplicate reply slots: replay to the same client, and stores that race.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <vector>

#include "platform/thread.h"
#include "unit_support.h"

namespace {

struct result_record {
    uint32_t words[16];
};

size_t encode_record(uint8_t* dst, const void* r) {
    const auto* rec = static_cast<const result_record*>(r);
    size_t n = 0;
    for (uint32_t w : rec->words) n += xdr_enc_u32(dst + n, w);
    return n;
}

result_record filled(uint32_t v) {
    result_record r;
    for (uint32_t& w : r.words) w = v;
    return r;
}

bytes accepted_record(uint32_t xid, uint32_t v) {
    wire w;
    w.u32(xid).u32(RPC_REPLY).u32(MSG_ACCEPTED).u32(0).u32(0).u32(ACCEPT_SUCCESS);
    for (int i = 0; i < 16; ++i) w.u32(v);
    return w.b;
}

struct ReplySlot : testing::Test {
    reply_capture cap;
    rpc_call call{};
    reply_slot slot{};
    result_record stored{};

    void SetUp() override { ASSERT_TRUE(cap.ok()); }
    void store(uint32_t xid, uint32_t v) {
        cap.h->xid = xid;
        result_record r = filled(v);
        reply_slot_store(cap.h, &slot, &stored, &r, sizeof r);
    }
    bool replay(uint32_t xid) {
        cap.h->xid = xid;
        return reply_slot_replay(cap.h, &call, &slot, encode_record, &stored);
    }
};

TEST_F(ReplySlot, EmptySlotNeverReplays) {
    // Fields that happen to match an empty slot do not count.
    slot.xid = 0;
    slot.addr = cap.h->peer.addr;
    slot.port = cap.h->peer.port;
    EXPECT_FALSE(replay(0));
    EXPECT_TRUE(cap.silent());
}

TEST_F(ReplySlot, StoredReplyIsReplayedToTheSameClient) {
    store(42, 0x0101);
    EXPECT_EQ(slot.state.load(), 1);
    EXPECT_EQ(slot.xid, 42u);
    EXPECT_EQ(slot.addr, cap.h->peer.addr);
    EXPECT_EQ(slot.port, cap.h->peer.port);
    EXPECT_EQ(stored.words[15], 0x0101u);

    ASSERT_TRUE(replay(42));
    bytes got;
    ASSERT_TRUE(cap.next(&got));
    EXPECT_EQ(got, accepted_record(42, 0x0101));
    EXPECT_EQ(slot.state.load(), 1);
    // A second retransmission is answered again.
    EXPECT_TRUE(replay(42));
    ASSERT_TRUE(cap.next(&got));
    EXPECT_EQ(got, accepted_record(42, 0x0101));
}

TEST_F(ReplySlot, OtherXidAddressOrPortIsNotReplayed) {
    store(42, 7);
    EXPECT_FALSE(replay(43));

    net_addr4 own = cap.h->peer;
    cap.h->peer.addr = net_make_addr(0x7F000002u, 0).addr;
    EXPECT_FALSE(replay(42));
    cap.h->peer = own;
    cap.h->peer.port = uint16_t(own.port ^ 0x0100);
    EXPECT_FALSE(replay(42));
    cap.h->peer = own;
    EXPECT_TRUE(cap.silent());
    EXPECT_TRUE(replay(42));
}

TEST_F(ReplySlot, EachStoreReplacesTheLastRequest) {
    store(1, 0xA);
    net_addr4 own = cap.h->peer;
    cap.h->peer.port = uint16_t(own.port ^ 0x0100);   // another client of the same procedure
    store(2, 0xB);
    cap.h->peer = own;
    EXPECT_FALSE(replay(1));
    EXPECT_EQ(stored.words[0], 0xBu);
}

TEST_F(ReplySlot, SlotBeingWrittenIsLeftAlone) {
    store(5, 0x55);
    slot.state.store(-1);
    store(6, 0x66);   // skipped: another thread holds the slot
    EXPECT_EQ(slot.xid, 5u);
    EXPECT_EQ(stored.words[0], 0x55u);
    EXPECT_EQ(slot.state.load(), -1);
    EXPECT_FALSE(replay(5));
    EXPECT_TRUE(cap.silent());
    slot.state.store(1);
    EXPECT_TRUE(replay(5));
}

// Threads that store and replay on one slot at the same time.
struct race {
    reply_slot slot{};
    result_record data{};
};

struct racer {
    race* r;
    int index;
    plat_event* done;
};

thread_local uint32_t t_expected_word;
std::atomic<int> g_torn_encodes{0};

size_t encode_checked(uint8_t* dst, const void* rec) {
    const auto* r = static_cast<const result_record*>(rec);
    for (uint32_t w : r->words)
        if (w != t_expected_word) g_torn_encodes.fetch_add(1);
    return encode_record(dst, rec);
}

void race_thread(void* arg) {
    auto* p = static_cast<racer*>(arg);
    rpc_handle* h = rpc_handle_create(NET_INVALID, RPC_UDP, 0, 256);
    if (h) {
        h->peer = net_make_addr(0x7F000001u, uint16_t(1000 + p->index));
        rpc_call call{};
        for (uint32_t i = 1; i <= 3000; ++i) {
            uint32_t xid = (uint32_t(p->index) << 16) | i;
            h->xid = xid;
            result_record rec = filled(xid);
            reply_slot_store(h, &p->r->slot, &p->r->data, &rec, sizeof rec);
            t_expected_word = xid;
            reply_slot_replay(h, &call, &p->r->slot, encode_checked, &p->r->data);
        }
        rpc_handle_free(h);
    }
    event_set(p->done);
}

TEST(ReplySlotRace, ConcurrentStoresNeverTearARecord) {
    g_torn_encodes.store(0);
    race r;
    constexpr int n = 4;
    racer racers[n];
    for (int i = 0; i < n; ++i) {
        racers[i] = racer{&r, i + 1, event_create(true, false)};
        ASSERT_NE(racers[i].done, nullptr);
    }
    int started = 0;
    for (int i = 0; i < n; ++i) started += thread_start(race_thread, &racers[i]) ? 1 : 0;
    ASSERT_EQ(started, n);
    for (auto& p : racers) {
        EXPECT_TRUE(event_wait(p.done, 30000));
        event_close(p.done);
    }
    EXPECT_EQ(g_torn_encodes.load(), 0) << "a replay sent a record mixed from two stores";
    EXPECT_EQ(r.slot.state.load(), 1);
    for (uint32_t w : r.data.words) EXPECT_EQ(w, r.slot.xid) << "stored record does not belong to the stored xid";
}

}  // namespace
