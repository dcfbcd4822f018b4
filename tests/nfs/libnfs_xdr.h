// libnfs's XDR routines and types in their own namespace: its RPC names
// (MSG_ACCEPTED, AUTH_OK, ...) would clash with the server's.
#pragma once
#include <assert.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/time.h>
#include <sys/types.h>

namespace lib {
#include <nfsc/libnfs-zdr.h>
#include <nfsc/libnfs-raw-nfs.h>
}  // namespace lib
#undef AUTH_NONE
#undef AUTH_NULL
#undef AUTH_UNIX
