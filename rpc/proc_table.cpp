#include "rpc/proc_table.h"

#include "rpc/log.h"

bool rpc_proc_void(rpc_handle*, rpc_call*, const void*, void*) { return true; }

void rpc_run_program(const rpc_program* prog, rpc_handle* h, rpc_call* call) {
    if (call->procedure >= prog->proc_count) {
        rpc_reply_error(h, call, ACCEPT_PROC_UNAVAIL);
        return;
    }
    const rpc_proc& p = prog->procs[call->procedure];
    if (!p.handle || p.arg_size > RPC_RECORD_MAX || p.res_size > RPC_RECORD_MAX) {
        rpc_reply_error(h, call, ACCEPT_PROC_UNAVAIL);
        return;
    }
    alignas(8) uint8_t args[RPC_RECORD_MAX];
    alignas(8) uint8_t result[RPC_RECORD_MAX];
    if (p.decode && !p.decode(&call->args, args)) {
        log_printf(2, "%s: cannot read args\n", p.name);
        rpc_reply_error(h, call, ACCEPT_GARBAGE_ARGS);
        return;
    }
    if (p.handle(h, call, args, result)) rpc_reply_success(h, call, p.encode, result);
}
