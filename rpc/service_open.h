// Opening one endpoint of an RPC service: the socket, its handle on the
// server list and the versions the settings offer, each failure with its
// log line and its result code from the service's own table.
#pragma once
#include "rpc/message.h"
#include "rpc/proc_table.h"
#include "rpc/transport.h"

#include <cstdint>

enum : int { RPC_ON_UDP = 0, RPC_ON_TCP = 1 };

// One version of the service. A registration that fails ends the start
// with code[...] unless code is 0, when it is only logged.
struct rpc_service_version {
    const rpc_program* table;   // its program and version
    bool offered;             // the settings allow it
    const char* failure[2];   // the log line when its registration fails, per transport
    int code[2];
};

struct rpc_service_spec {
    uint32_t program;
    uint32_t local_addr;
    int32_t capacity;
    bool udp_overlapped;
    bool udp_bind_retry;           // the UDP bind is tried again after a second
    int udp_workers;               // more than 1: worker threads serve the UDP endpoint
    // Called on the new socket before its handle is made (socket buffers); may be null.
    void (*prepare)(net_socket s, uint16_t protocol);
    const char* bind_failure[2];   // per transport
    int bind_code[2];
    const char* handle_failure[2];
    int handle_code[2];
    const rpc_service_version* versions;   // in the order they are registered
    int version_count;
};

// Opens the service's endpoint for protocol (RPC_UDP or RPC_TCP) on port.
// Result: 0, or the table's code of the step that failed (logged).
int rpc_service_open(const rpc_service_spec& spec, uint16_t protocol, uint16_t port);
// Withdraws every version of the table on UDP and TCP.
void rpc_service_withdraw(const rpc_service_spec& spec);
