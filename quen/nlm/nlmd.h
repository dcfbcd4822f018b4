// quen/nlm: the network lock manager, byte-range locks of NFS clients held
// on the files' cached handles. Uses config/, inode/, mount/ and fs/.
#pragma once
#include "rpc/message.h"

#include <cstdint>

// Results of nlmd_start.
enum : int {
    NLMD_STARTED = 0,
    NLMD_UDP_BIND = 1,
    NLMD_UDP_HANDLE = 2,
    NLMD_UDP_VERSION4 = 3,
    NLMD_UDP_VERSION3 = 4,
    NLMD_TCP_BIND = 5,
    NLMD_TCP_HANDLE = 6,
    NLMD_TCP_VERSION4 = 7,
    NLMD_TCP_VERSION3 = 8,
    NLMD_NO_CALLBACKS = 9,
};

// Opens the endpoints on port, registers versions 4, 3 and 1 as the
// settings allow, and starts the callback sender.
int nlmd_start(uint16_t port);
// Withdraws the registrations and stops the callback sender; the locks go
// when the file layer closes the cached files.
void nlmd_unregister();

struct rpc_program;
// The procedure table of version 1, 3 or 4; null for another.
const rpc_program* nlm_program(uint32_t version);
