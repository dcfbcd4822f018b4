// The procedures of portmap version 2 and their table.
#include <cstdarg>
#include <cstdio>

#include "portmap/pmap_service.h"
#include "portmap/pmap_table.h"
#include "rpc/log.h"
#include "rpc/proc_table.h"

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
bool decode_mapping(xdr_cursor* args, void* record) {
    auto* m = static_cast<pmap_mapping*>(record);
    return args_left(*args) == 16 && xdr_get_u32(args, &m->program) && xdr_get_u32(args, &m->version) &&
           xdr_get_u32(args, &m->protocol) && xdr_get_u32(args, &m->port);
}

bool decode_nothing(xdr_cursor* args, void*) { return args_left(*args) == 0; }

void note_bad_arguments(const char* name) { pmap_note_event(1, "ostel: rpc %s with invalid arguments\n", name); }
void note_bad_arguments_of(const rpc_call*, const rpc_proc* p) { note_bad_arguments(p->name); }

// SET and UNSET are taken only from this machine.
bool caller_is_local(const rpc_handle* h) { return rpc_is_local_address(h->peer.addr); }

size_t encode_u32(uint8_t* dst, const void* result) { return xdr_enc_u32(dst, *static_cast<const uint32_t*>(result)); }

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

bool pmap_set(rpc_handle* h, rpc_call*, const void* args, void* result) {
    const auto* m = static_cast<const pmap_mapping*>(args);
    const bool ok = caller_is_local(h) && !(m->port != 0 && m->port <= PMAP_RESERVED_PORT_MAX) &&
                    pmap_table_set(m->program, m->version, m->protocol, m->port);
    *static_cast<uint32_t*>(result) = ok ? 1 : 0;
    return true;
}

bool pmap_unset(rpc_handle* h, rpc_call*, const void* args, void* result) {
    const auto* m = static_cast<const pmap_mapping*>(args);
    // Protocol and port are not looked at.
    const bool ok = caller_is_local(h) && pmap_table_unset(m->program, m->version);
    *static_cast<uint32_t*>(result) = ok ? 1 : 0;
    return true;
}

bool pmap_getport(rpc_handle*, rpc_call*, const void* args, void* result) {
    const auto* m = static_cast<const pmap_mapping*>(args);
    *static_cast<uint32_t*>(result) = pmap_table_getport(m->program, m->version, m->protocol);
    return true;
}

bool pmap_dump(rpc_handle*, rpc_call*, const void*, void* result) {
    auto* r = static_cast<dump_result*>(result);
    r->count = pmap_table_dump(r->entries, PMAP_DUMP_MAX);
    return true;
}

// Answers itself, or not at all: broadcast callers expect silence from
// servers that cannot help, so even undecodable arguments get no reply.
bool pmap_callit(rpc_handle* h, rpc_call* call, const void*, void*) {
    if (h->protocol != RPC_UDP) {
        if (!rpc_reply_error(h, call, ACCEPT_PROC_UNAVAIL)) pmap_note_send_failure();
        return false;
    }
    pmap_callit_args a;
    if (!pmap_decode_callit(call->args, &a)) {
        note_bad_arguments("pmap_callit");
        return false;
    }
    pmap_forward(h, call, a);
    return false;
}

constexpr rpc_proc k_procs[] = {
    rpc_proc_null("pmap_null"),
    rpc_proc_entry<pmap_mapping, uint32_t>(1, "pmap_set", decode_mapping, pmap_set, encode_u32),
    rpc_proc_entry<pmap_mapping, uint32_t>(2, "pmap_unset", decode_mapping, pmap_unset, encode_u32),
    rpc_proc_entry<pmap_mapping, uint32_t>(3, "pmap_getport", decode_mapping, pmap_getport, encode_u32),
    rpc_proc_entry<rpc_no_record, dump_result>(4, "pmap_dump", decode_nothing, pmap_dump, encode_dump),
    // CALLIT decodes and answers on its own: its arguments carry another call.
    rpc_proc_entry<rpc_no_record, rpc_no_record>(5, "pmap_callit", nullptr, pmap_callit, nullptr),
};
static_assert(rpc_procs_numbered(k_procs));

const rpc_program k_program = {PMAP_PROGRAM, PMAP_VERSION, k_procs, sizeof k_procs / sizeof k_procs[0], nullptr,
                               note_bad_arguments_of};

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
    if (rpc_run_program(&k_program, h, call) == RPC_RUN_SEND_FAILED) pmap_note_send_failure();
}
