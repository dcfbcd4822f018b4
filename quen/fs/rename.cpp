#include "quen/fs/rename.h"

#include "platform/fault_guard.h"
#include "platform/thread.h"
#include "platform/win_error.h"
#include "quen/config/char_class.h"
#include "quen/fs/attribute_lift.h"
#include "quen/fs/dir_count.h"
#include "quen/fs/fault_status.h"
#include "quen/fs/link_target.h"
#include "quen/fs/nfs_status.h"
#include "quen/fs/open_cache.h"
#include "quen/inode/inode_tree.h"
#include "rpc/log.h"

#include <cstring>

namespace {

// The sections of the source's and the target's buckets. Every rename
// takes them lowest index first, so two renames in opposite directions
// cannot each hold one and wait for the other.
struct bucket_pair_guard {
    int low, high;
    bucket_pair_guard(uint64_t a, uint64_t b) {
        const int x = bucket_of(a), y = bucket_of(b);
        low = x < y ? x : y;
        high = x < y ? y : x;
        fault_section_enter(file_lock(low));
        if (high != low) fault_section_enter(file_lock(high));
    }
    bucket_pair_guard(const bucket_pair_guard&) = delete;
    bucket_pair_guard& operator=(const bucket_pair_guard&) = delete;
    ~bucket_pair_guard() {
        if (high != low) fault_section_leave(file_lock(high));
        fault_section_leave(file_lock(low));
    }
};

bool by_file_id(const dir_change& d) { return d.ctx.flags & MOUNT_FLAG_FILE_ID; }

// The number the entry's file answers with (its link base), 0 when none.
uint64_t identity_of(const dir_change& d, const entry_facts& f, uint32_t record) {
    if (by_file_id(d)) return f.ok ? f.file_index : 0;
    return record ? inode_base_of(record) : 0;
}

bool dot_name(const char* name, size_t length) {
    return (length == 1 && name[0] == '.') || (length == 2 && name[0] == '.' && name[1] == '.');
}

bool ascii_equal_ignoring_case(const char* a, const char* b) {
    for (; *a && *b; ++a, ++b) {
        char x = *a, y = *b;
        if (x >= 'A' && x <= 'Z') x = char(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = char(y - 'A' + 'a');
        if (x != y) return false;
    }
    return *a == *b;
}

// Whether path lies below the directory dir (not dir itself).
bool below(const char* path, const char* dir) {
    const size_t n = std::strlen(dir);
    return std::strlen(path) > n && path[n] == '\\' && ::ascii_equal_ignoring_case(path, dir, n);
}

// Step 1 of the prologue for the source: the status is that of the last
// failing check, so a handle of another mount does not hide a read-only
// export or a directory the caller may not write.
uint32_t collected_status(uint32_t source_status, bool other_mount) {
    if (source_status != NFS_OK) return source_status;
    return other_mount ? uint32_t(NFSERR_IO) : uint32_t(NFS_OK);
}

// An emptied target directory whose replacement failed comes back with
// its attributes and creation time (which may hold its saved mode).
void put_directory_back(const char* path, const wp_attribute_data& was) {
    if (!wp_create_directory(path)) return;
    file_handle h(wp_create_file(path, WP_FILE_WRITE_ATTRIBUTES, WP_FILE_SHARE_ALL, WP_OPEN_EXISTING,
                                 WP_FILE_FLAG_BACKUP_SEMANTICS));
    if (h.valid()) wp_set_file_time(h.get(), &was.creation_time, nullptr, &was.last_write_time);
}

// Windows cannot replace a file that any handle holds open, and other
// requests open files for a moment (a listing reads each entry's link
// count): a replace refused as access denied is tried again a few times,
// waiting up to 31 ms in all, before the refusal counts.
bool replace_file(const char* from, const char* to) {
    for (uint32_t wait_ms = 1;; wait_ms *= 2) {
        if (wp_move_file_ex(from, to, WP_MOVEFILE_REPLACE_EXISTING | WP_MOVEFILE_COPY_ALLOWED)) return true;
        if (file_last_error() != WIN_ERROR_ACCESS_DENIED || wait_ms > 16) return false;
        sleep_ms(wait_ms);
    }
}

struct rename_step {
    dir_change from, to;
    named_entry source, target;
    entry_facts source_facts, target_facts;
    bool same_dir;
};

// Moves the source onto the target path; an existing target is replaced
// in one step (a file) or removed first and put back on failure (an empty
// directory).
uint32_t move_entry(const rename_step& s) {
    const char* from = s.source.path;
    const char* to = s.target.path;
    if (s.source.windows & WP_FILE_ATTRIBUTE_DIRECTORY) dir_count_forget(from);
    if (!s.target.exists()) {
        if (wp_move_file(from, to)) return NFS_OK;
        return change_failed("quen rename error %u %s\n", file_last_error(), from, false);
    }
    if (s.target.windows & WP_FILE_ATTRIBUTE_DIRECTORY) {
        wp_attribute_data was{};
        wp_get_file_attributes_ex(to, &was);
        dir_count_forget(to);
        if (!wp_remove_directory(to))
            return change_failed("quen rename rmdir error %u %s\n", file_last_error(), to, false);
        if (wp_move_file(from, to)) return NFS_OK;
        const uint32_t error = file_last_error();
        put_directory_back(to, was);
        return change_failed("quen rename error %u %s\n", error, from, false);
    }
    if (replace_file(from, to)) return NFS_OK;
    return change_failed("quen rename error %u %s\n", file_last_error(), from, false);
}

// The target directory is the source: the same record but for the handle
// opened by id, which the checks have closed, and with its own mounted path.
void same_directory(const dir_change& from, dir_change& to) {
    to.mount_id = from.mount_id;
    std::memcpy(to.mounted, from.mounted, sizeof to.mounted);
    to.ctx = from.ctx;
    if (from.ctx.mounted_path == from.mounted) to.ctx.mounted_path = to.mounted;
    to.identity = from.identity;
    to.key = from.key;
    to.cred = from.cred;
    std::memcpy(to.path, from.path, sizeof to.path);
    to.dir_attributes = from.dir_attributes;
}

// The prologue of both directories. Result: the status to return at once;
// *target_status: that of the target directory's write check, which comes
// after the source's checks.
uint32_t begin(const fs_request& from_dir, const fs_request& to_dir,
               bool with, rename_step& s, rename_result& out, uint32_t* target_status) {
    const uint32_t source_status = dir_change_begin(from_dir, with, s.from);
    if (with) out.from_dir.before = out.from_dir.after = s.from.dir_attributes;
    if (source_status == NFSERR_STALE) return NFSERR_STALE;
    const uint32_t collected =
        collected_status(source_status, from_dir.mount_id != to_dir.mount_id);
    *target_status = NFS_OK;
    s.same_dir = std::memcmp(&from_dir.fh, &to_dir.fh, sizeof from_dir.fh) == 0;
    if (s.same_dir) {
        same_directory(s.from, s.to);
    } else {
        *target_status = dir_change_begin(to_dir, with, s.to);
        if (with) out.to_dir.before = out.to_dir.after = s.to.dir_attributes;
        if (*target_status == NFSERR_STALE || *target_status == NFSERR_NOENT) return NFSERR_NOENT;
        s.same_dir = s.to.identity == s.from.identity;
    }
    return collected;
}

}  // namespace

static uint32_t rename_unguarded(const fs_request& from_dir, const char* from_name, size_t from_length,
                                 const fs_request& to_dir, const char* to_name, size_t to_length, bool with_dir_attributes, rename_result& out) {
    out = {};
    rename_step s;
    uint32_t target_status = NFS_OK;
    uint32_t status = begin(from_dir, to_dir, with_dir_attributes, s, out, &target_status);
    if (status != NFS_OK) return status;

    // "." and ".." are names of other directories' entries: renaming them,
    // or onto them, would unhook a directory from its parent.
    if (dot_name(from_name, from_length) || dot_name(to_name, to_length)) return NFSERR_INVAL;
    if ((status = find_named_entry(s.from, from_name, from_length, s.source)) != NFS_OK) return status;
    if (!s.source.exists()) {
        log_printf(2, "quen rename error %u %s to %s\n", uint32_t(WIN_ERROR_FILE_NOT_FOUND), s.source.path, s.to.path);
        return NFSERR_NOENT;
    }
    out.type = s.source.attrs.type;
    if ((status = may_take_away(s.from, s.source.attrs)) != NFS_OK) return status;
    if (target_status != NFS_OK) return target_status;
    if ((status = find_named_entry(s.to, to_name, to_length, s.target)) != NFS_OK) return status;
    // A directory cannot become an entry of its own subtree.
    if (s.source.attrs.type == NF_DIR && below(s.target.path, s.source.path)) return NFSERR_INVAL;
    // A link is judged where it leads from its new place: a relative one
    // moved to another folder may lead out of the export.
    if (s.source.reparse() && !s.same_dir && link_leads_out_when_moved(s.to.ctx, s.source.path, s.target.path))
        return NFSERR_ACCES;

    s.source_facts = facts_of(s.source.path);
    s.target_facts = s.target.exists() ? facts_of(s.target.path) : entry_facts{false, 0, 0};
    const bool same_file = s.target.exists() && s.source_facts.ok && s.target_facts.ok &&
                           s.source_facts.file_index == s.target_facts.file_index;
    // A name found again under another case in a case-blind directory is
    // the source itself: the rename changes only the case.
    const bool case_change = same_file && s.same_dir && !(s.from.ctx.flags & MOUNT_FLAG_CASE_SENSITIVE) &&
                             (s.source_facts.links < 2 ||
                              ascii_equal_ignoring_case(s.source.windows_name(), s.target.windows_name()));
    if (same_file && !case_change) {
        read_dir_after(s.from, with_dir_attributes, out.from_dir);
        read_dir_after(s.to, with_dir_attributes, out.to_dir);
        return NFS_OK;   // two names of one file: nothing to do
    }
    if (s.target.exists() && !case_change) {
        const bool source_dir = s.source.attrs.type == NF_DIR, target_dir = s.target.attrs.type == NF_DIR;
        if (!source_dir && target_dir) return NFSERR_ISDIR;
        if (source_dir && !target_dir) return NFSERR_NOTDIR;
        if (!is_owner(s.target.attrs.uid, s.to.cred)) return NFSERR_PERM;
    }

    const bool file_id = by_file_id(s.from);
    uint32_t source_record = 0;
    if (!file_id && s.from.identity <= 0xFFFFFFFFu)
        source_record = inode_enter(uint32_t(s.from.identity), s.source.windows_name(),
                                    std::strlen(s.source.windows_name()));
    const uint32_t target_record = s.target.exists() && !case_change ? inode_of_name(s.to, s.target.windows_name()) : 0;
    const uint64_t source_identity = identity_of(s.from, s.source_facts, source_record);
    const uint64_t target_identity = s.target.exists() && !case_change
                                         ? identity_of(s.to, s.target_facts, target_record)
                                         : 0;
    bucket_pair_guard guard(source_identity ? source_identity : s.from.identity,
                            target_identity ? target_identity : source_identity ? source_identity
                                                                                : s.from.identity);
    if (source_identity) cache_drop(file_key_of(s.from.ctx, source_identity));
    if (target_identity) cache_drop(file_key_of(s.to.ctx, target_identity));

    attribute_lift source_lift, target_lift;
    if (s.source.windows & kBlockingAttributes) source_lift.lift(s.source.path, s.source.windows);
    if (s.target.exists() && !case_change && (s.target.windows & kBlockingAttributes))
        target_lift.lift(s.target.path, s.target.windows);

    busy_mark source_busy, target_busy;
    source_busy.mark(source_record);
    target_busy.mark(target_record);
    if (case_change) s.target.windows = WP_INVALID_FILE_ATTRIBUTES;
    if ((status = move_entry(s)) != NFS_OK) return status;
    if (target_identity && target_identity != source_identity && s.target_facts.links <= 1)
        cache_close(file_key_of(s.to.ctx, target_identity));

    // The attributes go with the file to its new name; the replaced
    // target's are gone with it.
    source_lift.path = s.target.path;
    source_lift.restore();
    target_lift.keep();
    if (!file_id) {
        target_busy.deleted();
        const char* old_name = s.source.windows_name();
        const char* new_name = s.target.windows_name();
        if (source_record && s.to.identity <= 0xFFFFFFFFu &&
            inode_rename(source_record, uint32_t(s.from.identity), uint32_t(s.to.identity), old_name,
                         std::strlen(old_name), new_name, std::strlen(new_name)))
            source_busy.taken();
        else
            source_busy.deleted();   // a record under the old name would lead nowhere
    }
    read_dir_after(s.from, with_dir_attributes, out.from_dir);
    read_dir_after(s.to, with_dir_attributes, out.to_dir);
    return NFS_OK;
}

uint32_t fs_rename(const fs_request& from_dir, const char* from_name, size_t from_length,
                   const fs_request& to_dir, const char* to_name, size_t to_length,
                   bool with_dir_attributes, rename_result& out) {
    return guarded_status("rename exception\n", uint32_t(NFSERR_STALE), [&] {
        return rename_unguarded(from_dir, from_name, from_length, to_dir, to_name, to_length,
                                with_dir_attributes, out);
    });
}
