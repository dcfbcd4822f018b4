#include "quen/fs/create.h"

#include "platform/win_error.h"

#include "quen/config/settings.h"
#include "quen/fs/dir_change.h"
#include "quen/fs/fault_status.h"
#include "quen/fs/new_entry.h"
#include "quen/fs/nfs_status.h"
#include "quen/fs/open_cache.h"
#include "quen/fs/set_attr.h"
#include "quen/inode/inode_tree.h"
#include "quen/mount/export_entry.h"
#include "rpc/log.h"

#include <cstring>

namespace {

constexpr uint64_t kFatStampBase = 0x1646F9B80ull;   // 1980-01-01 in 2-second units since 1601
constexpr uint64_t kTwoSeconds = 20000000ull;        // in FILETIME ticks
constexpr uint64_t kTimeStampLimit = 1ull << 63;     // SetFileTime takes no time from here on
constexpr uint64_t kMixedStampSpan = (1ull << 55) - 1; // 114 years of ticks

bool file_id_mode(const mount_context& ctx) { return ctx.flags & MOUNT_FLAG_FILE_ID; }

// The entry at path, when it exists under exactly this name. In a
// case-sensitive mount the caller has run case_exact_lookup already: the
// path then names the Windows entry itself, so no second lookup by case.
bool existing_entry(const mount_context& ctx, const char* path, bool exact, const fs_credential& cred,
                    file_attributes& out, uint32_t* windows) {
    out = {};
    if ((ctx.flags & MOUNT_FLAG_CASE_SENSITIVE) && !exact) return false;
    type_and_mode t{};
    uint32_t status = NFS_OK;
    *windows = get_type_and_mode(ctx, path, cred, false, t, &status);
    if (*windows == WP_INVALID_FILE_ATTRIBUTES) return false;
    out.type = t.type;
    out.mode = t.mode;
    out.uid = t.uid;
    out.gid = t.gid;
    return true;
}

bool read_last_write(const char* path, uint64_t& last_write) {
    // Attribute access only: the file may be read-only by now.
    file_handle h(wp_create_file(path, WP_FILE_READ_ATTRIBUTES, WP_FILE_SHARE_ALL, WP_OPEN_EXISTING, 0));
    return h.valid() && wp_get_file_time(h.get(), nullptr, nullptr, &last_write);
}

uint32_t write_stamp(const char* path, uint64_t stamp) {
    file_handle h(wp_create_file(path, WP_FILE_WRITE_ATTRIBUTES, WP_FILE_SHARE_ALL, WP_OPEN_EXISTING, 0));
    if (!h.valid() || !wp_set_file_time(h.get(), nullptr, nullptr, &stamp)) {
        const uint32_t error = file_last_error();
        log_printf(2, "quen create stamp error %u %s\n", error, path);
        return win32_to_nfs_status(error);
    }
    return NFS_OK;
}

}  // namespace

uint16_t verifier_crc16(const uint8_t verifier[8]) {
    uint16_t crc = 0xFFFF;
    for (int i = 0; i < 8; ++i) {
        crc ^= verifier[i] ? verifier[i] : 0x20;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? uint16_t((crc >> 1) ^ 0x8408) : uint16_t(crc >> 1);
    }
    return crc;
}

uint64_t exclusive_stamp(const uint8_t verifier[8], bool ntfs) {
    if (!ntfs) return (kFatStampBase + verifier_crc16(verifier)) * kTwoSeconds;
    uint64_t t = 0;
    for (int i = 7; i >= 0; --i) t = t << 8 | verifier[i];
    if (t != 0 && t < kTimeStampLimit) return t;
    // SetFileTime leaves a time alone for 0 and all ones and refuses one
    // with the top bit set: such a verifier is mixed into a time it does
    // keep (1970 to 2084, which every volume stores and every client can
    // be shown), so that verifiers differing in one bit still get
    // different stamps.
    uint64_t x = t ^ 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    x ^= x >> 31;
    return WP_FILETIME_UNIX_EPOCH + (x & kMixedStampSpan);
}

namespace {

// The directory's checks, then the new name's Windows path in path (of
// kNamePathSize bytes). A failure comes back with its reply made.
uint32_t begin_new_name(const fs_request& dir, const char* name, size_t name_length, bool with_dir_attributes, bool directory, dir_change& d, char* path, size_t& name_pos,
                        create_result& out) {
    if (uint32_t status = dir_change_begin(dir, with_dir_attributes, d)) {
        out.dir_attributes = d.dir_attributes;
        return status;
    }
    std::memcpy(path, d.path, kNamePathSize);
    if (uint32_t status = nfs_name_to_windows(d.ctx, path, name, name_length, &name_pos)) {
        // "." and ".." name folders that are there already.
        if (directory && status == NAME_ISDIR) status = NFSERR_EXIST;
        return new_entry_reply(status, d, false, out);
    }
    return NFS_OK;
}

}  // namespace

static uint32_t create_unguarded(const fs_request& dir, const char* name, size_t name_length, uint32_t how,
                                 const xdr_sattr& request, const uint8_t* verifier,
                                 bool with_dir_attributes, create_result& out) {
    out = {};
    if (how > CREATE_EXCLUSIVE || (how == CREATE_EXCLUSIVE && !verifier)) return NFSERR_INVAL;
    dir_change d;
    char path[kNamePathSize];
    size_t name_pos = 0;
    if (uint32_t status = begin_new_name(dir, name, name_length, with_dir_attributes, false, d, path, name_pos, out))
        return status;
    // In a case-sensitive mount another case of the name is another file:
    // the path becomes the suffixed name that keeps them apart.
    const bool exact = (d.ctx.flags & MOUNT_FLAG_CASE_SENSITIVE) && case_exact_lookup(path, nullptr);

    file_attributes existing{};
    uint32_t existing_windows = 0;
    const bool existed = existing_entry(d.ctx, path, exact, d.cred, existing, &existing_windows);
    // An exclusive create changes no existing file, and its retransmission
    // finds the file read-only when the mode made it so: the verifier decides.
    if (existed && how != CREATE_EXCLUSIVE && permitted_bits(0222, existing, d.cred) == 0)
        return new_entry_reply(NFSERR_ACCES, d, false, out);
    // Only a regular file is ever truncated or taken as a retransmission:
    // a directory, link or device keeps what it holds.
    if (existed && existing.type != NF_REG) return new_entry_reply(NFSERR_EXIST, d, false, out);

    uint64_t existing_identity = 0;
    if (existed) {
        if (file_id_mode(d.ctx)) {
            file_index_of(path, existing_identity);
        } else if (d.identity <= 0xFFFFFFFFu) {
            const char* windows_name = path + name_pos;
            if (uint32_t inode = inode_lookup(uint32_t(d.identity), windows_name, std::strlen(windows_name)))
                existing_identity = inode_base_of(inode);
        }
    }
    xdr_sattr initial{};
    if (uint32_t status = new_entry_sattr(d, request, MODE_OF_FILE, initial))
        return new_entry_reply(status, d, false, out);
    const uint64_t stamp = how == CREATE_EXCLUSIVE ? exclusive_stamp(verifier, d.ctx.flags & MOUNT_FLAG_NTFS) : 0;
    uint32_t status = NFS_OK;
    {
        bucket_guard guard(existing_identity ? existing_identity : d.identity);
        if (existing_identity) cache_drop(file_key_of(d.ctx, existing_identity));

        // UNCHECKED opens what is there (a link itself, never its target)
        // and changes its size only when asked to.
        const uint32_t disposition = how == CREATE_UNCHECKED ? WP_OPEN_ALWAYS : WP_CREATE_NEW;
        wp_handle h = wp_create_file(path, WP_GENERIC_READ | WP_GENERIC_WRITE, WP_FILE_SHARE_ALL, disposition,
                                     WP_FILE_ATTRIBUTE_NORMAL | WP_FILE_FLAG_OPEN_REPARSE_POINT);
        const uint32_t error = h == WP_INVALID_HANDLE ? file_last_error() : 0;
        // OPEN_ALWAYS reports an existing file through the error it leaves.
        const bool overwritten = h != WP_INVALID_HANDLE && (existed || file_last_error() == WIN_ERROR_ALREADY_EXISTS);
        if (h != WP_INVALID_HANDLE) wp_close_handle(h);

        bool retransmitted = false;
        if (error != 0) {
            if (how != CREATE_EXCLUSIVE || (error != WIN_ERROR_FILE_EXISTS && error != WIN_ERROR_ALREADY_EXISTS)) {
                if (error != WIN_ERROR_FILE_EXISTS) log_printf(2, "quen create error %u %s\n", error, path);
                return new_entry_reply(win32_to_nfs_status(error), d, with_dir_attributes, out);
            }
            uint64_t last_write = 0;
            if (!read_last_write(path, last_write) || last_write != stamp)
                return new_entry_reply(NFSERR_EXIST, d, with_dir_attributes, out);
            retransmitted = true;
        } else if (how == CREATE_EXCLUSIVE) {
            status = write_stamp(path, stamp);
        } else if (request.set_size) {
            status = set_size(path, request.size);
        }

        // A new file gets its owner and mode; an overwritten one keeps
        // them, as open(O_CREAT) leaves an existing file's; the first
        // exclusive create has set up what its retransmission finds.
        if (status == NFS_OK && !retransmitted && !overwritten) {
            xdr_sattr r = initial;
            // The verifier owns the last-write time.
            if (how == CREATE_EXCLUSIVE) r.set_atime = r.set_mtime = false;
            status = apply_sattr(r, d.ctx.flags, path, NF_REG);
        }
    }
    // The file stays when a later step failed, as it would on UNIX; the
    // client learns the status and may remove it.
    if (status == NFS_OK) status = new_entry_finish(d, path, name_pos, false, out);
    return new_entry_reply(status, d, with_dir_attributes, out);
}

uint32_t fs_create(const fs_request& dir, const char* name, size_t name_length, uint32_t how,
                   const xdr_sattr& request, const uint8_t* verifier,
                   bool with_dir_attributes, create_result& out) {
    return guarded_status("create exception\n", uint32_t(NFSERR_STALE), [&] {
        return create_unguarded(dir, name, name_length, how, request, verifier, with_dir_attributes, out);
    });
}

static uint32_t mkdir_unguarded(const fs_request& dir, const char* name, size_t name_length,
                                const xdr_sattr& request, bool with_dir_attributes,
                                create_result& out) {
    out = {};
    dir_change d;
    char path[kNamePathSize];
    size_t name_pos = 0;
    if (uint32_t status = begin_new_name(dir, name, name_length, with_dir_attributes, true, d, path, name_pos, out))
        return status;
    if (d.ctx.flags & MOUNT_FLAG_CASE_SENSITIVE) case_exact_lookup(path, nullptr);

    xdr_sattr r{};
    uint32_t status = new_entry_sattr(d, request, MODE_OF_DIRECTORY, r);
    if (status != NFS_OK) return new_entry_reply(status, d, false, out);
    {
        bucket_guard guard(d.identity);
        if (!wp_create_directory(path)) {
            const uint32_t error = file_last_error();
            if (error != WIN_ERROR_ALREADY_EXISTS) log_printf(2, "quen mkdir error %u %s\n", error, path);
            return new_entry_reply(win32_to_nfs_status(error), d, with_dir_attributes, out);
        }
        status = apply_sattr(r, d.ctx.flags, path, NF_DIR);
    }
    if (status == NFS_OK) status = new_entry_finish(d, path, name_pos, true, out);
    return new_entry_reply(status, d, with_dir_attributes, out);
}

uint32_t fs_mkdir(const fs_request& dir, const char* name, size_t name_length, const xdr_sattr& request, bool with_dir_attributes, create_result& out) {
    return guarded_status("mkdir exception\n", uint32_t(NFSERR_STALE), [&] {
        return mkdir_unguarded(dir, name, name_length, request, with_dir_attributes, out);
    });
}
