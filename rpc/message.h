// The RPC message layer: call headers and credentials, the program list and
// dispatch, reply headers, portmapper registration, outgoing calls and the
// duplicate reply slots.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "rpc/transport.h"
#include "rpc/xdr.h"

enum : uint32_t {
    RPC_CALL = 0,
    RPC_REPLY = 1,
    RPC_PROTOCOL_VERSION = 2,

    MSG_ACCEPTED = 0,
    MSG_DENIED = 1,

    ACCEPT_SUCCESS = 0,
    ACCEPT_PROG_UNAVAIL = 1,
    ACCEPT_PROG_MISMATCH = 2,
    ACCEPT_PROC_UNAVAIL = 3,
    ACCEPT_GARBAGE_ARGS = 4,
    ACCEPT_SYSTEM_ERR = 5,

    REJECT_RPC_MISMATCH = 0,
    REJECT_AUTH_ERROR = 1,

    AUTH_OK = 0,
    AUTH_BADCRED = 1,
    AUTH_REJECTEDCRED = 2,
    AUTH_BADVERF = 3,

    AUTH_NULL = 0,
    AUTH_UNIX = 1,
    AUTH_SHORT = 2,

    PMAP_PROGRAM = 100000,
    PMAP_VERSION = 2,
    PMAP_PORT = 111,
    PMAPPROC_SET = 1,
    PMAPPROC_UNSET = 2,
};

constexpr uint32_t RPC_AUTH_MAX = 400;        // credential and verifier bodies
constexpr uint32_t RPC_MACHINE_NAME_MAX = 255;
constexpr uint32_t RPC_GIDS_MAX = 32;
constexpr uint32_t RPC_NOBODY = 65534;        // identity of calls without AUTH_UNIX

// The decoded call; one per serving thread, reused for every message.
struct rpc_call {
    uint32_t msg_type, rpc_version, program, version, procedure;
    uint32_t cred_flavor, cred_len;
    uint8_t cred[4 + RPC_AUTH_MAX];   // length word as received, then the body
    uint32_t verf_flavor, verf_len;
    uint8_t verf[4 + RPC_AUTH_MAX];
    // Caller identity (AUTH_UNIX, or the anonymous identity otherwise).
    uint32_t stamp;
    const char* machine_name;
    uint32_t uid, gid;
    uint32_t gid_count;
    const uint32_t* gids;
    char machine_name_buf[RPC_MACHINE_NAME_MAX + 1];
    uint32_t gid_buf[RPC_GIDS_MAX];
    xdr_cursor args;
    // The program's request record while its handler runs (rpc/proc_table.h).
    void* request;
};

// Result encoders write at dst and return the bytes written.
using rpc_encoder = size_t (*)(uint8_t* dst, const void* result);

struct rpc_program;   // a version's procedure table (rpc/proc_table.h)

struct prog_entry {
    prog_entry* next;
    uint32_t program, version;
    const rpc_program* table;
};

// Decodes and checks the header; answers RPC_MISMATCH and AUTH_ERROR for the
// header's own faults. Result: accepted (the call may be dispatched).
bool rpc_decode_call(rpc_handle* h, rpc_call* call);
// Authentication, then the program list: dispatch or the error reply.
void rpc_dispatch(rpc_handle* h, rpc_call* call);
// AUTH_OK or the auth status; fills the identity fields.
uint32_t rpc_authenticate(rpc_call* call);

bool rpc_reply_success(rpc_handle* h, const rpc_call* call, rpc_encoder encode, const void* result);
bool rpc_reply_error(rpc_handle* h, const rpc_call* call, uint32_t accept_status);
bool rpc_reply_prog_mismatch(rpc_handle* h, const rpc_call* call, uint32_t low, uint32_t high);
bool rpc_reply_rpc_mismatch(rpc_handle* h);
bool rpc_reply_auth_error(rpc_handle* h, uint32_t auth_status);
// The accepted reply header; result: its length.
size_t rpc_put_accepted_header(uint8_t* dst, uint32_t xid, const rpc_call* call, uint32_t accept_status);
// Where the results of the call's accepted reply start: the length of that header.
size_t rpc_results_offset(const rpc_call* call);

// Registers the table's program and version (once, whatever the transport)
// and tells the portmapper the endpoint. false: another table holds that
// program and version, or the portmapper refused.
bool rpc_register(rpc_handle* h, const rpc_program* table, uint16_t protocol);
bool rpc_unregister(uint32_t program, uint32_t version, uint16_t protocol);
const prog_entry* rpc_programs();
// port 0 sends UNSET. Result: the portmapper's answer, or false on any failure.
bool pmap_client_set(uint32_t program, uint32_t version, uint16_t protocol, uint16_t port);

// Outgoing calls.
uint32_t rpc_next_xid();
size_t rpc_build_call(rpc_handle* h, uint32_t program, uint32_t version, uint32_t procedure);
bool rpc_send_call(rpc_handle* h, const rpc_call* received, uint32_t procedure, rpc_encoder encode,
                   const void* args);
// Checks a received reply against h->xid: its length when positive, else the
// codes -1 (xid), -2 (not a reply), -3 (RPC_MISMATCH), -4 (denied), -6
// (PROG_MISMATCH), -7 (PROG_UNAVAIL), -8 (PROC_UNAVAIL), -9 (other), -10 (short).
int rpc_reply_check(const rpc_handle* h);
constexpr int RPC_REPLY_RESULTS = 24;   // results of a checked reply start here

// Duplicate reply slot of a non-idempotent procedure: remembers its last reply.
struct reply_slot {
    uint32_t xid;
    uint32_t addr;    // client address, network order
    uint16_t port;    // client port, network order
    std::atomic<int16_t> state;   // 0 empty, -1 being written, 1 valid
};
// Replays the stored result when xid, address and port match the call.
bool reply_slot_replay(rpc_handle* h, const rpc_call* call, reply_slot* slot, rpc_encoder encode,
                       const void* slot_data);
void reply_slot_store(const rpc_handle* h, reply_slot* slot, void* slot_data, const void* result,
                      size_t size);
