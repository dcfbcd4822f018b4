// Internal to the portmap service: the procedures, the call forwarder and
// the diagnostics that only the daemon's copy writes.
#pragma once
#include <atomic>
#include <cstdint>

#include "rpc/log.h"
#include "rpc/message.h"
#include "rpc/xdr.h"

// Set for the daemon's copy: its diagnostics go to the log (level permitting).
extern std::atomic<bool> g_pmap_verbose;

// The daemon's diagnostics; nothing in the built-in copy.
void pmap_note(int min_level, const char* format, ...) RPC_PRINTF(2, 3);
void pmap_note_event(int min_level, const char* format, ...) RPC_PRINTF(2, 3);
// After a reply could not be sent.
void pmap_note_send_failure();

// Answers one decoded call: PROG_MISMATCH (2, 2) for versions other than 2,
// otherwise the procedure. The program number is not looked at.
void pmap_serve_call(rpc_handle* h, rpc_call* call);

// CALLIT arguments: the call to forward and where its argument bytes are.
struct pmap_callit_args {
    uint32_t program, version, procedure;
    uint32_t arg_len;
    const uint8_t* arg_bytes;
};
// At least four words, and the argument length must fit what follows them.
bool pmap_decode_callit(const xdr_cursor& args, pmap_callit_args* out);
// Forwards the call to the program's UDP port on this machine and answers
// the caller with the port and the results, or drops it (false).
bool pmap_forward(rpc_handle* h, const rpc_call* call, const pmap_callit_args& a);

// Capacity of the forwarder's own handle.
constexpr int32_t PMAP_FORWARD_CAPACITY = 8704;
