// The attribute record of one file: Windows facts from an open handle (or,
// failing that, from the path), then the UNIX view synthesised from them.
#include "quen/config/settings.h"
#include "quen/fs/attr.h"
#include "quen/fs/dir_count.h"
#include "quen/fs/folder_facts.h"
#include "quen/fs/names.h"
#include "quen/fs/nfs_status.h"
#include "quen/fs/search_form.h"
#include "quen/inode/paths.h"
#include "quen/inode/inode_tree.h"
#include "rpc/log.h"

#include <cstring>
#include <string>

namespace {

bool not_found(uint32_t e) { return e == WIN_ERROR_FILE_NOT_FOUND || e == WIN_ERROR_PATH_NOT_FOUND; }

// The Windows facts, read by handle where one opens.
file_facts facts_by_handle(const char* path, wp_handle given) {
    file_facts r;
    file_handle opened;
    wp_handle h = given;
    if (h == WP_INVALID_HANDLE) {
        opened.reset(wp_create_file(path, 0, WP_FILE_SHARE_ALL, WP_OPEN_EXISTING,
                                    WP_FILE_FLAG_BACKUP_SEMANTICS | WP_FILE_FLAG_OPEN_REPARSE_POINT));
        if (!opened.valid()) {
            const uint32_t e = file_last_error();
            if (!not_found(e) && e != WIN_ERROR_ACCESS_DENIED) log_printf(2, "quen attr error %u %s\n", e, path);
            return r;
        }
        h = opened.get();
    }
    if (wp_get_file_information_by_handle(h, &r.info)) {
        r.ok = true;
    } else {
        const uint32_t e = file_last_error();
        if (e != WIN_ERROR_ACCESS_DENIED && e != WIN_ERROR_INVALID_HANDLE)
            log_printf(2, "quen attr info error %u %s\n", e, path);
    }
    return r;
}

// A link target in the form the client wrote it.
size_t client_form_target(const mount_context& ctx, char* target, size_t size) {
    if (windows_path_to_nfs(nullptr, target, size) == 0) return 0;
    return windows_name_to_nfs(ctx, target, target, size);
}

}  // namespace

uint32_t link_identity(uint32_t inode, const char* path, file_facts* read) {
    const file_facts hf = facts_by_handle(path, WP_INVALID_HANDLE);
    if (read) *read = hf;
    if (!hf.ok || (hf.info.attributes & WP_FILE_ATTRIBUTE_DIRECTORY) || hf.info.number_of_links < 2) return inode;
    const uint64_t index = hf.info.file_index;
    const uint32_t base = inode_link_base(inode, uint32_t(index), uint32_t(index >> 32), hf.info.volume_serial);
    return base ? base : inode;
}

uint32_t get_attributes(uint64_t inode, const mount_context& ctx, const char* path, wp_handle handle,
                        const fs_credential& cred, file_attributes& a, uint32_t* status,
                        const wp_file_information* known) {
    a = {};
    uint32_t st = NFS_OK;
    if (!status) status = &st;
    const bool file_id_mode = ctx.flags & MOUNT_FLAG_FILE_ID;
    // Handles of the open-file cache are not borrowed here: the sweeper may
    // close one at any time unless its bucket's section is held, and taking
    // that section here could invert the order with a section the caller
    // already holds. A caller that holds the section passes its handle.
    windows_facts f{};
    bool have_index = false;
    uint64_t file_index = 0;
    const file_facts hf = known ? file_facts{true, *known} : facts_by_handle(path, handle);
    if (hf.ok) {
        if (handle != WP_INVALID_HANDLE && hf.info.volume_serial != ctx.volume_serial) {
            *status = NFSERR_STALE;
            return WP_INVALID_FILE_ATTRIBUTES;
        }
        f.attributes = hf.info.attributes;
        f.creation_time = hf.info.creation_time;
        a.size = hf.info.size;
        a.mtime = a.ctime = filetime_to_unix(hf.info.last_write_time);
        a.atime = filetime_to_unix(hf.info.last_access_time);
        a.nlink = hf.info.number_of_links;
        file_index = hf.info.file_index;
        have_index = true;
        if (!(f.attributes & WP_FILE_ATTRIBUTE_DIRECTORY) && !file_id_mode && a.nlink > 1 && inode != 0 &&
            inode <= 0xFFFFFFFFu) {
            // All names of the file answer with one number.
            const uint32_t base = inode_link_base(uint32_t(inode), uint32_t(file_index), uint32_t(file_index >> 32),
                                                  hf.info.volume_serial);
            if (base) inode = base;
        }
    } else {
        wp_attribute_data d;
        if (!wp_get_file_attributes_ex(path, &d)) {
            const uint32_t e = file_last_error();
            if (!not_found(e)) log_printf(2, "quen attr fa error %u %s\n", e, path);
            // Only a file that is gone loses its record: a refusal says
            // nothing about whether the name still exists.
            if (not_found(e) && !file_id_mode && inode != 0 && inode <= 0xFFFFFFFFu) inode_delete(uint32_t(inode));
            // The file a handle names is gone: the handle is stale (no
            // attribute call has NOENT to answer).
            *status = not_found(e) ? uint32_t(NFSERR_STALE) : win32_to_nfs_status(e);
            return WP_INVALID_FILE_ATTRIBUTES;
        }
        f.attributes = d.attributes;
        f.creation_time = d.creation_time;
        a.size = d.size;
        a.mtime = a.ctime = filetime_to_unix(d.last_write_time);
        a.atime = filetime_to_unix(d.last_access_time);
        a.nlink = 1;
    }

    if (f.attributes & WP_FILE_ATTRIBUTE_REPARSE_POINT) {
        static thread_local char target[kNamePathSize];
        const reparse_info r = classify_reparse_point(path, target, sizeof target, true);
        f.reparse_kind = r.kind;
        f.reparse_major = r.major;
        f.reparse_minor = r.minor;
        if (r.kind == REPARSE_ABSOLUTE_LINK || r.kind == REPARSE_RELATIVE_LINK || r.kind == REPARSE_NFS_LINK)
            a.size = client_form_target(ctx, target, sizeof target);
    }

    synthesize_mode(ctx, path, cred, f, a);

    if (f.attributes & WP_FILE_ATTRIBUTE_DIRECTORY) {
        if (g_settings.record.dir_count)
            a.nlink = g_settings.record.dir_count;
        else if (ctx.flags & MOUNT_FLAG_NOSDC)
            a.nlink = 1;
        else
            a.nlink = have_index ? subdirectory_count(path, hf.info.volume_serial, file_index)
                                 : count_subdirectories(path);
        if (a.size == 0) a.size = 4096;
    }

    a.fsid = ctx.volume_serial;
    a.fileid = inode;
    if (file_id_mode && (ctx.flags & MOUNT_FLAG_I32)) {
        if (!have_index && !file_index_of(path, file_index))
            log_printf(2, "quen file id failed %s\n", path);
        else
            a.fileid = fileid_hash(file_index);
    }
    *status = NFS_OK;
    return f.attributes;
}

uint32_t get_type_and_mode(const mount_context& ctx, const char* path, const fs_credential& cred, bool case_exact,
                           type_and_mode& out, uint32_t* status) {
    out = {};
    uint32_t st = NFS_OK;
    if (!status) status = &st;
    windows_facts f{};
    static thread_local char exact[kNamePathSize];
    const char* at = path;
    if (case_exact && (ctx.flags & MOUNT_FLAG_CASE_SENSITIVE)) {
        const size_t n = std::strlen(path);
        if (n >= sizeof exact) {
            *status = NFSERR_NAMETOOLONG;
            return WP_INVALID_FILE_ATTRIBUTES;
        }
        std::memcpy(exact, path, n + 1);
        wp_find_data found;
        if (!case_exact_lookup(exact, &found)) {
            *status = win32_to_nfs_status(file_last_error());
            return WP_INVALID_FILE_ATTRIBUTES;
        }
        f.attributes = found.attributes;
        f.creation_time = found.creation_time;
        at = exact;
    } else {
        wp_attribute_data d;
        if (!wp_get_file_attributes_ex(path, &d)) {
            *status = win32_to_nfs_status(file_last_error());
            return WP_INVALID_FILE_ATTRIBUTES;
        }
        f.attributes = d.attributes;
        f.creation_time = d.creation_time;
    }
    if (f.attributes & WP_FILE_ATTRIBUTE_REPARSE_POINT) {
        const reparse_info r = classify_reparse_point(at, nullptr, 0, true);
        f.reparse_kind = r.kind;
        f.reparse_major = r.major;
        f.reparse_minor = r.minor;
    }
    file_attributes a{};
    synthesize_mode(ctx, at, cred, f, a);
    out.type = a.type;
    out.mode = a.mode;
    out.uid = a.uid;
    out.gid = a.gid;
    out.rdev_major = a.rdev_major;
    out.rdev_minor = a.rdev_minor;
    *status = NFS_OK;
    return f.attributes;
}
