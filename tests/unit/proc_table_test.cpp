// What the procedure table runner does around a handler: zeroed records, the
// refusal of a changing procedure before its handler, and the reply slot of a
// non-idempotent one.
#include <gtest/gtest.h>

#include <cstring>

#include "rpc/proc_table.h"
#include "unit_support.h"

namespace {

constexpr uint32_t PROG = 0x20000103;
constexpr uint32_t STATUS_READ_ONLY = 30;

// The first word stands for a handle: non-zero names a read-only export.
struct change_args {
    uint32_t read_only, value;
    uint32_t rest[30];   // never written by the decoder
};
struct change_result {
    uint32_t status, value;
    uint32_t rest[30];   // never written by the handler
};

int g_runs = 0;
int g_unzeroed = 0;   // handler calls that found a record not zeroed, or no request record the hook opened

bool all_zero(const uint32_t* words, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (words[i]) return false;
    return true;
}

bool decode_change(xdr_cursor* c, void* record) {
    auto* a = static_cast<change_args*>(record);
    return xdr_get_u32(c, &a->read_only) && xdr_get_u32(c, &a->value);
}

// What the admit hook opened for the handler: the argument's value.
uint32_t opened_value(const rpc_call* call) { return call->request ? *static_cast<const uint32_t*>(call->request) : 0; }

bool run_change(rpc_handle*, rpc_call* call, const void* args, void* result) {
    const auto* a = static_cast<const change_args*>(args);
    auto* r = static_cast<change_result*>(result);
    ++g_runs;
    if (opened_value(call) != a->value) ++g_unzeroed;
    if (!all_zero(a->rest, 30) || !all_zero(&r->status, 32)) ++g_unzeroed;
    r->value = a->value * 100 + uint32_t(g_runs);   // tells a second run from a replay
    return true;
}

size_t encode_change(uint8_t* dst, const void* result) {
    const auto* r = static_cast<const change_result*>(result);
    size_t n = xdr_enc_u32(dst, r->status);
    return n + xdr_enc_u32(dst + n, r->value);
}

// Leaves both records full of ones, as a previous call on the thread may.
bool decode_scribble(xdr_cursor*, void* record) {
    std::memset(record, 0xFF, sizeof(change_args));
    return true;
}
bool run_scribble(rpc_handle*, rpc_call*, const void*, void* result) {
    std::memset(result, 0xFF, sizeof(change_result));
    return true;
}

bool admit_unless_read_only(rpc_handle*, const rpc_call*, const rpc_proc* proc, const void* args, void* request,
                            void* result) {
    const auto* a = static_cast<const change_args*>(args);
    std::memcpy(request, &a->value, sizeof a->value);
    if (!(proc->flags & RPC_PROC_CHANGES) || !a->read_only) return true;
    static_cast<change_result*>(result)->status = STATUS_READ_ONLY;
    return false;
}

enum : uint32_t { P_CHANGE = 0, P_READ = 1, P_SCRIBBLE = 2, P_NO_SLOT = 3 };

rpc_proc_slot g_slot;
const rpc_proc k_procs[] = {
    {"t_change", decode_change, run_change, encode_change, sizeof(change_args), sizeof(change_result),
     RPC_PROC_HANDLE | RPC_PROC_CHANGES | RPC_PROC_REPLY_SLOT, &g_slot},
    {"t_read", decode_change, run_change, encode_change, sizeof(change_args), sizeof(change_result),
     RPC_PROC_HANDLE},
    {"t_scribble", decode_scribble, run_scribble, nullptr, sizeof(change_args), sizeof(change_result)},
    {"t_no_slot", decode_change, run_change, encode_change, sizeof(change_args), sizeof(change_result),
     RPC_PROC_REPLY_SLOT},
};
const rpc_program k_program = {PROG, 1, k_procs, 4, admit_unless_read_only};

struct ProcTable : testing::Test {
    reply_capture cap;
    rpc_call call{};

    void SetUp() override {
        ASSERT_TRUE(cap.ok());
        g_runs = 0;
        g_unzeroed = 0;
        g_slot.slot.state.store(0);
    }
    // Runs one call of the procedure; its reply, or empty when none was sent.
    bytes run(uint32_t proc, uint32_t xid, uint32_t read_only = 0, uint32_t value = 7, int* code = nullptr) {
        call_spec c;
        c.xid = xid;
        c.program = PROG;
        c.procedure = proc;
        c.args = wire{}.u32(read_only).u32(value).b;
        load_message(cap.h, build_call(c));
        EXPECT_TRUE(rpc_decode_call(cap.h, &call));
        const int r = rpc_run_program(&k_program, cap.h, &call);
        if (code) *code = r;
        bytes got;
        if (!cap.next(&got, 200)) got.clear();
        return got;
    }
    static bytes success(uint32_t xid, uint32_t status, uint32_t value) {
        return wire{}.u32(xid).u32(RPC_REPLY).u32(MSG_ACCEPTED).u32(0).u32(0).u32(ACCEPT_SUCCESS).u32(status)
            .u32(value).b;
    }
};

TEST_F(ProcTable, ChangingProcedureOnAReadOnlyExportIsRefusedBeforeItsHandler) {
    struct {
        uint32_t proc, read_only;
        int runs;
        uint32_t status, value;
    } cases[] = {
        {P_CHANGE, 1, 0, STATUS_READ_ONLY, 0},   // refused: the handler never runs
        {P_CHANGE, 0, 1, 0, 701},
        {P_READ, 1, 1, 0, 701},   // not a change: never refused
    };
    uint32_t xid = 0x100;
    for (const auto& t : cases) {
        g_runs = 0;
        int code = -1;
        ++xid;
        EXPECT_EQ(run(t.proc, xid, t.read_only, 7, &code), success(xid, t.status, t.value)) << t.proc;
        EXPECT_EQ(code, RPC_RUN_REPLIED);
        EXPECT_EQ(g_runs, t.runs) << t.proc << " read-only " << t.read_only;
    }
}

TEST_F(ProcTable, RetransmissionIsAnsweredFromTheSlotWithoutRunningAgain) {
    const bytes first = run(P_CHANGE, 0x200, 0, 5);
    ASSERT_EQ(first, success(0x200, 0, 501));
    EXPECT_EQ(run(P_CHANGE, 0x200, 0, 5), first);
    EXPECT_EQ(g_runs, 1);
    EXPECT_EQ(run(P_CHANGE, 0x201, 0, 5), success(0x201, 0, 502)) << "a new request runs";
    EXPECT_EQ(g_runs, 2);
    // A refusal is kept like any result.
    EXPECT_EQ(run(P_CHANGE, 0x202, 1), success(0x202, STATUS_READ_ONLY, 0));
    EXPECT_EQ(run(P_CHANGE, 0x202, 1), success(0x202, STATUS_READ_ONLY, 0));
    EXPECT_EQ(g_runs, 2);
}

TEST_F(ProcTable, HandlersGetZeroedRecords) {
    EXPECT_FALSE(run(P_SCRIBBLE, 0x300).empty());
    EXPECT_FALSE(run(P_READ, 0x301).empty());
    EXPECT_EQ(g_runs, 1);
    EXPECT_EQ(g_unzeroed, 0) << "the handler saw bytes of the call before";
}

TEST_F(ProcTable, ReplySlotProcedureWithoutASlotIsProcUnavail) {
    EXPECT_EQ(run(P_NO_SLOT, 0x400),
              wire{}.u32(0x400).u32(RPC_REPLY).u32(MSG_ACCEPTED).u32(0).u32(0).u32(ACCEPT_PROC_UNAVAIL).b);
    EXPECT_EQ(g_runs, 0);
}

}  // namespace
