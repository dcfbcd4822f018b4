// The procedures of portmap version 2 and their table.
#include <cstdarg>
#include <cstdio>

#include "portmap/pmap_service.h"
#include "portmap/pmap_table.h"
#include "rpc/log.h"

std::atomic<bool> g_pmap_verbose{false};

namespace {

void vnote(bool stamped, int min_level, const char* format, va_list ap) {
    if (!g_pmap_verbose.load() || g_log_level < min_level) return;
    char text[512];
    std::vsnprintf(text, sizeof text, format, ap);
    if (stamped)
        log_event(min_level, "%s", text);
    else
        log_printf(min_level, "%s", text);
}

// Argument bytes after the cursor.
int64_t args_left(const xdr_cursor& args) { return int64_t(args.size) - int64_t(args.pos) * 4; }

// A mapping argument is exactly four words.
bool decode_mapping(const xdr_cursor& args, pmap_mapping* m) {
    if (args_left(args) != 16) return false;
    xdr_cursor c = args;
    return xdr_get_u32(&c, &m->program) && xdr_get_u32(&c, &m->version) && xdr_get_u32(&c, &m->protocol) &&
           xdr_get_u32(&c, &m->port);
}

// SET and UNSET are taken only from this machine.
bool caller_is_local(const rpc_handle* h) { return rpc_is_local_address(h->peer.addr); }

void bad_arguments(rpc_handle* h, const rpc_call* call, const char* name) {
    pmap_note_event(1, "ostel: rpc %s with invalid arguments\n", name);
    if (!rpc_reply_error(h, call, ACCEPT_GARBAGE_ARGS)) pmap_note_send_failure();
}

size_t encode_u32(uint8_t* dst, const void* result) { return xdr_enc_u32(dst, *static_cast<const uint32_t*>(result)); }

void answer_u32(rpc_handle* h, const rpc_call* call, uint32_t value) {
    if (!rpc_reply_success(h, call, encode_u32, &value)) pmap_note_send_failure();
}

struct dump_result {
    size_t count;
    pmap_mapping entries[PMAP_DUMP_MAX];
};

// The list as optional-data items: value-follows, mapping; then 0.
size_t encode_dump(uint8_t* dst, const void* result) {
    const auto* r = static_cast<const dump_result*>(result);
    size_t n = 0;
    for (size_t i = 0; i < r->count && n < PMAP_DUMP_BYTES; ++i) {
        const pmap_mapping& m = r->entries[i];
        n += xdr_put(dst + n, "qqqqq", 1u, m.program, m.version, m.protocol, m.port);
    }
    return n + xdr_enc_u32(dst + n, 0);
}

using pmap_handler = void (*)(rpc_handle* h, rpc_call* call, const char* name);

void pmap_null(rpc_handle* h, rpc_call* call, const char*) {
    if (!rpc_reply_success(h, call, nullptr, nullptr)) pmap_note_send_failure();
}

void pmap_set(rpc_handle* h, rpc_call* call, const char* name) {
    pmap_mapping m;
    if (!decode_mapping(call->args, &m)) return bad_arguments(h, call, name);
    bool ok = caller_is_local(h) && !(m.port != 0 && m.port <= PMAP_RESERVED_PORT_MAX) &&
              pmap_table_set(m.program, m.version, m.protocol, m.port);
    answer_u32(h, call, ok ? 1 : 0);
}

void pmap_unset(rpc_handle* h, rpc_call* call, const char* name) {
    pmap_mapping m;
    if (!decode_mapping(call->args, &m)) return bad_arguments(h, call, name);
    // Protocol and port are not looked at.
    bool ok = caller_is_local(h) && pmap_table_unset(m.program, m.version);
    answer_u32(h, call, ok ? 1 : 0);
}

void pmap_getport(rpc_handle* h, rpc_call* call, const char* name) {
    pmap_mapping m;
    if (!decode_mapping(call->args, &m)) return bad_arguments(h, call, name);
    answer_u32(h, call, pmap_table_getport(m.program, m.version, m.protocol));
}

void pmap_dump(rpc_handle* h, rpc_call* call, const char* name) {
    if (args_left(call->args) != 0) return bad_arguments(h, call, name);
    dump_result r;
    r.count = pmap_table_dump(r.entries, PMAP_DUMP_MAX);
    if (!rpc_reply_success(h, call, encode_dump, &r)) pmap_note_send_failure();
}

void pmap_callit(rpc_handle* h, rpc_call* call, const char* name) {
    if (h->protocol != RPC_UDP) {
        if (!rpc_reply_error(h, call, ACCEPT_PROC_UNAVAIL)) pmap_note_send_failure();
        return;
    }
    pmap_callit_args a;
    if (!pmap_decode_callit(call->args, &a)) {
        // Broadcast callers expect silence from servers that cannot help.
        pmap_note_event(1, "ostel: rpc %s with invalid arguments\n", name);
        return;
    }
    pmap_forward(h, call, a);
}

struct pmap_proc {
    const char* name;
    pmap_handler run;
};

const pmap_proc k_procs[] = {
    {"pmap_null", pmap_null},       {"pmap_set", pmap_set},   {"pmap_unset", pmap_unset},
    {"pmap_getport", pmap_getport}, {"pmap_dump", pmap_dump}, {"pmap_callit", pmap_callit},
};
constexpr uint32_t k_proc_count = sizeof k_procs / sizeof k_procs[0];

}  // namespace

void pmap_note(int min_level, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    vnote(false, min_level, format, ap);
    va_end(ap);
}

void pmap_note_event(int min_level, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    vnote(true, min_level, format, ap);
    va_end(ap);
}

void pmap_note_send_failure() {
    if (!g_pmap_verbose.load() || g_log_level < 1) return;
    unsigned error = unsigned(net_last_error());
    pmap_note(1, "rpc: error cannot transmit reply %u\n", error);
    pmap_note_event(1, "ostel: rpc send reply failed\n");
}

bool pmap_decode_callit(const xdr_cursor& args, pmap_callit_args* out) {
    const int64_t left = args_left(args);
    if (left < 16) return false;
    xdr_cursor c = args;
    if (!xdr_get_u32(&c, &out->program) || !xdr_get_u32(&c, &out->version) || !xdr_get_u32(&c, &out->procedure) ||
        !xdr_get_u32(&c, &out->arg_len))
        return false;
    if (int64_t(out->arg_len) + 16 > left) return false;
    out->arg_bytes = args.base + size_t(c.pos) * 4;
    return true;
}

void pmap_serve_call(rpc_handle* h, rpc_call* call) {
    if (call->version != PMAP_VERSION) {
        if (!rpc_reply_prog_mismatch(h, call, PMAP_VERSION, PMAP_VERSION)) pmap_note_send_failure();
        return;
    }
    if (call->procedure >= k_proc_count) {
        if (!rpc_reply_error(h, call, ACCEPT_PROC_UNAVAIL)) pmap_note_send_failure();
        return;
    }
    const pmap_proc& p = k_procs[call->procedure];
    p.run(h, call, p.name);
}
