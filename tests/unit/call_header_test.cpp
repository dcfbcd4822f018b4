// Call header decoding and credential checks.
#include <gtest/gtest.h>

#include <cstring>

#include "unit_support.h"

namespace {

bytes rpc_mismatch_reply(uint32_t xid) { return wire{}.u32(xid).u32(1).u32(1).u32(0).u32(2).u32(2).b; }
bytes auth_error_reply(uint32_t xid, uint32_t status) { return wire{}.u32(xid).u32(1).u32(1).u32(1).u32(status).b; }

call_spec unix_call(const bytes& body) {
    call_spec c;
    c.cred_flavor = AUTH_UNIX;
    c.cred = body;
    return c;
}

struct CallHeader : testing::Test {
    reply_capture cap;
    rpc_call call{};

    void SetUp() override { ASSERT_TRUE(cap.ok()); }

    bool decode(const bytes& m) {
        load_message(cap.h, m);
        return rpc_decode_call(cap.h, &call);
    }
    void expect_reply(const bytes& expected) {
        bytes got;
        ASSERT_TRUE(cap.next(&got)) << "no reply sent";
        EXPECT_EQ(got, expected);
        EXPECT_TRUE(cap.silent()) << "more than one reply";
    }
};

TEST_F(CallHeader, MinimalCallIsAcceptedWithoutReply) {
    call_spec c;
    c.xid = 0xCAFEF00D;
    c.program = 100003;
    c.version = 3;
    c.procedure = 6;
    ASSERT_TRUE(decode(build_call(c)));
    EXPECT_EQ(cap.h->xid, 0xCAFEF00Du);
    EXPECT_EQ(call.msg_type, RPC_CALL);
    EXPECT_EQ(call.rpc_version, 2u);
    EXPECT_EQ(call.program, 100003u);
    EXPECT_EQ(call.version, 3u);
    EXPECT_EQ(call.procedure, 6u);
    EXPECT_EQ(call.cred_flavor, AUTH_NULL);
    EXPECT_EQ(call.cred_len, 0u);
    EXPECT_EQ(call.args.pos, 0);
    EXPECT_EQ(call.args.size, 0);
    EXPECT_TRUE(cap.silent());
}

TEST_F(CallHeader, MessagesShorterThan32BytesAreDroppedSilently) {
    bytes full = build_call(call_spec{});
    for (size_t len = 0; len < 32; ++len) {
        EXPECT_FALSE(decode(bytes(full.begin(), full.begin() + len))) << len;
        EXPECT_TRUE(cap.silent()) << "reply to a " << len << "-byte message";
    }
}

TEST_F(CallHeader, ThirtyTwoBytesEndBeforeTheVerifier) {
    bytes full = build_call(call_spec{});
    EXPECT_FALSE(decode(bytes(full.begin(), full.begin() + 32)));
    expect_reply(auth_error_reply(call_spec{}.xid, AUTH_BADVERF));
}

TEST_F(CallHeader, ReplyOrUnknownTypeIsDroppedButItsXidKept) {
    for (uint32_t type : {1u, 2u, 0xFFFFFFFFu}) {
        call_spec c;
        c.xid = 0x100 + type;
        c.msg_type = type;
        EXPECT_FALSE(decode(build_call(c)));
        EXPECT_EQ(cap.h->xid, c.xid);
        EXPECT_TRUE(cap.silent()) << "reply to message type " << type;
    }
}

TEST_F(CallHeader, OtherRpcVersionsGetRpcMismatchTwoTwo) {
    for (uint32_t v : {3u, 1u, 0u, 0xFFFFFFFFu}) {
        call_spec c;
        c.xid = 0x77000000 + v;
        c.rpc_version = v;
        EXPECT_FALSE(decode(build_call(c)));
        expect_reply(rpc_mismatch_reply(c.xid));
    }
}

TEST_F(CallHeader, CredentialOf400BytesIsTakenWhole) {
    call_spec c;
    c.cred_flavor = 9;
    c.cred = bytes(400);
    for (size_t i = 0; i < c.cred.size(); ++i) c.cred[i] = uint8_t(i * 7);
    ASSERT_TRUE(decode(build_call(c)));
    EXPECT_EQ(call.cred_flavor, 9u);
    EXPECT_EQ(call.cred_len, 400u);
    EXPECT_EQ(bytes(call.cred, call.cred + 404), wire{}.u32(400).raw(c.cred).b);
    EXPECT_TRUE(cap.silent());
}

TEST_F(CallHeader, CredentialOver400BytesGetsBadCred) {
    call_spec c;
    c.cred_flavor = AUTH_UNIX;
    c.cred = bytes(401, 1);
    EXPECT_FALSE(decode(build_call(c)));
    expect_reply(auth_error_reply(c.xid, AUTH_BADCRED));
}

TEST_F(CallHeader, CredentialRunningPastTheMessageGetsBadCred) {
    // Declares 100 body bytes; the message ends after 8 of them.
    bytes m = wire{}.u32(5).u32(0).u32(2).u32(1).u32(1).u32(0).u32(AUTH_UNIX).u32(100).u32(0).u32(0).b;
    EXPECT_FALSE(decode(m));
    expect_reply(auth_error_reply(5, AUTH_BADCRED));
    // Padding counts: a 5-byte body needs 8 bytes before the verifier.
    bytes p = wire{}.u32(6).u32(0).u32(2).u32(1).u32(1).u32(0).u32(9).u32(5).raw("abcde", 5).b;
    EXPECT_FALSE(decode(p));
    expect_reply(auth_error_reply(6, AUTH_BADCRED));
}

TEST_F(CallHeader, VerifierOf400BytesIsTakenWhole) {
    call_spec c;
    c.verf_flavor = 6;
    c.verf = bytes(400, 0x5A);
    ASSERT_TRUE(decode(build_call(c)));
    EXPECT_EQ(call.verf_flavor, 6u);
    EXPECT_EQ(call.verf_len, 400u);
    EXPECT_EQ(bytes(call.verf, call.verf + 404), wire{}.u32(400).raw(c.verf).b);
}

TEST_F(CallHeader, VerifierOver400BytesGetsBadVerf) {
    call_spec c;
    c.verf_flavor = 6;
    c.verf = bytes(401, 0x5A);
    EXPECT_FALSE(decode(build_call(c)));
    expect_reply(auth_error_reply(c.xid, AUTH_BADVERF));
}

TEST_F(CallHeader, VerifierRunningPastTheMessageGetsBadVerf) {
    call_spec c;
    c.verf_flavor = 6;
    c.verf = bytes(16, 1);
    bytes m = build_call(c);
    m.resize(m.size() - 4);
    EXPECT_FALSE(decode(m));
    expect_reply(auth_error_reply(c.xid, AUTH_BADVERF));
}

TEST_F(CallHeader, ArgumentsStartAfterThePaddedVerifier) {
    call_spec c;
    c.cred_flavor = 9;
    c.cred = {1, 2, 3, 4, 5};
    c.verf_flavor = 8;
    c.verf = {9, 9, 9};
    c.args = wire{}.u32(0x11111111).u32(0x22222222).u32(0x33333333).b;
    ASSERT_TRUE(decode(build_call(c)));
    EXPECT_EQ(call.args.pos, 0);
    EXPECT_EQ(call.args.size, 12);
    uint32_t a, b, d, e;
    ASSERT_TRUE(xdr_get_u32(&call.args, &a));
    ASSERT_TRUE(xdr_get_u32(&call.args, &b));
    ASSERT_TRUE(xdr_get_u32(&call.args, &d));
    EXPECT_FALSE(xdr_get_u32(&call.args, &e));
    EXPECT_EQ(a, 0x11111111u);
    EXPECT_EQ(b, 0x22222222u);
    EXPECT_EQ(d, 0x33333333u);
    EXPECT_EQ(bytes(call.cred, call.cred + 9), (bytes{0, 0, 0, 5, 1, 2, 3, 4, 5}));
    EXPECT_EQ(bytes(call.verf, call.verf + 7), (bytes{0, 0, 0, 3, 9, 9, 9}));
}

struct Authenticate : CallHeader {
    uint32_t auth(const call_spec& c) {
        EXPECT_TRUE(decode(build_call(c)));
        return rpc_authenticate(&call);
    }
    void expect_anonymous() {
        EXPECT_EQ(call.uid, RPC_NOBODY);
        EXPECT_EQ(call.gid, RPC_NOBODY);
        EXPECT_EQ(call.gid_count, 0u);
        ASSERT_NE(call.machine_name, nullptr);
        EXPECT_STREQ(call.machine_name, "");
    }
};

TEST_F(Authenticate, AuthUnixFillsTheIdentity) {
    ASSERT_EQ(auth(unix_call(auth_unix_body(0x5EED, "client.example", 1000, 100, {4, 24, 27}))), AUTH_OK);
    EXPECT_EQ(call.stamp, 0x5EEDu);
    EXPECT_STREQ(call.machine_name, "client.example");
    EXPECT_EQ(call.uid, 1000u);
    EXPECT_EQ(call.gid, 100u);
    ASSERT_EQ(call.gid_count, 3u);
    EXPECT_EQ(call.gids[0], 4u);
    EXPECT_EQ(call.gids[1], 24u);
    EXPECT_EQ(call.gids[2], 27u);
}

TEST_F(Authenticate, MachineNameOf255BytesIsTheLimit) {
    std::string name(255, 'm');
    ASSERT_EQ(auth(unix_call(auth_unix_body(1, name, 7, 8, {}))), AUTH_OK);
    EXPECT_EQ(std::string(call.machine_name), name);
    EXPECT_EQ(auth(unix_call(auth_unix_body(1, std::string(256, 'm'), 7, 8, {}))), AUTH_BADCRED);
    expect_anonymous();
}

TEST_F(Authenticate, ThirtyTwoGidsAreTheLimit) {
    std::vector<uint32_t> gids;
    for (uint32_t i = 0; i < 32; ++i) gids.push_back(5000 + i);
    ASSERT_EQ(auth(unix_call(auth_unix_body(1, "h", 7, 8, gids))), AUTH_OK);
    ASSERT_EQ(call.gid_count, 32u);
    EXPECT_EQ(call.gids[31], 5031u);
    gids.push_back(5032);
    EXPECT_EQ(auth(unix_call(auth_unix_body(1, "h", 7, 8, gids))), AUTH_BADCRED);
    expect_anonymous();
}

TEST_F(Authenticate, DeclaredLengthShorterThanItsContentsIsBadCred) {
    // Two gids announced, but the declared length ends before them; the two
    // words after the credential (the empty verifier) stand where they would be.
    bytes body = wire{}.u32(1).opaque("host").u32(7).u32(8).u32(2).b;
    ASSERT_TRUE(decode(build_call(unix_call(body))));
    EXPECT_EQ(rpc_authenticate(&call), AUTH_BADCRED);
    expect_anonymous();
}

TEST_F(Authenticate, LengthEndingInsideTheFieldsIsBadCred) {
    bytes body = auth_unix_body(1, "hostname", 7, 8, {9});
    for (size_t cut : {size_t(4), size_t(10), size_t(16), body.size() - 4}) {
        bytes shortened(body.begin(), body.begin() + long(cut));
        while (shortened.size() % 4) shortened.push_back(0);
        EXPECT_EQ(auth(unix_call(shortened)), AUTH_BADCRED) << "cut at " << cut;
    }
}

TEST_F(Authenticate, ShortAndUnknownFlavoursAreRejected) {
    for (uint32_t flavor : {uint32_t(AUTH_SHORT), 3u, 6u, 0xFFFFFFFFu}) {
        call_spec c;
        c.cred_flavor = flavor;
        c.cred = auth_unix_body(1, "h", 7, 8, {});
        EXPECT_EQ(auth(c), AUTH_REJECTEDCRED) << flavor;
    }
}

TEST_F(Authenticate, AuthNullNeverInheritsThePreviousIdentity) {
    ASSERT_EQ(auth(unix_call(auth_unix_body(3, "previous", 1000, 100, {4, 5}))), AUTH_OK);
    ASSERT_EQ(call.uid, 1000u);
    ASSERT_EQ(auth(call_spec{}), AUTH_OK);
    expect_anonymous();
}

TEST_F(Authenticate, RefusedCredentialLeavesNoIdentityBehind) {
    ASSERT_EQ(auth(unix_call(auth_unix_body(3, "previous", 1000, 100, {4, 5}))), AUTH_OK);
    std::vector<uint32_t> too_many(33, 1);
    EXPECT_EQ(auth(unix_call(auth_unix_body(3, "next", 2000, 200, too_many))), AUTH_BADCRED);
    expect_anonymous();
}

}  // namespace
