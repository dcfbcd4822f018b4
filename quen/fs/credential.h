// The caller's identity as the file layer checks it: taken from the RPC
// call, mapped once per request by the export's options, then compared with
// the owner and mode of each file.
#pragma once
#include "quen/mount/mount_context.h"
#include "rpc/message.h"

#include <cstdint>

inline constexpr int32_t kNobodyId = 65534;

struct fs_credential {
    int32_t uid;
    int32_t gid;
    uint32_t gid_count;               // supplementary groups in gids
    uint32_t gids[RPC_GIDS_MAX];
};

struct file_attributes;

// A copy of the call's AUTH_UNIX identity (or the anonymous one the RPC
// layer put there); at most RPC_GIDS_MAX supplementary groups are kept.
fs_credential credential_from_call(const rpc_call& call);

// Applies the export's `mapall:` and `maproot:` options and root squashing.
// Whenever the identity is replaced, the supplementary groups go with it.
// Squashing covers group 0 too: a caller that is not root has it, primary or
// supplementary, replaced by the group root's goes to.
void map_credential(const mount_context& ctx, fs_credential& cred);

// True for the file's owner and for root.
bool is_owner(uint32_t file_uid, const fs_credential& cred);
// Whether gid is the caller's group or one of its supplementary groups.
bool in_group(uint32_t gid, const fs_credential& cred);

// The part of `wanted` (permission bits, e.g. 0555 to read, 0222 to write,
// 0111 to search) that the file's mode grants this caller: root gets all of
// them, the owner the owner bits, a member of the file's group the group
// bits, anyone else the other bits.
uint32_t permitted_bits(uint32_t wanted, const file_attributes& attr, const fs_credential& cred);
