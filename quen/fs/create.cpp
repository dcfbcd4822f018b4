#include "quen/fs/create.h"

#include "quen/config/settings.h"
#include "quen/fs/dir_change.h"
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
constexpr uint32_t kError_FileExists = 80, kError_AlreadyExists = 183;
constexpr uint32_t kSetUid = 0x800;

bool file_id_mode(const mount_context& ctx) { return ctx.flags & MOUNT_FLAG_FILE_ID; }

uint32_t permissions_minus_umask(const mount_context& ctx) {
    const uint32_t umask = ctx.entry ? ctx.entry->fixed.umask : uint32_t(EXPORT_DEFAULT_UMASK);
    return 0777 & ~(umask & 077);
}

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

// The number the new entry answers with, as LOOKUP would give it.
uint64_t entry_identity(const dir_change& d, const char* path, size_t name_pos, bool directory) {
    if (file_id_mode(d.ctx)) {
        uint64_t index = 0;
        return file_index_of(path, index) ? index : 0;
    }
    if (d.dir_identity > 0xFFFFFFFFu) return 0;
    const char* name = path + name_pos;
    uint32_t inode = inode_enter(uint32_t(d.dir_identity), name, std::strlen(name));
    if (inode && !directory) inode = link_identity(inode, path);
    return inode;
}

uint32_t finish(const dir_change& d, const char* path, size_t name_pos, bool directory, create_result& out) {
    const uint64_t identity = entry_identity(d, path, name_pos, directory);
    if (identity == 0) return NFSERR_NOENT;
    out.handle = handle_make(uint32_t(identity), uint32_t(identity >> 32), d.mount_id);
    uint32_t status = NFS_OK;
    get_attributes(identity, d.ctx, path, WP_INVALID_HANDLE, d.cred, out.attributes, &status);
    return status;
}

// The directory changed: a client keeps its listing while the attributes
// it is handed look unchanged, so they are read again.
uint32_t with_dir_after(uint32_t status, const dir_change& d, bool with_dir_attributes, create_result& out) {
    out.dir_attributes = d.dir_attributes;
    if (with_dir_attributes) {
        file_attributes after{};
        uint32_t st = NFS_OK;
        get_attributes(d.dir_identity, d.ctx, d.dir_path, WP_INVALID_HANDLE, d.cred, after, &st);
        if (st == NFS_OK) out.dir_attributes = after;
    }
    return status;
}

// The owner of a new entry is its creator, unless the request names one;
// only root may create a set-user-id file, as only root may chmod one.
xdr_sattr owned_by_caller(const xdr_sattr& request, const fs_credential& cred) {
    xdr_sattr r = request;
    if (!r.set_uid) r.uid = uint32_t(cred.uid), r.set_uid = true;
    if (!r.set_gid) r.gid = uint32_t(cred.gid), r.set_gid = true;
    if (cred.uid != 0) r.mode &= ~kSetUid;
    return r;
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
    // Windows takes no time with the top bit set, and 0 as "leave as it is".
    t &= 0x7FFFFFFFFFFFFFFFull;
    return t ? t : 1;
}

uint32_t fs_create(const internal_handle& dir, const char* name, size_t name_length, uint32_t how,
                   const xdr_sattr& request, const uint8_t* verifier, const fs_credential& cred,
                   bool with_dir_attributes, create_result& out) {
    out = {};
    if (how > CREATE_EXCLUSIVE || (how == CREATE_EXCLUSIVE && !verifier)) return NFSERR_INVAL;
    dir_change d;
    if (uint32_t status = dir_change_begin(dir, cred, with_dir_attributes, d)) {
        out.dir_attributes = d.dir_attributes;
        return status;
    }
    char path[kNamePathSize];
    std::memcpy(path, d.dir_path, sizeof path);
    size_t name_pos = 0;
    if (uint32_t status = nfs_name_to_windows(d.ctx, path, name, name_length, &name_pos))
        return with_dir_after(status, d, false, out);
    // In a case-sensitive mount another case of the name is another file:
    // the path becomes the suffixed name that keeps them apart.
    const bool exact = (d.ctx.flags & MOUNT_FLAG_CASE_SENSITIVE) && case_exact_lookup(path, nullptr);

    file_attributes existing{};
    uint32_t existing_windows = 0;
    const bool existed = existing_entry(d.ctx, path, exact, d.cred, existing, &existing_windows);
    // An exclusive create changes no existing file, and its retransmission
    // finds the file read-only when the mode made it so: the verifier decides.
    if (existed && how != CREATE_EXCLUSIVE && permitted_bits(0222, existing, d.cred) == 0)
        return with_dir_after(NFSERR_ACCES, d, false, out);
    // Only a regular file is ever truncated or taken as a retransmission:
    // a directory, link or device keeps what it holds.
    if (existed && existing.type != NF_REG) return with_dir_after(NFSERR_EXIST, d, false, out);

    uint64_t existing_identity = 0;
    if (existed) {
        if (file_id_mode(d.ctx)) {
            file_index_of(path, existing_identity);
        } else if (d.dir_identity <= 0xFFFFFFFFu) {
            const char* windows_name = path + name_pos;
            if (uint32_t inode = inode_lookup(uint32_t(d.dir_identity), windows_name, std::strlen(windows_name)))
                existing_identity = inode_base_of(inode);
        }
    }
    const uint64_t stamp = how == CREATE_EXCLUSIVE ? exclusive_stamp(verifier, d.ctx.flags & MOUNT_FLAG_NTFS) : 0;
    uint32_t status = NFS_OK;
    {
        bucket_guard guard(existing_identity ? existing_identity : d.dir_identity);
        if (existing_identity) cache_drop(file_key_of(d.ctx, existing_identity));

        // Overwriting a hidden or system file must name those attributes
        // again; they carry its mode, which an overwrite keeps.
        constexpr uint32_t kept_bits = WP_FILE_ATTRIBUTE_HIDDEN | WP_FILE_ATTRIBUTE_SYSTEM;
        const uint32_t kept = existed ? existing_windows & kept_bits : 0;
        const uint32_t disposition = how == CREATE_UNCHECKED ? WP_CREATE_ALWAYS : WP_CREATE_NEW;
        wp_handle h = wp_create_file(path, WP_GENERIC_READ | WP_GENERIC_WRITE, WP_FILE_SHARE_ALL, disposition,
                                     kept ? kept : WP_FILE_ATTRIBUTE_NORMAL);
        const uint32_t error = h == WP_INVALID_HANDLE ? file_last_error() : 0;
        // CREATE_ALWAYS reports an existing file through the error it leaves.
        const bool overwritten = h != WP_INVALID_HANDLE && existed;
        if (h != WP_INVALID_HANDLE) wp_close_handle(h);

        bool retransmitted = false;
        if (error != 0) {
            if (how != CREATE_EXCLUSIVE || (error != kError_FileExists && error != kError_AlreadyExists)) {
                if (error != kError_FileExists) log_printf(2, "quen create error %u %s\n", error, path);
                return with_dir_after(win32_to_nfs_status(error), d, with_dir_attributes, out);
            }
            uint64_t last_write = 0;
            if (!read_last_write(path, last_write) || last_write != stamp)
                return with_dir_after(NFSERR_EXIST, d, with_dir_attributes, out);
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
            xdr_sattr r = owned_by_caller(request, d.cred);
            const bool defaults = g_settings.record.create_access != 0 || (d.ctx.flags & MOUNT_FLAG_DC);
            if (g_settings.record.create_access != 0 || !r.set_mode || (r.mode & 07777) == 0) {
                r.mode = defaults ? permissions_minus_umask(d.ctx) : 0400;
                r.set_mode = true;
            }
            r.set_size = false;
            // The verifier owns the last-write time.
            if (how == CREATE_EXCLUSIVE) r.set_atime = r.set_mtime = false;
            status = apply_sattr(r, d.ctx.flags, path, NF_REG);
        }
    }
    // The file stays when a later step failed, as it would on UNIX; the
    // client learns the status and may remove it.
    if (status == NFS_OK) status = finish(d, path, name_pos, false, out);
    return with_dir_after(status, d, with_dir_attributes, out);
}

uint32_t fs_mkdir(const internal_handle& dir, const char* name, size_t name_length, const xdr_sattr& request,
                  const fs_credential& cred, bool with_dir_attributes, create_result& out) {
    out = {};
    dir_change d;
    if (uint32_t status = dir_change_begin(dir, cred, with_dir_attributes, d)) {
        out.dir_attributes = d.dir_attributes;
        return status;
    }
    char path[kNamePathSize];
    std::memcpy(path, d.dir_path, sizeof path);
    size_t name_pos = 0;
    if (uint32_t status = nfs_name_to_windows(d.ctx, path, name, name_length, &name_pos))
        return with_dir_after(status == NAME_ISDIR ? uint32_t(NFSERR_EXIST) : status, d, false, out);
    if (d.ctx.flags & MOUNT_FLAG_CASE_SENSITIVE) case_exact_lookup(path, nullptr);

    uint32_t status = NFS_OK;
    {
        bucket_guard guard(d.dir_identity);
        if (!wp_create_directory(path)) {
            const uint32_t error = file_last_error();
            if (error != kError_AlreadyExists) log_printf(2, "quen mkdir error %u %s\n", error, path);
            return with_dir_after(win32_to_nfs_status(error), d, with_dir_attributes, out);
        }
        xdr_sattr r = owned_by_caller(request, d.cred);
        if (!r.set_mode || (r.mode & 07777) == 0) {
            const bool defaults = g_settings.record.create_access != 0 || (d.ctx.flags & MOUNT_FLAG_DC);
            r.mode = defaults ? permissions_minus_umask(d.ctx) : 0400;
            r.set_mode = true;
        }
        r.set_size = false;
        status = apply_sattr(r, d.ctx.flags, path, NF_DIR);
    }
    if (status == NFS_OK) status = finish(d, path, name_pos, true, out);
    return with_dir_after(status, d, with_dir_attributes, out);
}
