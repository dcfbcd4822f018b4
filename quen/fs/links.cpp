#include "quen/fs/links.h"

#include "platform/codepage.h"
#include "platform/win_error.h"
#include "quen/config/settings.h"
#include "quen/fs/attribute_lift.h"
#include "quen/fs/dir_entry.h"
#include "quen/fs/fault_status.h"
#include "quen/fs/link_target.h"
#include "quen/fs/names.h"
#include "quen/fs/new_entry.h"
#include "quen/fs/nfs_status.h"
#include "quen/fs/open_cache.h"
#include "quen/fs/reparse_write.h"
#include "quen/fs/resolve.h"
#include "quen/fs/set_attr.h"
#include "quen/inode/inode_tree.h"
#include "rpc/log.h"

#include <cstring>

namespace {

constexpr size_t kTargetMax = 1024;   // what READLINK reads back of a link file

bool is_directory(const char* path) {
    const uint32_t a = wp_get_file_attributes(path);
    return a != WP_INVALID_FILE_ATTRIBUTES && (a & WP_FILE_ATTRIBUTE_DIRECTORY);
}

// A link to something missing is a directory when its last component's
// extension, from its first dot on, is ".d".
bool named_as_directory(const char* target) {
    const char* last = std::strrchr(target, '\\');
    last = last ? last + 1 : target;
    const char* dot = std::strchr(last, '.');
    return dot && (dot[1] == 'd' || dot[1] == 'D') && dot[2] == 0;
}

bool link_is_directory(int kind, const char* destination) {
    if (kind == REPARSE_JUNCTION) return true;
    if (kind != REPARSE_NFS_LINK && wp_get_file_attributes(destination) != WP_INVALID_FILE_ATTRIBUTES)
        return is_directory(destination);
    return named_as_directory(destination);
}

// The reparse form: the kind the settings choose, made only when a link
// Windows follows stays inside the export. Result: NFS status; *made false
// when the marker form is to be used instead.
uint32_t make_reparse_link(const dir_change& d, const char* path, const char* target, size_t length, bool* made) {
    *made = false;
    char windows[kLinkTargetSize], destination[kLinkTargetSize];
    if (uint32_t status = link_target_to_windows(d.ctx, target, length, windows)) return status;
    const bool inside = link_destination(path, windows, destination) && path_inside_mount(d.ctx, destination, false);
    int kind = is_absolute_windows_target(windows) ? REPARSE_ABSOLUTE_LINK : REPARSE_RELATIVE_LINK;
    if (g_settings.record.soft_links & 4) kind = REPARSE_NFS_LINK;
    else if (wp_windows_major_version() < 6) kind = REPARSE_JUNCTION;
    // Windows follows the other kinds on its own: they must not lead out.
    if (kind != REPARSE_NFS_LINK && !inside) return NFS_OK;
    const char* text = kind == REPARSE_JUNCTION ? destination : windows;
    const bool directory = link_is_directory(kind, inside ? destination : windows);
    bool created;
    if (directory) {
        created = wp_create_directory(path);
    } else {
        file_handle h(wp_create_file(path, WP_GENERIC_WRITE, WP_FILE_SHARE_ALL, WP_CREATE_NEW, WP_FILE_ATTRIBUTE_NORMAL));
        created = h.valid();
    }
    if (!created) return change_failed("quen symlink error %u %s\n", file_last_error(), path, false);
    if (!set_reparse_point(kind, path, text, std::strlen(text))) {
        const uint32_t error = file_last_error();
        directory ? wp_remove_directory(path) : wp_delete_file(path);
        return change_failed("quen symlink error %u %s\n", error, path, false);
    }
    *made = true;
    return NFS_OK;
}

// The link object just made, in whichever form: a folder link goes as a
// folder, anything else as a file.
void remove_made_link(const char* path) {
    const uint32_t a = wp_get_file_attributes(path);
    if (a == WP_INVALID_FILE_ATTRIBUTES) return;
    if (a & WP_FILE_ATTRIBUTE_DIRECTORY) {
        wp_remove_directory(path);
    } else {
        wp_set_file_attributes(path, WP_FILE_ATTRIBUTE_NORMAL);
        wp_delete_file(path);
    }
}

uint32_t make_link_file(const char* path, const char* target, size_t length) {
    file_handle h(wp_create_file(path, WP_GENERIC_WRITE, WP_FILE_SHARE_ALL, WP_CREATE_NEW, WP_FILE_ATTRIBUTE_NORMAL));
    uint32_t done = 0;
    if (h.valid() && wp_write_file(h.get(), target, uint32_t(length), &done) && done == length) return NFS_OK;
    const uint32_t error = h.valid() ? (file_last_error() ? file_last_error() : uint32_t(WIN_ERROR_DISK_FULL)) : file_last_error();
    log_printf(2, "quen symlink error %u %s to %.*s\n", error, path, int(length), target);
    if (h.valid()) {
        h.reset();
        wp_delete_file(path);
    }
    return win32_to_nfs_status(error);
}

uint32_t read_link_file(const mount_context& ctx, const char* path, char* buffer, size_t size) {
    file_handle h(wp_create_file(path, WP_GENERIC_READ, WP_FILE_SHARE_ALL, WP_OPEN_EXISTING, WP_FILE_FLAG_OPEN_REPARSE_POINT));
    if (!h.valid()) {
        log_printf(2, "quen readlink error %u %s\n", file_last_error(), path);
        return NFSERR_NOENT;
    }
    uint32_t done = 0;
    if (!wp_read_file(h.get(), buffer, uint32_t(size - 1), &done) || done == 0 || buffer[0] == 0) {
        log_printf(2, "quen readlink read error %u %s\n", file_last_error(), path);
        return NFSERR_IO;
    }
    buffer[done] = 0;
    if (!is_symlink_text(reinterpret_cast<const uint8_t*>(buffer), done)) return NFSERR_NOENT;
    if (ctx.name_encoding == NAME_ENCODING_CODE_PAGE) utf8_to_codepage(g_name_tables.code_page, buffer, size);
    return NFS_OK;
}

}  // namespace

static uint32_t symlink_unguarded(const fs_request& dir, const char* name, size_t name_length,
                                  const xdr_sattr& request, const char* target, size_t target_length, bool with_dir_attributes, create_result& out) {
    out = {};
    dir_change d;
    if (uint32_t status = dir_change_begin(dir, with_dir_attributes, d)) return new_entry_reply(status, d, false, out);
    named_entry e;
    uint32_t status = find_named_entry(d, name, name_length, e);
    if (status == NFS_OK && e.exists()) status = NFSERR_EXIST;
    if (status != NFS_OK) return new_entry_reply(status, d, false, out);
    // Link text is read back as a link only when every byte is printable:
    // anything else could make the file a device record.
    if (target_length > kTargetMax) return new_entry_reply(NFSERR_NAMETOOLONG, d, false, out);
    if (!is_symlink_text(reinterpret_cast<const uint8_t*>(target), target_length))
        return new_entry_reply(NFSERR_INVAL, d, false, out);
    xdr_sattr r{};
    if ((status = new_entry_sattr(d, request, MODE_OF_LINK, r)) != NFS_OK) return new_entry_reply(status, d, false, out);

    {
        bucket_guard guard(d.identity);
        bool made = false;
        const bool reparse = (d.ctx.flags & MOUNT_FLAG_REPARSE) &&
                             (g_settings.record.soft_links >= 2 || (d.ctx.flags & MOUNT_FLAG_RP));
        if (reparse && (status = make_reparse_link(d, e.path, target, target_length, &made)) != NFS_OK)
            return new_entry_reply(status, d, with_dir_attributes, out);
        // A link that would lead out of the export is kept as a marker
        // file even where those are not otherwise made.
        if (!made && !reparse && !(g_settings.record.soft_links & 1))
            return new_entry_reply(NFSERR_ACCES, d, false, out);
        if (!made && (status = make_link_file(e.path, target, target_length)) != NFS_OK)
            return new_entry_reply(status, d, with_dir_attributes, out);
        // A SYMLINK that answers an error leaves no link behind.
        if ((status = apply_sattr(r, d.ctx.flags, e.path, NF_LNK)) != NFS_OK) remove_made_link(e.path);
    }
    if (status == NFS_OK) status = new_entry_finish(d, e.path, e.name_pos, false, out);
    return new_entry_reply(status, d, with_dir_attributes, out);
}

uint32_t fs_symlink(const fs_request& dir, const char* name, size_t name_length, const xdr_sattr& request,
                    const char* target, size_t target_length, bool with_dir_attributes,
                    create_result& out) {
    return guarded_status("symlink exception\n", uint32_t(NFSERR_STALE), [&] {
        return symlink_unguarded(dir, name, name_length, request, target, target_length, with_dir_attributes,
                                 out);
    });
}

static uint32_t readlink_unguarded(const fs_request& link, char* buffer, size_t size,
                                   file_attributes& attributes) {
    attributes = {};
    if (!buffer || size < 2) return NFSERR_INVAL;
    buffer[0] = 0;
    resolved_file f;
    if (uint32_t status = resolve_file(link, RESOLVE_PATH, f)) return status;
    uint32_t status = NFS_OK;
    const uint32_t windows = get_attributes(f.identity, f.ctx, f.path, f.opened.get(), f.cred, attributes, &status);
    f.opened.reset();
    if (status != NFS_OK) return status;
    bucket_guard guard(f.identity);
    if (windows & WP_FILE_ATTRIBUTE_REPARSE_POINT) {
        const reparse_info info = classify_reparse_point(f.path, buffer, size, true);
        if (info.kind == REPARSE_NONE || info.kind == REPARSE_NFS_CHR || info.kind == REPARSE_NFS_BLK) {
            buffer[0] = 0;
            return NFSERR_NOENT;
        }
        if (!link_target_to_client(f.ctx, buffer, size)) {
            buffer[0] = 0;
            return NFSERR_NAMETOOLONG;
        }
        return NFS_OK;
    }
    if (attributes.type != NF_LNK) return NFSERR_NOENT;
    status = read_link_file(f.ctx, f.path, buffer, size);
    if (status != NFS_OK) buffer[0] = 0;
    return status;
}

uint32_t fs_readlink(const fs_request& link, char* buffer, size_t size,
                     file_attributes& attributes) {
    return guarded_status("readlink exception\n", uint32_t(NFSERR_STALE),
                          [&] { return readlink_unguarded(link, buffer, size, attributes); });
}

static uint32_t link_unguarded(const fs_request& file, const fs_request& dir, const char* name,
                               size_t name_length, bool with_dir_attributes,
                               create_result& out) {
    out = {};
    dir_change d;
    uint32_t status = dir_change_begin(dir, with_dir_attributes, d);
    if (status == NFSERR_STALE || status == NFSERR_NOENT) return new_entry_reply(status, d, false, out);
    if (file.mount_id != dir.mount_id) status = NFSERR_IO;
    if (status != NFS_OK) return new_entry_reply(status, d, false, out);
    resolved_file f;
    if ((status = resolve_file(file, RESOLVE_PATH, f)) != NFS_OK) return new_entry_reply(status, d, false, out);
    file_attributes source{};
    const uint32_t windows = get_attributes(f.identity, f.ctx, f.path, f.opened.get(), d.cred, source, &status);
    f.opened.reset();
    if (status != NFS_OK) return new_entry_reply(status, d, false, out);
    if (source.type == NF_DIR) return new_entry_reply(NFSERR_ISDIR, d, false, out);
    named_entry e;
    if ((status = find_named_entry(d, name, name_length, e)) == NFS_OK && e.exists()) status = NFSERR_EXIST;
    if (status != NFS_OK) return new_entry_reply(status, d, false, out);

    const bool by_file_id = d.ctx.flags & MOUNT_FLAG_FILE_ID;
    const bool hard = (g_settings.record.hard_links & 1) && (d.ctx.flags & MOUNT_FLAG_HARD_LINKS);
    // A link is judged where it leads from its new name: a copy would hold
    // what the link leads to, and a relative link named elsewhere may lead out.
    if ((windows & WP_FILE_ATTRIBUTE_REPARSE_POINT) && (!hard || link_leads_out_when_moved(d.ctx, f.path, e.path)))
        return new_entry_reply(NFSERR_ACCES, d, false, out);
    uint64_t identity = 0;
    {
        bucket_guard guard(f.identity);
        cache_drop(f.key);
        if (!hard) {
            if (!(g_settings.record.hard_links & 2)) return new_entry_reply(NFSERR_ACCES, d, false, out);
            if (!wp_copy_file(f.path, e.path, true))
                return new_entry_reply(win32_to_nfs_status(file_last_error()), d, with_dir_attributes, out);
            const uint32_t kept = windows & attribute_lift::settable;
            wp_set_file_attributes(e.path, kept ? kept : uint32_t(WP_FILE_ATTRIBUTE_NORMAL));
            // A copy is a file of its own, with a number of its own.
            identity = new_entry_identity(d, e.path, e.name_pos, false);
        } else {
            if (!wp_create_hard_link(e.path, f.path)) {
                const uint32_t error = file_last_error();
                log_printf(2, "quen link error %u %s %s\n", error, f.path, e.path);
                return new_entry_reply(win32_to_nfs_status(error), d, with_dir_attributes, out);
            }
            identity = f.identity;
            if (!by_file_id) {
                const uint32_t added = inode_enter(uint32_t(d.identity), e.windows_name(), std::strlen(e.windows_name()));
                if (!added) return new_entry_reply(NFSERR_NOENT, d, with_dir_attributes, out);
                // The file's number becomes the base all its names answer with.
                const uint32_t base = link_identity(uint32_t(f.identity), f.path);
                if (base) inode_link_add(base, added), identity = base;
            }
        }
    }
    if (identity == 0) return new_entry_reply(NFSERR_NOENT, d, with_dir_attributes, out);
    out.handle = handle_make(uint32_t(identity), uint32_t(identity >> 32), d.mount_id);
    get_attributes(identity, d.ctx, e.path, WP_INVALID_HANDLE, d.cred, out.attributes, &status);
    return new_entry_reply(status, d, with_dir_attributes, out);
}

uint32_t fs_link(const fs_request& file, const fs_request& dir, const char* name, size_t name_length, bool with_dir_attributes, create_result& out) {
    return guarded_status("link exception\n", uint32_t(NFSERR_STALE), [&] {
        return link_unguarded(file, dir, name, name_length, with_dir_attributes, out);
    });
}
