// The UNIX view of a Windows file: the attribute record NFS replies carry,
// synthesised from the Windows attribute bits and the settings, or taken
// from UNIX attributes saved in the creation time, with the server's own
// representations of links and device files recognised.
#pragma once
#include "quen/fs/folder_facts.h"
#include "platform/file.h"
#include "quen/fs/credential.h"
#include "quen/mount/mount_context.h"

#include <cstddef>
#include <cstdint>

enum : uint32_t {
    NF_NONE = 0,
    NF_REG = 1,
    NF_DIR = 2,
    NF_BLK = 3,
    NF_CHR = 4,
    NF_LNK = 5,
    NF_SOCK = 6,
    NF_FIFO = 7,
};

// UNIX type bits of a mode.
enum : uint32_t {
    UNIX_TYPE_MASK = 0xF000,
    UNIX_FIFO = 0x1000,
    UNIX_CHR = 0x2000,
    UNIX_DIR = 0x4000,
    UNIX_BLK = 0x6000,
    UNIX_REG = 0x8000,
    UNIX_LNK = 0xA000,
    UNIX_SOCK = 0xC000,
};

struct nfs_time {
    uint32_t seconds;
    uint32_t nseconds;
};

struct file_attributes {
    uint32_t type;         // NF_*
    uint32_t mode;         // type and permission bits
    uint32_t nlink;
    uint32_t uid;
    uint32_t gid;
    uint64_t size;
    uint32_t rdev_major;
    uint32_t rdev_minor;
    uint32_t fsid;
    uint64_t fileid;
    nfs_time atime;
    nfs_time mtime;
    nfs_time ctime;
};

// ---- conversions ---------------------------------------------------------------

// Times before 1970 show as 0 and times past the 32-bit range as its end:
// a client never sees a wrapped date.
nfs_time filetime_to_unix(uint64_t filetime);
uint64_t unix_to_filetime(uint32_t seconds, uint32_t nseconds);
// Folds a 64-bit value (a file index) into 32 well-mixed bits.
uint32_t fileid_hash(uint64_t v);

// ---- markers and on-disk forms ----------------------------------------------------

// The attribute bit that marks a file executable, and the one that marks a
// special file (link text or device record); "x2system" swaps them.
uint32_t exec_marker();
uint32_t special_marker();

// Saved UNIX attributes live in a creation time whose high word is 0xFFFF
// or less (no real creation time is that close to 1601).
bool is_saved_attributes(uint64_t creation_time);
uint64_t saved_attributes_time(uint32_t mode, uint32_t uid, uint32_t gid);
// NF_* for the type bits of a mode; NF_NONE for an unknown type.
uint32_t type_of_mode(uint32_t mode);

inline constexpr size_t kSpecialRecordSize = 32;
inline constexpr size_t kSpecialReadLimit = 1032;

// The 32-byte device record: true for a well-formed record of type NF_BLK or
// NF_CHR, with its device numbers and permission bits (low 9 bits).
bool parse_special_record(const uint8_t* data, size_t size, uint32_t& type, uint32_t& major, uint32_t& minor,
                          uint32_t& permissions);
void make_special_record(uint32_t type, uint32_t major, uint32_t minor, uint32_t permissions,
                         uint8_t out[kSpecialRecordSize]);
// Whether the bytes (the first kSpecialReadLimit of a file) are link text:
// at least one byte, every byte 32 or above, no component after a slash
// longer than 512 bytes (the first may have 513).
bool is_symlink_text(const uint8_t* data, size_t size);

// ---- reparse points ---------------------------------------------------------------------

enum : int {
    REPARSE_NONE = 0,
    REPARSE_JUNCTION = 1,
    REPARSE_ABSOLUTE_LINK = 2,
    REPARSE_RELATIVE_LINK = 3,
    REPARSE_NFS_LINK = 5,
    REPARSE_NFS_CHR = 6,
    REPARSE_NFS_BLK = 7,
};

struct reparse_info {
    int kind;            // REPARSE_*
    uint32_t major;      // devices
    uint32_t minor;
};

// Classifies reparse data as FSCTL_GET_REPARSE_POINT returns it (the first
// `size` bytes). The target of a link or junction goes to target
// (target_size bytes, truncated to fit, UTF-8). With strip, the "\??\" of
// a junction or absolute link is dropped; without it the prefix becomes
// "\\?\" so the result can be opened.
reparse_info classify_reparse_data(const uint8_t* data, size_t size, char* target, size_t target_size, bool strip);
// The same for the reparse point at path (opened without following it).
reparse_info classify_reparse_point(const char* path, char* target, size_t target_size, bool strip);

// ---- the record ------------------------------------------------------------------------------

// The attribute record of the file at path, reached as inode (0: none) through
// the mount. handle: one the caller holds open on the file (file id mode), or
// WP_INVALID_HANDLE. known: what the caller read from the file's own handle
// a moment ago (a listing), instead of opening it again. Result: the Win32
// attribute bits, or WP_INVALID_FILE_ATTRIBUTES with *status the NFS error
// (*status 0 on success). A file found gone loses its inode record outside
// file id mode.
uint32_t get_attributes(uint64_t inode, const mount_context& ctx, const char* path, wp_handle handle,
                        const fs_credential& cred, file_attributes& out, uint32_t* status,
                        const wp_file_information* known = nullptr);

// The number every name of a file answers with: for a file with two or
// more hard links the base record of its links, else inode itself.
// What a file's own handle told (ok false: it would not open).
struct file_facts {
    bool ok = false;
    wp_file_information info{};
};
// read (optional): the facts the file's handle gave, for get_attributes' known.
uint32_t link_identity(uint32_t inode, const char* path, file_facts* read = nullptr);

// Type, mode, owner and device numbers only, without opening the file for
// its size, links and times. case_exact: in a case-sensitive mount, the last
// component must exist in exactly this case (else not found).
struct type_and_mode {
    uint32_t type;
    uint32_t mode;
    uint32_t uid;
    uint32_t gid;
    uint32_t rdev_major;
    uint32_t rdev_minor;
};
uint32_t get_type_and_mode(const mount_context& ctx, const char* path, const fs_credential& cred, bool case_exact,
                           type_and_mode& out, uint32_t* status);


// ---- the synthesis itself (exposed for the callers that have the facts) ----

// What the Windows side says about a file.
struct windows_facts {
    uint32_t attributes;
    uint64_t creation_time;
    int reparse_kind;          // REPARSE_*
    uint32_t reparse_major;
    uint32_t reparse_minor;
};
// Owner, then type and mode (reading the file for special files), into out.
void synthesize_mode(const mount_context& ctx, const char* path, const fs_credential& cred,
                     const windows_facts& facts, file_attributes& out);
