#include "quen/fs/resolve.h"

#include "quen/config/settings.h"
#include "quen/config/char_class.h"
#include "quen/fs/attr.h"
#include "quen/fs/nfs_status.h"
#include "quen/inode/paths.h"
#include "quen/mount/volume_probe.h"
#include "quen/inode/inode_tree.h"
#include "quen/mount/exports.h"
#include "quen/mount/mount_table.h"

#include <cstring>

namespace {

// The path of an open file (kResolvePathSize bytes), in the form the mount's
// own paths use.
bool final_path_of(const mount_context& ctx, wp_handle file, char* path) {
    const uint32_t form = (ctx.flags & MOUNT_FLAG_VOLUME_GUID) ? WP_VOLUME_NAME_GUID : WP_VOLUME_NAME_DOS;
    const size_t n = wp_get_final_path_name_by_handle(file, path, kResolvePathSize, form);
    if (n <= 6 || n >= kResolvePathSize) return false;
    if (has_long_path_prefix(path)) {
        char& letter = path[4];
        if (g_settings.record.lowercase && path[5] == ':' && letter >= 'A' && letter <= 'Z') letter = char(letter + 32);
        if (!has_long_path_prefix(ctx.mounted_path)) std::memmove(path, path + 4, n - 4 + 1);
    }
    return true;
}

// The path a folder leads to once every link and junction on the way is followed.
bool followed_path_of(const mount_context& ctx, const char* folder, char* path) {
    file_handle h(wp_create_file(folder, 0, WP_FILE_SHARE_ALL, WP_OPEN_EXISTING, WP_FILE_FLAG_BACKUP_SEMANTICS));
    return h.valid() && final_path_of(ctx, h.get(), path);
}

// The path of a file opened by id, in the form the mount's own paths use.
bool path_by_file_id(const mount_context& ctx, uint64_t id, char* path, file_handle* opened) {
    file_handle root(wp_create_file(ctx.mounted_path, 0, WP_FILE_SHARE_ALL, WP_OPEN_EXISTING,
                                    WP_FILE_FLAG_BACKUP_SEMANTICS));
    if (!root.valid()) return false;
    file_handle file(wp_open_file_by_id(root.get(), id, 0, WP_FILE_SHARE_ALL,
                                        WP_FILE_FLAG_BACKUP_SEMANTICS | WP_FILE_FLAG_OPEN_REPARSE_POINT));
    if (!file.valid() || !final_path_of(ctx, file.get(), path)) return false;
    if (opened) *opened = std::move(file);
    return true;
}

}  // namespace

bool path_inside_mount(const mount_context& ctx, const char* path, bool check_volume) {
    const char* root = ctx.mounted_path;
    if (!root || !root[0]) return false;
    if (check_volume && !(ctx.flags & MOUNT_FLAG_FIXED_DRIVE)) {
        uint32_t serial = 0, max_component = 0;
        if (!volume_serial_of(path, &serial, &max_component) || serial != ctx.volume_serial) return false;
    }
    const size_t n = std::strlen(root);
    if (!ascii_equal_ignoring_case(path, root, n) || std::strlen(path) < n) return false;
    // "C:\data" must not admit "C:\database": the match ends at a separator.
    return root[n - 1] == '\\' || path[n] == 0 || path[n] == '\\';
}

namespace {

constexpr uint32_t kLinkedFolder = WP_FILE_ATTRIBUTE_DIRECTORY | WP_FILE_ATTRIBUTE_REPARSE_POINT;

bool is_linked_folder(const char* path) {
    const uint32_t attributes = wp_get_file_attributes(path);
    return attributes != WP_INVALID_FILE_ATTRIBUTES && (attributes & kLinkedFolder) == kLinkedFolder;
}

// Where the system gives no final path: the link's own target, followed
// while it is a linked folder again. Relative targets and targets with
// "..", which a textual check cannot place, count as outside.
bool target_inside_by_text(const mount_context& ctx, const char* path) {
    char current[kResolvePathSize];
    const size_t n = std::strlen(path);
    if (n >= sizeof current) return false;
    std::memcpy(current, path, n + 1);
    for (int hop = 0; hop < 8; ++hop) {
        if (!is_linked_folder(current)) return path_inside_mount(ctx, current, false);
        char target[kResolvePathSize];
        const int kind = classify_reparse_point(current, target, sizeof target, true).kind;
        if ((kind != REPARSE_JUNCTION && kind != REPARSE_ABSOLUTE_LINK) || std::strstr(target, "\\..")) return false;
        std::memcpy(current, target, std::strlen(target) + 1);
    }
    return false;
}

// A linked folder: where it leads, every link on the way followed, lies in the mount.
bool linked_folder_stays_inside(const mount_context& ctx, const char* path) {
    char target[kResolvePathSize], root[kResolvePathSize];
    if (!followed_path_of(ctx, path, target) || !followed_path_of(ctx, ctx.mounted_path, root))
        return file_last_error() == WIN_ERROR_CALL_NOT_IMPLEMENTED && target_inside_by_text(ctx, path);
    mount_context followed = ctx;
    followed.mounted_path = root;
    return path_inside_mount(followed, target, false);
}

}  // namespace

bool directory_stays_inside(const mount_context& ctx, const char* path) {
    return !is_linked_folder(path) || linked_folder_stays_inside(ctx, path);
}

uint32_t passage_below(const mount_context& ctx, const char* path) {
    if (!is_linked_folder(path)) return NFS_OK;
    char target[kResolvePathSize];
    const int kind = classify_reparse_point(path, target, sizeof target, false).kind;
    if (kind == REPARSE_RELATIVE_LINK) return NFSERR_NOTDIR;
    return linked_folder_stays_inside(ctx, path) ? NFS_OK : NFSERR_ACCES;
}

bool resolve_handle_path(const mount_context& ctx, uint64_t identity, char* path, file_handle* opened) {
    path[0] = 0;
    if (identity == 0 || !ctx.mounted_path) return false;
    bool by_id = false;
    if (ctx.flags & MOUNT_FLAG_FILE_ID) {
        if (!path_by_file_id(ctx, identity, path, opened)) return false;
        by_id = opened != nullptr;
    } else {
        if (identity > 0xFFFFFFFFu || inode_path(uint32_t(identity), path) == 0) return false;
    }
    if (!path_inside_mount(ctx, path, !by_id)) {
        if (opened) opened->reset();
        path[0] = 0;
        return false;
    }
    return true;
}

namespace {

// The file identity a handle of the mount names; 0: none live.
uint64_t identity_in_mount(const internal_handle& h, const mount_context& ctx) {
    if (ctx.flags & MOUNT_FLAG_FILE_ID) return (uint64_t(h.word[HANDLE_WORD_ID_HIGH]) << 32) | h.word[HANDLE_WORD_ID_LOW];
    const uint32_t inode = h.word[HANDLE_WORD_ID_LOW];
    return inode_is_live(inode) ? inode : 0;
}

void copy_mount(const fs_request& from, fs_request& to) {
    to.mount_id = from.mount_id;
    // Only the mounted path's own bytes: the buffer is mostly unused.
    const size_t n = from.ctx.mounted_path ? std::strlen(from.mounted) : 0;
    std::memcpy(to.mounted, from.mounted, n);
    to.mounted[n] = 0;
    to.ctx = from.ctx;
    if (from.ctx.mounted_path) to.ctx.mounted_path = to.mounted;
    to.cred = from.cred;
}

}  // namespace

uint64_t handle_resolve(const internal_handle& h, mount_context* ctx, char* path_buffer) {
    if (h.word[HANDLE_WORD_MARK] != kHandleMark) return 0;
    if (h.word[HANDLE_WORD_CHECK] != h.word[HANDLE_WORD_MOUNT] + h.word[HANDLE_WORD_ID_LOW]) return 0;
    // The mount lock and the table lock are taken one after the other, never together.
    if (!mount_lookup(h.word[HANDLE_WORD_MOUNT], ctx, path_buffer, kHandlePathSize)) return 0;
    return identity_in_mount(h, *ctx);
}

uint32_t fs_request_open(const internal_handle& fh, const fs_credential& caller, uint32_t sender, fs_request& out) {
    out.fh = fh;
    out.mount_id = fh.word[HANDLE_WORD_MOUNT];
    out.cred = caller;
    out.identity = handle_resolve(fh, &out.ctx, out.mounted);
    if (out.identity == 0) return NFSERR_STALE;
    if (out.ctx.entry && !export_client_allowed(*out.ctx.entry, sender)) return NFSERR_ACCES;
    out.key = file_key_of(out.ctx, out.identity);
    map_credential(out.ctx, out.cred);
    return NFS_OK;
}

uint32_t fs_request_below(const fs_request& dir, const internal_handle& entry, fs_request& out) {
    if (entry.word[HANDLE_WORD_MOUNT] != dir.mount_id) return NFSERR_STALE;
    out.fh = entry;
    copy_mount(dir, out);
    out.identity = identity_in_mount(entry, dir.ctx);
    out.key = file_key_of(out.ctx, out.identity);
    return out.identity ? NFS_OK : NFSERR_STALE;
}

uint32_t resolve_file(const fs_request& q, uint32_t depth, resolved_file& out) {
    out.fh = q.fh;
    copy_mount(q, out);
    out.identity = q.identity;
    out.key = q.key;
    out.path[0] = 0;
    out.opened.reset();
    return depth == RESOLVE_PATH ? resolve_file_path(out) : NFS_OK;
}

uint32_t resolve_file_path(resolved_file& r) {
    return resolve_handle_path(r.ctx, r.identity, r.path, &r.opened) ? NFS_OK : NFSERR_STALE;
}
