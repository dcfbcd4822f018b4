// The NFS sockets on the NFS port, their buffer sizes, the serving threads
// and the registrations of program 100003.
#pragma once
#include <cstdint>

inline constexpr uint32_t NFS_PROGRAM = 100003;

// Result: 0, or the failing step's code (1-9).
int nfs_sockets_create(uint16_t port);
// Withdraws version 2 over UDP and TCP, then version 3 over UDP and TCP.
void nfs_unregister();
