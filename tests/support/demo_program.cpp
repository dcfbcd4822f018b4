#include "tests/support/demo_program.h"

#include <cstring>

#include "rpc/proc_table.h"

namespace {

struct echo_record {
    uint32_t length;
    uint8_t data[DEMO_ECHO_MAX];
};
static_assert(sizeof(echo_record) <= RPC_RECORD_MAX);

bool decode_echo(xdr_cursor* args, void* record) {
    auto* r = static_cast<echo_record*>(record);
    xdr_cursor saved = *args;
    if (!xdr_get_u32(args, &r->length)) return false;
    if (r->length > DEMO_ECHO_MAX || !xdr_get_bytes(args, r->data, r->length)) {
        *args = saved;
        return false;
    }
    return true;
}

bool handle_echo(rpc_handle*, rpc_call*, const void* args, void* result) {
    const auto* in = static_cast<const echo_record*>(args);
    auto* out = static_cast<echo_record*>(result);
    out->length = in->length;
    std::memcpy(out->data, in->data, in->length);
    return true;
}

size_t encode_echo(uint8_t* dst, const void* result) {
    const auto* r = static_cast<const echo_record*>(result);
    return xdr_enc_opaque(dst, r->data, r->length);
}

const rpc_proc demo_procs[] = {
    {"demo_null", nullptr, rpc_proc_void, nullptr, 0, 0},
    {"demo_echo", decode_echo, handle_echo, encode_echo, sizeof(echo_record), sizeof(echo_record)},
};

const rpc_program demo_v1 = {DEMO_PROGRAM, 1, demo_procs, 2};
const rpc_program demo_v2 = {DEMO_PROGRAM, 2, demo_procs, 2};

}  // namespace

const rpc_program* demo_program(uint32_t version) { return version == 1 ? &demo_v1 : &demo_v2; }

bool demo_register(rpc_handle* h) {
    return rpc_register(h, &demo_v1, h->protocol) && rpc_register(h, &demo_v2, h->protocol);
}

void demo_unregister(uint16_t protocol) {
    rpc_unregister(DEMO_PROGRAM, 1, protocol);
    rpc_unregister(DEMO_PROGRAM, 2, protocol);
}
