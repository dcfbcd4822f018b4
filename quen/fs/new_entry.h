// The attributes a new directory entry (file, directory, link, node) starts
// with: its owner, checked as SETATTR checks a change of owner, and its
// mode, defaulted by the settings and the export.
#pragma once
#include "quen/fs/create.h"
#include "quen/fs/dir_change.h"
#include "rpc/xdr.h"

#include <cstdint>

enum new_entry_mode : uint8_t {
    MODE_OF_FILE,        // CREATE, MKNOD: "CreateAccess" replaces any requested mode
    MODE_OF_DIRECTORY,   // MKDIR: a requested mode stays
    MODE_OF_LINK,        // SYMLINK: 0777 unless a mode is asked for
};

// out: the request with unset ids filled from the mapped credential and a
// default mode where none (or 0) was asked for; set-user-id and
// set-group-id are dropped for all but root. Result: NFSERR_PERM when a
// caller other than root names another uid, or a gid that is not one of
// its groups; else NFS_OK.
uint32_t new_entry_sattr(const dir_change& d, const xdr_sattr& request, new_entry_mode kind, xdr_sattr& out);

// 0777 less the export's umask.
uint32_t permissions_minus_umask(const mount_context& ctx);

// The number the new entry at path (its name at name_pos) answers with, as
// LOOKUP would give it: its file index, or its inode (the link base of a
// file with several links). 0 when none can be had.
uint64_t new_entry_identity(const dir_change& d, const char* path, size_t name_pos, bool directory);
// The handle and attributes of the new entry into out. Result: the
// attributes' status (2 without an inode).
uint32_t new_entry_finish(const dir_change& d, const char* path, size_t name_pos, bool directory, create_result& out);
// The directory changed: a client keeps its listing while the attributes
// it is handed look unchanged, so they are read again. Result: status.
uint32_t new_entry_reply(uint32_t status, const dir_change& d, bool with_dir_attributes, create_result& out);
