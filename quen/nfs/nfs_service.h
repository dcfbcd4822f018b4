// The NFS dispatchers over their procedure tables.
#pragma once
#include "rpc/message.h"

void nfs2_dispatch(rpc_handle* h, rpc_call* call);
void nfs3_dispatch(rpc_handle* h, rpc_call* call);
