// Table-driven procedure dispatch: one const table per program version, an
// entry per procedure naming its decoder, handler, encoder and result size.
#pragma once
#include <cstddef>
#include <cstdint>

#include "rpc/message.h"

struct rpc_proc {
    const char* name;
    bool (*decode)(xdr_cursor* args, void* arg_record);   // null: no arguments
    // Fills the result record; false means no reply is sent (the handler
    // replied itself, or the call is dropped).
    bool (*handle)(rpc_handle* h, rpc_call* call, const void* arg_record, void* result);
    rpc_encoder encode;   // null: empty result
    uint32_t arg_size;    // bytes of the argument record
    uint32_t res_size;    // bytes of the result record
};

struct rpc_program {
    uint32_t program, version;
    const rpc_proc* procs;
    uint32_t proc_count;
};

constexpr uint32_t RPC_RECORD_MAX = 4096;   // largest argument or result record

// Decodes, runs and answers call->procedure of `prog`: PROC_UNAVAIL for an
// unknown procedure, GARBAGE_ARGS for arguments that do not decode.
void rpc_run_program(const rpc_program* prog, rpc_handle* h, rpc_call* call);

// Handler and encoder of a procedure without arguments or results (NULL).
bool rpc_proc_void(rpc_handle* h, rpc_call* call, const void* args, void* result);
