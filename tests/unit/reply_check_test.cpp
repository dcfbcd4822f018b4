// The check of a reply received by the loopback client.
#include <gtest/gtest.h>

#include <cstring>

#include "unit_support.h"

namespace {

struct ReplyCheck : testing::Test {
    rpc_handle* h = nullptr;
    void SetUp() override {
        h = rpc_handle_create(NET_INVALID, RPC_UDP, 0, RPC_CLIENT_CAPACITY);
        ASSERT_NE(h, nullptr);
        h->xid = 0x1234;
    }
    void TearDown() override { rpc_handle_free(h); }
    int check(const bytes& m) {
        load_message(h, m);
        return rpc_reply_check(h);
    }
};

wire accepted(uint32_t xid, uint32_t status) {
    wire w;
    w.u32(xid).u32(RPC_REPLY).u32(MSG_ACCEPTED).u32(AUTH_NULL).u32(0).u32(status);
    return w;
}

TEST_F(ReplyCheck, SuccessGivesTheLengthAndResultsAtByte24) {
    EXPECT_EQ(RPC_REPLY_RESULTS, 24);
    EXPECT_EQ(check(accepted(0x1234, ACCEPT_SUCCESS).b), 24);
    EXPECT_EQ(check(accepted(0x1234, ACCEPT_SUCCESS).u32(1).b), 28);
}

TEST_F(ReplyCheck, EachAcceptStatus) {
    EXPECT_EQ(check(accepted(0x1234, ACCEPT_PROG_MISMATCH).u32(2).u32(3).b), -6);
    EXPECT_EQ(check(accepted(0x1234, ACCEPT_PROG_UNAVAIL).b), -7);
    EXPECT_EQ(check(accepted(0x1234, ACCEPT_PROC_UNAVAIL).b), -8);
    EXPECT_EQ(check(accepted(0x1234, ACCEPT_GARBAGE_ARGS).b), -9);
    EXPECT_EQ(check(accepted(0x1234, ACCEPT_SYSTEM_ERR).b), -9);
    EXPECT_EQ(check(accepted(0x1234, 0x7FFFFFFF).b), -9);
}

TEST_F(ReplyCheck, DeniedReplies) {
    EXPECT_EQ(check(wire{}.u32(0x1234).u32(1).u32(MSG_DENIED).u32(REJECT_RPC_MISMATCH).u32(2).u32(2).b), -3);
    EXPECT_EQ(check(wire{}.u32(0x1234).u32(1).u32(MSG_DENIED).u32(REJECT_AUTH_ERROR).u32(AUTH_BADCRED).b), -4);
    // Any reply status but MSG_ACCEPTED counts as denied.
    EXPECT_EQ(check(wire{}.u32(0x1234).u32(1).u32(7).u32(REJECT_AUTH_ERROR).u32(0).b), -4);
}

TEST_F(ReplyCheck, WrongXidOrTypeComesBeforeTheStatus) {
    EXPECT_EQ(check(accepted(0x1235, ACCEPT_SUCCESS).b), -1);
    EXPECT_EQ(check(accepted(0x1235, ACCEPT_PROG_UNAVAIL).b), -1);
    bytes call_back = accepted(0x1234, ACCEPT_SUCCESS).b;
    call_back[7] = RPC_CALL;
    EXPECT_EQ(check(call_back), -2);
    call_back[7] = 2;
    EXPECT_EQ(check(call_back), -2);
}

TEST_F(ReplyCheck, ShortMessages) {
    bytes full = accepted(0x1234, ACCEPT_SUCCESS).b;
    for (size_t len = 0; len < 20; ++len) {
        // Even with a wrong xid the length is looked at first.
        bytes m(full.begin(), full.begin() + long(len));
        EXPECT_EQ(check(m), -10) << len;
    }
}

TEST_F(ReplyCheck, AcceptedReplyWithoutItsStatusWordIsShort) {
    // Stale bytes after the message (here the procedure word of an earlier
    // call) must not be read as the accept status.
    bytes stale = accepted(0x1234, ACCEPT_PROG_UNAVAIL).u32(0).b;
    std::memcpy(h->buffer, stale.data(), stale.size());
    for (int32_t len = 20; len < 24; ++len) {
        h->msg_len = len;
        EXPECT_EQ(rpc_reply_check(h), -10) << len;
    }
    bytes zero = accepted(0x1234, ACCEPT_SUCCESS).b;
    std::memcpy(h->buffer, zero.data(), zero.size());
    for (int32_t len = 20; len < 24; ++len) {
        h->msg_len = len;
        EXPECT_EQ(rpc_reply_check(h), -10) << len;
    }
}

}  // namespace
