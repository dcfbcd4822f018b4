// The program list, registration and dispatch.
#include <new>

#include "rpc/message.h"
#include "rpc/proc_table.h"

namespace {

prog_entry* g_programs = nullptr;

prog_entry** find_entry(uint32_t program, uint32_t version) {
    for (prog_entry** p = &g_programs; *p; p = &(*p)->next)
        if ((*p)->program == program && (*p)->version == version) return p;
    return nullptr;
}

}  // namespace

const prog_entry* rpc_programs() { return g_programs; }

void rpc_dispatch(rpc_handle* h, rpc_call* call) {
    uint32_t status = rpc_authenticate(call);
    if (status != AUTH_OK) {
        rpc_reply_auth_error(h, status);
        return;
    }
    bool known = false;
    uint32_t low = 0xFFFFFFFFu, high = 0;
    for (const prog_entry* e = g_programs; e; e = e->next) {
        if (e->program != call->program) continue;
        if (e->version == call->version) {
            const rpc_program* table = e->table;
            if (table->run) table->run(table, h, call);
            else rpc_run_program(table, h, call);
            return;
        }
        known = true;
        if (e->version < low) low = e->version;
        if (e->version > high) high = e->version;
    }
    if (known)
        rpc_reply_prog_mismatch(h, call, low, high);
    else
        rpc_reply_error(h, call, ACCEPT_PROG_UNAVAIL);
}

bool rpc_register(rpc_handle* h, const rpc_program* table, uint16_t protocol) {
    if (prog_entry** p = find_entry(table->program, table->version)) {
        if ((*p)->table != table) return false;
    } else {
        auto* e = new (std::nothrow) prog_entry{g_programs, table->program, table->version, table};
        if (!e) return false;
        g_programs = e;
    }
    return pmap_client_set(table->program, table->version, protocol, h->port);
}

bool rpc_unregister(uint32_t program, uint32_t version, uint16_t protocol) {
    pmap_client_set(program, version, protocol, 0);
    prog_entry** p = find_entry(program, version);
    if (!p) return false;
    prog_entry* e = *p;
    *p = e->next;
    delete e;
    return true;
}
