// The MOUNT service (program 100005, versions 1 to 3): its endpoints and
// registrations, and the dispatcher of NULL, MNT, DUMP, UMNT, UMNTALL and
// EXPORT over the export list and the mount table.
#pragma once
#include "rpc/message.h"

#include <cstdint>

inline constexpr uint32_t MOUNT_PROGRAM = 100005;
inline constexpr uint32_t kMountReplyBudget = 7680;   // bytes of DUMP and EXPORT items

enum : uint32_t {
    MOUNTPROC_NULL = 0,
    MOUNTPROC_MNT = 1,
    MOUNTPROC_DUMP = 2,
    MOUNTPROC_UMNT = 3,
    MOUNTPROC_UMNTALL = 4,
    MOUNTPROC_EXPORT = 5,
};

// MNT statuses of the MOUNT standards.
enum : uint32_t {
    MNT_OK = 0,
    MNT_ERR_NOENT = 2,
    MNT_ERR_NXIO = 6,
    MNT_ERR_ACCES = 13,
    MNT_ERR_NODEV = 19,
    MNT_ERR_NOTDIR = 20,
};

// Start failures, in the order the steps run.
enum : int {
    MOUNTD_STARTED = 0,
    MOUNTD_UDP_BIND = 1,
    MOUNTD_UDP_HANDLE = 2,
    MOUNTD_UDP_VERSION3 = 3,
    MOUNTD_UDP_VERSION2 = 4,
    MOUNTD_TCP_BIND = 5,
    MOUNTD_TCP_HANDLE = 6,
    MOUNTD_TCP_VERSION3 = 7,
    MOUNTD_TCP_VERSION2 = 8,
};

// Opens the endpoints on the port, registers the versions the settings
// allow, and reads "mounttab" unless "InodeReset" is set.
int mountd_start(uint16_t port);
// Withdraws the registrations of versions 3, 2 and 1 on UDP and TCP.
void mountd_unregister();

struct rpc_program;
// The procedure table of version 1, 2 or 3; null for another.
const rpc_program* mountd_program(uint32_t version);
