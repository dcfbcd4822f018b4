// The lock manager's procedure handlers, shared by the three versions'
// tables: the version of the call picks the status numbers it may send.
#pragma once
#include "quen/fs/open_cache.h"
#include "rpc/message.h"

bool nlm_test(rpc_handle* h, rpc_call* call, const void* args, void* result);
bool nlm_lock_proc(rpc_handle* h, rpc_call* call, const void* args, void* result);
bool nlm_cancel(rpc_handle* h, rpc_call* call, const void* args, void* result);
bool nlm_unlock(rpc_handle* h, rpc_call* call, const void* args, void* result);
// The message forms: a void reply now, the result as a call back later.
bool nlm_test_msg(rpc_handle* h, rpc_call* call, const void* args, void* result);
bool nlm_lock_msg(rpc_handle* h, rpc_call* call, const void* args, void* result);
bool nlm_cancel_msg(rpc_handle* h, rpc_call* call, const void* args, void* result);
bool nlm_unlock_msg(rpc_handle* h, rpc_call* call, const void* args, void* result);
// Results sent to us (GRANTED_RES and the like): read, and not answered.
bool nlm_ignore_res(rpc_handle* h, rpc_call* call, const void* args, void* result);
bool nlm_share(rpc_handle* h, rpc_call* call, const void* args, void* result);
bool nlm_free_all(rpc_handle* h, rpc_call* call, const void* args, void* result);

// Installs the table's hooks on the open-file cache's handles.
void nlm_procs_init();
// The open-file cache closes a slot that still has locks (at stop).
void nlm_release_file(cache_slot* slot);
