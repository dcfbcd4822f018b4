// Table-driven procedure dispatch: one const table per program version, an
// entry per procedure naming its decoder, handler, encoder, record sizes and
// the properties the shared runner acts on.
//
// rpc_run_program, for call->procedure of a program:
//   1. an unknown or incomplete entry: PROC_UNAVAIL;
//   2. decodes the arguments into a zeroed record; when they do not decode,
//      the program's bad_args report (default "<name>: cannot read args\n" at
//      log level 2) and GARBAGE_ARGS;
//   3. RPC_PROC_REPLY_SLOT: a retransmission of the last executed request
//      (same xid, client address and port) is answered again from the slot,
//      and nothing else runs;
//   4. RPC_PROC_HANDLE: the program's admit hook opens the handle at the
//      start of the argument record into the call's request record (the
//      export, the mount, the mapped caller: what the program's handlers and
//      the layers below them work on, so that a request resolves its handle
//      once) and checks it: an unknown handle, a sender the export does not
//      admit, and for RPC_PROC_CHANGES a read-only export refuse the call.
//      A refusal fills the result record with its status, whose other parts
//      stay zero (absent); the handler then does not run. While the handler
//      runs, call->request points to the request record;
//   5. otherwise the handler fills the zeroed result record;
//   6. RPC_PROC_REPLY_SLOT: the result record (a refusal too) is stored in
//      the slot before the reply;
//   7. answers SUCCESS with the encoded result record.
#pragma once
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "rpc/message.h"

constexpr uint32_t RPC_RECORD_MAX = 4096;   // largest argument or result record

// What a procedure is, as the runner needs to know it.
enum : uint32_t {
    // Not idempotent: its last reply is kept in the entry's slot, so that a
    // retransmitted request is answered without running it twice.
    RPC_PROC_REPLY_SLOT = 0x1,
    // Changes the file system: the admit hook refuses it on a read-only export.
    RPC_PROC_CHANGES = 0x2,
    // Its argument record begins with a handle the admit hook opens.
    RPC_PROC_HANDLE = 0x4,
};

constexpr uint32_t RPC_REQUEST_MAX = 4096;   // largest request record an admit hook fills

// The reply slot of an RPC_PROC_REPLY_SLOT procedure with room for its result record.
struct rpc_proc_slot {
    reply_slot slot;
    alignas(8) uint8_t result[RPC_RECORD_MAX];
};

struct rpc_proc {
    const char* name;
    bool (*decode)(xdr_cursor* args, void* arg_record);   // null: no arguments
    // Fills the result record; false means no reply is sent (the handler
    // replied itself, or the call is dropped).
    bool (*handle)(rpc_handle* h, rpc_call* call, const void* arg_record, void* result);
    rpc_encoder encode;   // null: empty result
    uint32_t arg_size;    // bytes of the argument record
    uint32_t res_size;    // bytes of the result record
    uint32_t flags = 0;   // RPC_PROC_*
    rpc_proc_slot* slot = nullptr;   // required by RPC_PROC_REPLY_SLOT
    uint32_t number = ~0u;           // the procedure number: the entry's place in its table
};

struct rpc_program {
    uint32_t program, version;
    const rpc_proc* procs;
    uint32_t proc_count;
    // Before the handler of an RPC_PROC_HANDLE procedure: fills `request`
    // (RPC_REQUEST_MAX bytes) from the handle at the start of the argument
    // record and checks it. true runs the handler; false refuses the call,
    // `result` holding the answer. Null: nothing is opened or refused.
    bool (*admit)(rpc_handle* h, const rpc_call* call, const rpc_proc* proc, const void* arg_record, void* request,
                  void* result) = nullptr;
    // Logs arguments that do not decode; null: the default line.
    void (*bad_args)(const rpc_call* call, const rpc_proc* proc) = nullptr;
    // Logs a call of a procedure the table has not; null: nothing is logged.
    void (*unavailable)(const rpc_call* call) = nullptr;
    // Runs a call in place of rpc_run_program, which it calls itself (to
    // hold something while the call runs and is answered); null: rpc_run_program.
    int (*run)(const rpc_program* prog, rpc_handle* h, rpc_call* call) = nullptr;
};

// The record type of a procedure without arguments or results.
struct rpc_no_record {};

template <typename T>
constexpr uint32_t rpc_record_size() {
    static_assert(sizeof(T) <= RPC_RECORD_MAX);
    return std::is_same_v<T, rpc_no_record> ? 0 : uint32_t(sizeof(T));
}

// The one way a table entry is written: its procedure number, and record
// sizes that come from its types, each checked to fit the space a call has.
template <typename Args, typename Result>
constexpr rpc_proc rpc_proc_entry(uint32_t number, const char* name, bool (*decode)(xdr_cursor*, void*),
                                  bool (*handle)(rpc_handle*, rpc_call*, const void*, void*), rpc_encoder encode,
                                  uint32_t flags = 0, rpc_proc_slot* slot = nullptr) {
    return {name, decode, handle, encode, rpc_record_size<Args>(), rpc_record_size<Result>(), flags, slot, number};
}

bool rpc_proc_void(rpc_handle* h, rpc_call* call, const void* args, void* result);

// Procedure 0 of every program: no arguments, an empty answer.
constexpr rpc_proc rpc_proc_null(const char* name) {
    return rpc_proc_entry<rpc_no_record, rpc_no_record>(0, name, nullptr, rpc_proc_void, nullptr);
}
// A number the version does not serve: PROC_UNAVAIL.
constexpr rpc_proc rpc_proc_absent(uint32_t number, const char* name = nullptr) {
    return {name, nullptr, nullptr, nullptr, 0, 0, 0, nullptr, number};
}

// Whether every entry sits at the place its number names: checked where a
// table is written, so that an entry left out or added twice cannot shift
// the procedures after it.
template <size_t N>
constexpr bool rpc_procs_numbered(const rpc_proc (&procs)[N]) {
    for (size_t i = 0; i < N; ++i)
        if (procs[i].number != i) return false;
    return true;
}

// Results of rpc_run_program.
enum : int {
    RPC_RUN_REPLIED = 0,       // a reply was sent
    RPC_RUN_SILENT = 1,        // the handler sent nothing, or replied itself
    RPC_RUN_SEND_FAILED = 2,   // the reply could not be sent
};

// Decodes, runs and answers call->procedure of `prog` as described above.
int rpc_run_program(const rpc_program* prog, rpc_handle* h, rpc_call* call);

