// Listing a directory through the scan slots: handing out ".", ".." and the
// search's entries by cookie, and turning each found name into an entry.
#include "quen/fs/dir_scan.h"

#include "platform/find_facts.h"
#include "platform/utf16.h"
#include "platform/win_error.h"
#include "quen/fs/dir_scan_table.h"
#include "quen/fs/fault_status.h"
#include "quen/fs/open_cache.h"
#include "quen/fs/search_form.h"
#include "quen/fs/volume.h"
#include "quen/inode/inode_tree.h"
#include "quen/mount/mount_implicit.h"
#include "rpc/log.h"

#include <cstdio>
#include <cstring>
#include <cwctype>
#include <string>

namespace {

// Lowercases a UTF-8 name in place (size bytes) with the C library's wide
// lowercase, under the locale the server set at start. A name that does
// not convert, or would outgrow the buffer, stays as it is.
void lowercase_name(char* name, size_t size) {
    std::u16string wide;
    if (!utf8_to_utf16(name, wide)) return;
    for (char16_t& c : wide) {
        if (c >= 0xD800 && c <= 0xDFFF) continue;   // halves of a pair are no characters
        // wint_t is 16 bits on Windows, 32 elsewhere.
        const uint32_t lower = uint32_t(std::towlower(wint_t(c)));
        if (lower <= 0xFFFF && (lower < 0xD800 || lower > 0xDFFF)) c = char16_t(lower);
    }
    std::string back;
    if (!utf16_to_utf8(wide, back) || back.size() >= size) return;
    std::memcpy(name, back.c_str(), back.size() + 1);
}

bool file_info(const char* path, wp_file_information* info) {
    file_handle h(wp_create_file(path, 0, WP_FILE_SHARE_ALL, WP_OPEN_EXISTING,
                                 WP_FILE_FLAG_BACKUP_SEMANTICS | WP_FILE_FLAG_OPEN_REPARSE_POINT));
    return h.valid() && wp_get_file_information_by_handle(h.get(), info);
}

// A junction whose target lies on a volume other than the mount's.
bool junction_to_other_volume(const mount_context& ctx, const char* path, const wp_find_data& found) {
    const uint32_t both = WP_FILE_ATTRIBUTE_DIRECTORY | WP_FILE_ATTRIBUTE_REPARSE_POINT;
    if ((found.attributes & both) != both) return false;
    char target[kResolvePathSize];
    if (classify_reparse_point(path, target, sizeof target, false).kind != REPARSE_JUNCTION) return false;
    uint32_t serial = 0, max_component = 0;
    return volume_serial_of(target, &serial, &max_component) && serial != ctx.volume_serial;
}

// Names the listing never hands out: "." and ".." (made up by the scan),
// names whose UTF-8 form did not fit the search record, and, for clients
// of the ASCII encoding, names they could not read.
bool skipped(const mount_context& ctx, const char* name) {
    if (!name[0] || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return true;
    if (ctx.name_encoding != NAME_ENCODING_ASCII) return false;
    for (const char* p = name; *p; ++p)
        if (uint8_t(*p) >= 128) return true;
    return false;
}

void put(dir_entry* out, const char* name, uint64_t inode, uint32_t mount_id) {
    std::snprintf(out->name, sizeof out->name, "%s", name);
    out->inode = inode;
    out->mount_id = mount_id;
    out->has_info = false;
}

// Opens the slot's search on the directory; false (logged) on failure.
bool open_search(scan_slot& s, const char* dir_path, wp_find_data* found) {
    char pattern[kResolvePathSize];
    const size_t n = std::strlen(dir_path);
    const char* tail = n > 0 && dir_path[n - 1] == '\\' ? "*" : "\\*";
    if (n + std::strlen(tail) >= sizeof pattern) {
        log_printf(2, "quen dir error %u %s\n", unsigned(WIN_ERROR_FILENAME_EXCED_RANGE), dir_path);
        return false;
    }
    std::memcpy(pattern, dir_path, n);
    std::strcpy(pattern + n, tail);
    const search_form form = search_form_of_system();
    s.search = wp_find_first(pattern, form.level, found, WP_FIND_EX_SEARCH_NAME_MATCH, form.flags);
    if (s.search != WP_INVALID_FIND_HANDLE) return true;
    log_printf(2, "quen dir error %u %s\n", unsigned(file_last_error()), pattern);
    return false;
}

// The work of one request on its slot, under the directory's section. p:
// the cookie's position. *free_it: the slot is done with.
int scan_step(scan_slot& s, uint32_t client, const mount_context& ctx, uint32_t mount_id, const char* dir_path,
              uint64_t dir_inode, uint64_t parent_inode, uint32_t p, dir_entry* out, bool* free_it) {
    if (p <= 1) {
        // "." and ".." come before the search: whatever it had read is
        // behind the client now.
        scan_slot_restart(&s);
        if (p == 0) {
            put(out, ".", dir_inode, mount_id);
        } else {
            put(out, "..", parent_inode ? parent_inode : dir_inode, mount_id);
            s.position = 1;
        }
        return 1;
    }
    // A position no entry can follow (a cookie made up by the client).
    if (p >= scan_max_position()) {
        *free_it = true;
        return 0;
    }
    if (s.last_name[0] && p == s.position) {
        put(out, s.last_name, s.last_inode, s.last_mount_id);
        out->has_info = s.last_has_info;
        out->info = s.last_info;
        return 1;
    }
    if (p < s.position) scan_slot_restart(&s);
    // Skipping to p reads at most the whole directory: a search that ends
    // first ends the listing.
    while (s.position < p) {
        wp_find_data found;
        if (s.search == WP_INVALID_FIND_HANDLE) {
            if (!open_search(s, dir_path, &found)) {
                *free_it = true;
                return -1;
            }
            s.position = 1;
        } else if (!wp_find_next(s.search, &found)) {
            const uint32_t error = file_last_error();
            *free_it = true;
            if (error != WIN_ERROR_NO_MORE_FILES) {
                // A listing cut short says nothing about the names not read.
                log_printf(2, "quen dir error %u %s\n", unsigned(error), dir_path);
                return -1;
            }
            if (!(ctx.flags & MOUNT_FLAG_FILE_ID) && dir_inode <= 0xFFFFFFFFu)
                inode_purge_unseen(uint32_t(dir_inode));
            return 0;
        }
        // A skip counts exactly the entries a listing hands out: else a
        // resumed listing would lose or repeat one for every name refused.
        if (skipped(ctx, found.name)) continue;
        wp_file_information facts;
        const bool have_facts = wp_find_facts(s.search, &facts);
        if (!scan_entry(client, ctx, mount_id, dir_path, dir_inode, found, have_facts ? &facts : nullptr, out)) continue;
        if (s.position + 1 < p) {
            ++s.position;
            continue;
        }
        std::memcpy(s.last_name, out->name, sizeof s.last_name);
        s.last_inode = out->inode;
        s.last_mount_id = out->mount_id;
        s.last_has_info = out->has_info;
        s.last_info = out->info;
        ++s.position;
        return 1;
    }
    // Not reached: position p - 1 always hands out an entry or ends.
    *free_it = true;
    return -1;
}

}  // namespace

bool scan_entry(uint32_t client, const mount_context& ctx, uint32_t mount_id, const char* dir_path,
                uint64_t dir_inode, const wp_find_data& found, const wp_file_information* facts, dir_entry* out) {
    char path[kResolvePathSize];
    const size_t dir_len = std::strlen(dir_path);
    const size_t name_len = strnlen(found.name, sizeof found.name);
    const size_t sep = dir_len > 0 && dir_path[dir_len - 1] != '\\' ? 1 : 0;
    if (name_len == 0 || name_len == sizeof found.name || dir_len + sep + name_len >= sizeof path) return false;
    std::memcpy(path, dir_path, dir_len);
    if (sep) path[dir_len] = '\\';
    std::memcpy(path + dir_len + sep, found.name, name_len + 1);

    out->mount_id = mount_id;
    out->has_info = false;
    wp_file_information& info = out->info;
    if (ctx.flags & MOUNT_FLAG_FILE_ID) {
        if (junction_to_other_volume(ctx, path, found)) {
            if (!mount_auto(client, path, ctx, &out->inode, &out->mount_id)) return false;
        } else {
            if (facts) info = *facts;
            out->has_info = facts || file_info(path, &info);
            out->inode = out->has_info ? info.file_index : 0;
        }
    } else {
        if (dir_inode == 0 || dir_inode > 0xFFFFFFFFu) return false;
        const uint32_t inode = inode_enter(uint32_t(dir_inode), found.name, name_len);
        if (inode == 0) return false;
        inode_mark_seen(inode);
        out->inode = inode;
        if (facts) {
            info = *facts;
            out->has_info = true;
        }
        // All names of a file with several links report one number; only a
        // volume with hard links can have such files, and where the search
        // did not read the link count, the file is opened for it.
        const bool maybe_linked =
            !(found.attributes & WP_FILE_ATTRIBUTE_DIRECTORY) && (ctx.flags & MOUNT_FLAG_HARD_LINKS);
        if (maybe_linked && !out->has_info) out->has_info = file_info(path, &info);
        if (maybe_linked && out->has_info && info.number_of_links >= 2) {
            const uint32_t base = inode_link_base(inode, uint32_t(info.file_index), uint32_t(info.file_index >> 32),
                                                  info.volume_serial);
            if (base) out->inode = base;
        }
    }

    char windows[kNameSize];
    std::memcpy(windows, found.name, name_len + 1);
    if (ctx.flags & (MOUNT_FLAG_LOWERCASE | MOUNT_FLAG_CASE_BLIND)) lowercase_name(windows, sizeof windows);
    return windows_name_to_nfs(ctx, windows, out->name, sizeof out->name) > 0;
}

static int scan_next_unguarded(uint32_t client, const mount_context& ctx, uint32_t mount_id, const char* dir_path,
                               uint64_t dir_inode, uint64_t parent_inode, uint32_t cookie, dir_entry* out) {
    uint32_t index = 0, position = 0;
    scan_slot* s = scan_slot_take(client, mount_id, dir_inode, cookie, &index, &position);
    if (!s) return -1;
    // Two requests for one directory never drive its search at once.
    bucket_guard section(dir_inode);
    bool free_it = false;
    const int r = scan_step(*s, client, ctx, mount_id, dir_path, dir_inode, parent_inode, position, out, &free_it);
    scan_slot_release(s, free_it);
    if (r == 1) out->cookie = scan_cookie(index, position + 1);
    return r;
}

int dir_scan_next(uint32_t client, const mount_context& ctx, uint32_t mount_id, const char* dir_path,
                  uint64_t dir_inode, uint64_t parent_inode, uint32_t cookie, dir_entry* out) {
    return guarded_status(nullptr, -1, [&] {
        return scan_next_unguarded(client, ctx, mount_id, dir_path, dir_inode, parent_inode, cookie, out);
    });
}
