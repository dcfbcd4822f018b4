// The NFS procedure tables, registered as they are.
#pragma once
#include "rpc/message.h"

struct rpc_program;
// The procedure tables of versions 2 and 3.
const rpc_program* nfs2_program();
const rpc_program* nfs3_program();
