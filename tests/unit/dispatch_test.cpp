// Program list, dispatch and its error replies, the procedure table runner
// and the reply headers, checked byte for byte on the wire.
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "rpc/proc_table.h"
#include "rpc/settings.h"
#include "unit_support.h"

namespace {

constexpr uint32_t PROG_A = 0x20000101;
constexpr uint32_t PROG_B = 0x20000102;

struct seen_call {
    int calls = 0;
    uint32_t program = 0, version = 0, procedure = 0;
    uint32_t uid = 0, gid = 0, gid_count = 0;
    std::string machine;
    rpc_handle* h = nullptr;
};
seen_call g_seen_a, g_seen_b;

void record(seen_call* s, rpc_handle* h, rpc_call* call) {
    ++s->calls;
    s->program = call->program;
    s->version = call->version;
    s->procedure = call->procedure;
    s->uid = call->uid;
    s->gid = call->gid;
    s->gid_count = call->gid_count;
    s->machine = call->machine_name ? call->machine_name : "<null>";
    s->h = h;
}
// Programs whose run hook records the call in place of a table.
int dispatch_a(const rpc_program*, rpc_handle* h, rpc_call* call) {
    record(&g_seen_a, h, call);
    return RPC_RUN_SILENT;
}
int dispatch_b(const rpc_program*, rpc_handle* h, rpc_call* call) {
    record(&g_seen_b, h, call);
    return RPC_RUN_SILENT;
}
using run_fn = int (*)(const rpc_program*, rpc_handle*, rpc_call*);

// Accepted reply header as a client expects it: the call's verifier echoed.
wire accepted(uint32_t xid, uint32_t verf_flavor, const bytes& verf, uint32_t status) {
    wire w;
    w.u32(xid).u32(RPC_REPLY).u32(MSG_ACCEPTED).u32(verf_flavor).opaque(verf).u32(status);
    return w;
}

struct Dispatch : testing::Test {
    reply_capture cap;
    rpc_call call{};
    std::vector<std::pair<uint32_t, uint32_t>> registered;
    uint32_t saved_registration = 0;

    void SetUp() override {
        ASSERT_TRUE(cap.ok());
        saved_registration = g_rpc_settings.portmapper_registration;
        g_rpc_settings.portmapper_registration = 0;   // no portmapper in unit tests
        g_seen_a = seen_call{};
        g_seen_b = seen_call{};
    }
    void TearDown() override {
        for (auto& [p, v] : registered) rpc_unregister(p, v, RPC_UDP);
        g_rpc_settings.portmapper_registration = saved_registration;
    }
    std::deque<rpc_program> tables;
    const rpc_program* table_of(uint32_t program, uint32_t version, run_fn run) {
        return &tables.emplace_back(rpc_program{program, version, nullptr, 0, nullptr, nullptr, nullptr, run});
    }
    bool reg(const rpc_program* table) {
        bool ok = rpc_register(cap.h, table, RPC_UDP);
        if (ok) registered.emplace_back(table->program, table->version);
        return ok;
    }
    bool reg(uint32_t program, uint32_t version, run_fn run) { return reg(table_of(program, version, run)); }
    // Decodes m as the transport would and dispatches it.
    void serve(const bytes& m) {
        load_message(cap.h, m);
        ASSERT_TRUE(rpc_decode_call(cap.h, &call));
        rpc_dispatch(cap.h, &call);
    }
    bytes reply() {
        bytes got;
        EXPECT_TRUE(cap.next(&got)) << "no reply sent";
        EXPECT_TRUE(cap.silent()) << "more than one reply";
        return got;
    }
};

int count_entries(uint32_t program, uint32_t version) {
    int n = 0;
    for (const prog_entry* e = rpc_programs(); e; e = e->next) n += e->program == program && e->version == version;
    return n;
}

TEST_F(Dispatch, RegisteredVersionReachesItsRoutine) {
    ASSERT_TRUE(reg(PROG_A, 1, dispatch_a));
    ASSERT_TRUE(reg(PROG_A, 2, dispatch_b));
    call_spec c;
    c.program = PROG_A;
    c.version = 2;
    c.procedure = 17;
    serve(build_call(c));
    EXPECT_EQ(g_seen_a.calls, 0);
    ASSERT_EQ(g_seen_b.calls, 1);
    EXPECT_EQ(g_seen_b.procedure, 17u);
    EXPECT_EQ(g_seen_b.h, cap.h);
    EXPECT_TRUE(cap.silent()) << "dispatch answered on the routine's behalf";
}

TEST_F(Dispatch, UnknownProgramGetsProgUnavailWithTheVerifierEchoed) {
    ASSERT_TRUE(reg(PROG_A, 1, dispatch_a));
    call_spec c;
    c.xid = 0x01020304;
    c.program = PROG_B;
    c.verf_flavor = 7;
    c.verf = {'a', 'b', 'c', 'd', 'e'};
    serve(build_call(c));
    EXPECT_EQ(reply(), accepted(0x01020304, 7, c.verf, ACCEPT_PROG_UNAVAIL).b);
    EXPECT_EQ(g_seen_a.calls, 0);
}

TEST_F(Dispatch, ProgMismatchGivesTheLowestAndHighestVersion) {
    // Registration order differs from version order on purpose.
    ASSERT_TRUE(reg(PROG_A, 3, dispatch_a));
    ASSERT_TRUE(reg(PROG_A, 5, dispatch_a));
    ASSERT_TRUE(reg(PROG_A, 2, dispatch_a));
    ASSERT_TRUE(reg(PROG_B, 9, dispatch_b));   // another program does not widen the range
    for (uint32_t v : {4u, 1u, 6u}) {
        call_spec c;
        c.program = PROG_A;
        c.version = v;
        serve(build_call(c));
        EXPECT_EQ(reply(), accepted(c.xid, 0, {}, ACCEPT_PROG_MISMATCH).u32(2).u32(5).b) << "version " << v;
    }
    EXPECT_EQ(g_seen_a.calls, 0);
}

TEST_F(Dispatch, ProgMismatchComparesVersionsUnsigned) {
    ASSERT_TRUE(reg(PROG_A, 0x80000000u, dispatch_a));
    ASSERT_TRUE(reg(PROG_A, 1, dispatch_a));
    call_spec c;
    c.program = PROG_A;
    c.version = 7;
    serve(build_call(c));
    EXPECT_EQ(reply(), accepted(c.xid, 0, {}, ACCEPT_PROG_MISMATCH).u32(1).u32(0x80000000u).b);
}

TEST_F(Dispatch, RefusedCredentialsAreAnsweredAndNeverDispatched) {
    ASSERT_TRUE(reg(PROG_A, 1, dispatch_a));
    call_spec c;
    c.program = PROG_A;
    c.cred_flavor = AUTH_UNIX;
    c.cred = auth_unix_body(1, "h", 0, 0, std::vector<uint32_t>(33, 1));
    serve(build_call(c));
    EXPECT_EQ(reply(), wire{}.u32(c.xid).u32(1).u32(1).u32(1).u32(AUTH_BADCRED).b);
    c.cred_flavor = 6;
    serve(build_call(c));
    EXPECT_EQ(reply(), wire{}.u32(c.xid).u32(1).u32(1).u32(1).u32(AUTH_REJECTEDCRED).b);
    EXPECT_EQ(g_seen_a.calls, 0);
}

TEST_F(Dispatch, AuthNullCallAfterAuthUnixCarriesTheAnonymousIdentity) {
    ASSERT_TRUE(reg(PROG_A, 1, dispatch_a));
    call_spec u;
    u.program = PROG_A;
    u.cred_flavor = AUTH_UNIX;
    u.cred = auth_unix_body(9, "trusted", 0, 0, {0, 1});
    serve(build_call(u));
    ASSERT_EQ(g_seen_a.calls, 1);
    EXPECT_EQ(g_seen_a.uid, 0u);
    EXPECT_EQ(g_seen_a.machine, "trusted");
    call_spec n;
    n.program = PROG_A;
    serve(build_call(n));   // same rpc_call, as a serving thread reuses it
    ASSERT_EQ(g_seen_a.calls, 2);
    EXPECT_EQ(g_seen_a.uid, RPC_NOBODY);
    EXPECT_EQ(g_seen_a.gid, RPC_NOBODY);
    EXPECT_EQ(g_seen_a.gid_count, 0u);
    EXPECT_EQ(g_seen_a.machine, "");
}

TEST_F(Dispatch, RegistrationIsOneEntryPerProgramVersion) {
    const rpc_program* a = table_of(PROG_A, 1, dispatch_a);
    ASSERT_TRUE(reg(a));
    // The other transport of the same service shares the entry.
    EXPECT_TRUE(rpc_register(cap.h, a, RPC_TCP));
    EXPECT_EQ(count_entries(PROG_A, 1), 1);
    // A different table for a taken (program, version) is refused and changes nothing.
    EXPECT_FALSE(rpc_register(cap.h, table_of(PROG_A, 1, dispatch_b), RPC_UDP));
    EXPECT_EQ(count_entries(PROG_A, 1), 1);
    call_spec c;
    c.program = PROG_A;
    serve(build_call(c));
    EXPECT_EQ(g_seen_a.calls, 1);
    EXPECT_EQ(g_seen_b.calls, 0);
}

TEST_F(Dispatch, UnregisterRemovesTheEntry) {
    ASSERT_TRUE(reg(PROG_A, 1, dispatch_a));
    EXPECT_TRUE(rpc_unregister(PROG_A, 1, RPC_UDP));
    EXPECT_EQ(count_entries(PROG_A, 1), 0);
    EXPECT_FALSE(rpc_unregister(PROG_A, 1, RPC_UDP));
    call_spec c;
    c.program = PROG_A;
    serve(build_call(c));
    EXPECT_EQ(reply(), accepted(c.xid, 0, {}, ACCEPT_PROG_UNAVAIL).b);
    EXPECT_EQ(g_seen_a.calls, 0);
}

// A small program run through rpc_run_program.
struct echo_record {
    uint32_t len;
    uint8_t data[64];
};
int g_handler_calls = 0;

bool decode_echo(xdr_cursor* c, void* rec) {
    auto* r = static_cast<echo_record*>(rec);
    return xdr_get_u32(c, &r->len) && r->len <= sizeof r->data && xdr_get_bytes(c, r->data, r->len);
}
bool handle_echo(rpc_handle*, rpc_call*, const void* args, void* result) {
    ++g_handler_calls;
    std::memcpy(result, args, sizeof(echo_record));
    return true;
}
size_t encode_echo(uint8_t* dst, const void* result) {
    const auto* r = static_cast<const echo_record*>(result);
    return xdr_enc_opaque(dst, r->data, r->len);
}
bool handle_quiet(rpc_handle*, rpc_call*, const void*, void*) {
    ++g_handler_calls;
    return false;
}

const rpc_proc k_test_procs[] = {
    {"test_null", nullptr, rpc_proc_void, nullptr, 0, 0},
    {"test_echo", decode_echo, handle_echo, encode_echo, sizeof(echo_record), sizeof(echo_record)},
    {"test_hole", nullptr, nullptr, nullptr, 0, 0},
    {"test_quiet", nullptr, handle_quiet, nullptr, 0, 0},
    {"test_huge", nullptr, rpc_proc_void, nullptr, RPC_RECORD_MAX + 1, 0},
};
const rpc_program k_test_program = {PROG_A, 1, k_test_procs, sizeof k_test_procs / sizeof k_test_procs[0]};

struct RunProgram : Dispatch {
    void SetUp() override {
        Dispatch::SetUp();
        g_handler_calls = 0;
        ASSERT_TRUE(reg(&k_test_program));
    }
    bytes call_proc(uint32_t proc, const bytes& args, uint32_t verf_flavor = 0, const bytes& verf = {}) {
        call_spec c;
        c.xid = 0x5000 + proc;
        c.program = PROG_A;
        c.procedure = proc;
        c.verf_flavor = verf_flavor;
        c.verf = verf;
        c.args = args;
        serve(build_call(c));
        return reply();
    }
};

TEST_F(RunProgram, NullProcedureAnswersAnEmptySuccess) {
    EXPECT_EQ(call_proc(0, {}, 3, {1, 2, 3, 4}), accepted(0x5000, 3, {1, 2, 3, 4}, ACCEPT_SUCCESS).b);
}

TEST_F(RunProgram, ResultsFollowTheHeader) {
    bytes got = call_proc(1, wire{}.opaque("hello").b, 5, {'v'});
    EXPECT_EQ(got, accepted(0x5001, 5, {'v'}, ACCEPT_SUCCESS).opaque("hello").b);
    EXPECT_EQ(g_handler_calls, 1);
}

TEST_F(RunProgram, UndecodableArgumentsGetGarbageArgs) {
    // Declares 5 bytes, carries 4.
    EXPECT_EQ(call_proc(1, wire{}.u32(5).u32(0x41424344).b), accepted(0x5001, 0, {}, ACCEPT_GARBAGE_ARGS).b);
    EXPECT_EQ(call_proc(1, {}), accepted(0x5001, 0, {}, ACCEPT_GARBAGE_ARGS).b);
    EXPECT_EQ(g_handler_calls, 0);
}

TEST_F(RunProgram, MissingProceduresGetProcUnavail) {
    for (uint32_t proc : {5u, 6u, 0xFFFFFFFFu, 2u})
        EXPECT_EQ(call_proc(proc, {}), accepted(0x5000 + proc, 0, {}, ACCEPT_PROC_UNAVAIL).b) << proc;
}

TEST_F(RunProgram, RecordLargerThanTheRunnerHoldsIsRefused) {
    EXPECT_EQ(call_proc(4, {}), accepted(0x5004, 0, {}, ACCEPT_PROC_UNAVAIL).b);
}

TEST_F(RunProgram, HandlerMayDeclineToReply) {
    call_spec c;
    c.program = PROG_A;
    c.procedure = 3;
    serve(build_call(c));
    EXPECT_EQ(g_handler_calls, 1);
    EXPECT_TRUE(cap.silent());
}

struct Replies : Dispatch {
    rpc_call with_verifier() {
        rpc_call c{};
        c.verf_flavor = 0x0C;
        c.verf_len = 6;
        std::memcpy(c.verf, wire{}.u32(6).raw("secret", 6).b.data(), 10);
        return c;
    }
};

size_t encode_two_words(uint8_t* dst, const void* result) {
    const auto* v = static_cast<const uint32_t*>(result);
    return xdr_enc_u32(dst, v[0]) + xdr_enc_u32(dst + 4, v[1]);
}

TEST_F(Replies, EveryHeaderByteForByte) {
    rpc_call c = with_verifier();
    const bytes verf = {'s', 'e', 'c', 'r', 'e', 't'};
    cap.h->xid = 0xA1B2C3D4;

    const uint32_t result[2] = {0xDEADBEEF, 42};
    EXPECT_TRUE(rpc_reply_success(cap.h, &c, encode_two_words, result));
    EXPECT_EQ(reply(), accepted(0xA1B2C3D4, 0x0C, verf, 0).u32(0xDEADBEEF).u32(42).b);
    EXPECT_EQ(cap.h->msg_len, 4 * 4 + 12 + 4 + 8);

    EXPECT_TRUE(rpc_reply_success(cap.h, &c, nullptr, nullptr));
    EXPECT_EQ(reply(), accepted(0xA1B2C3D4, 0x0C, verf, 0).b);

    EXPECT_TRUE(rpc_reply_error(cap.h, &c, ACCEPT_GARBAGE_ARGS));
    EXPECT_EQ(reply(), accepted(0xA1B2C3D4, 0x0C, verf, ACCEPT_GARBAGE_ARGS).b);

    EXPECT_TRUE(rpc_reply_prog_mismatch(cap.h, &c, 2, 3));
    EXPECT_EQ(reply(), accepted(0xA1B2C3D4, 0x0C, verf, ACCEPT_PROG_MISMATCH).u32(2).u32(3).b);

    EXPECT_TRUE(rpc_reply_rpc_mismatch(cap.h));
    EXPECT_EQ(reply(), wire{}.u32(0xA1B2C3D4).u32(1).u32(1).u32(0).u32(2).u32(2).b);

    EXPECT_TRUE(rpc_reply_auth_error(cap.h, AUTH_BADVERF));
    EXPECT_EQ(reply(), wire{}.u32(0xA1B2C3D4).u32(1).u32(1).u32(1).u32(3).b);
}

TEST_F(Replies, FailedSendIsReported) {
    rpc_handle* h = rpc_handle_create(NET_INVALID, RPC_UDP, 0, 256);
    ASSERT_NE(h, nullptr);
    h->peer = net_make_addr(0x7F000001u, 9);
    rpc_call c{};
    EXPECT_FALSE(rpc_reply_success(h, &c, nullptr, nullptr));
    EXPECT_FALSE(rpc_reply_error(h, &c, ACCEPT_PROC_UNAVAIL));
    rpc_handle_free(h);
}

}  // namespace

TEST(ResultsOffset, IsTheAcceptedHeadersLength) {
    uint8_t buffer[64 + RPC_AUTH_MAX];
    for (uint32_t verf_len : {0u, 1u, 4u, 7u, uint32_t(RPC_AUTH_MAX)}) {
        rpc_call call{};
        call.verf_len = verf_len;
        xdr_store32(call.verf, verf_len);   // the verifier as decoded: its length, then its bytes
        EXPECT_EQ(rpc_results_offset(&call), rpc_put_accepted_header(buffer, 1, &call, ACCEPT_SUCCESS)) << verf_len;
    }
}
