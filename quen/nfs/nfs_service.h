// The NFS version 3 dispatcher over its procedure table.
#pragma once
#include "rpc/message.h"

void nfs3_dispatch(rpc_handle* h, rpc_call* call);
