#include "rpc/proc_table.h"

#include <cstring>

#include "rpc/log.h"

namespace {

// The entry of the procedure, or null when the table has none the runner can run.
const rpc_proc* entry_of(const rpc_program* prog, uint32_t procedure) {
    if (procedure >= prog->proc_count) return nullptr;
    const rpc_proc* p = &prog->procs[procedure];
    if (!p->handle || p->arg_size > RPC_RECORD_MAX || p->res_size > RPC_RECORD_MAX) return nullptr;
    if ((p->flags & RPC_PROC_REPLY_SLOT) && !p->slot) return nullptr;
    return p;
}

int answered(bool sent) { return sent ? RPC_RUN_REPLIED : RPC_RUN_SEND_FAILED; }

}  // namespace

bool rpc_proc_void(rpc_handle*, rpc_call*, const void*, void*) { return true; }

int rpc_run_program(const rpc_program* prog, rpc_handle* h, rpc_call* call) {
    const rpc_proc* p = entry_of(prog, call->procedure);
    if (!p) {
        if (prog->unavailable) prog->unavailable(call);
        return answered(rpc_reply_error(h, call, ACCEPT_PROC_UNAVAIL));
    }
    alignas(8) uint8_t args[RPC_RECORD_MAX];
    std::memset(args, 0, p->arg_size);
    if (p->decode && !p->decode(&call->args, args)) {
        if (prog->bad_args)
            prog->bad_args(call, p);
        else
            log_printf(2, "%s: cannot read args\n", p->name);
        return answered(rpc_reply_error(h, call, ACCEPT_GARBAGE_ARGS));
    }
    rpc_proc_slot* slot = (p->flags & RPC_PROC_REPLY_SLOT) ? p->slot : nullptr;
    if (slot && reply_slot_replay(h, call, &slot->slot, p->encode, slot->result)) return RPC_RUN_REPLIED;
    alignas(8) uint8_t result[RPC_RECORD_MAX];
    std::memset(result, 0, p->res_size);
    alignas(8) uint8_t request[RPC_REQUEST_MAX];
    bool admitted = true;
    if ((p->flags & RPC_PROC_HANDLE) && prog->admit) {
        admitted = prog->admit(h, call, p, args, request, result);
        call->request = request;
    }
    const bool replied = !admitted || p->handle(h, call, args, result);
    call->request = nullptr;
    if (!replied) return RPC_RUN_SILENT;
    if (slot) reply_slot_store(h, &slot->slot, slot->result, result, p->res_size);
    return answered(rpc_reply_success(h, call, p->encode, result));
}
