// FindFirstFileExW / FindNextFileW over a directory snapshot, in NTFS order
// ("." and ".." first, then by upper-cased name), matched by Windows' wildcard rules.
#include "platform/find_facts.h"
#include "platform/os_version.h"
#include "platform/posix/errno_map.h"
#include "platform/posix/volume.h"
#include "platform/win_error.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <mutex>
#include <unordered_set>
#include <utility>
#include <vector>

namespace {

struct find_state {
    std::string dir;  // native directory, no trailing slash except for "/"
    std::vector<std::string> names;
    size_t next = 0;
    // The entry handed out last, as its one lstat found it.
    bool have_last = false;
    wp_file_information last{};
    // The search holds its directory open, sharing everything, as Windows'
    // does: a removal of the directory waits for the search to close.
    posix_file* dir_open = nullptr;
};

void end_search(find_state* s) {
    if (s->dir_open) {
        unregister_open(s->dir_open);
        delete s->dir_open;
    }
    delete s;
}

// Registers the search's hold on its directory; a Win32 error when the
// directory refuses it (its deletion is pending).
uint32_t hold_directory(find_state* s, DIR* d) {
    struct stat st;
    if (::fstat(::dirfd(d), &st) != 0) return WIN_ERROR_SUCCESS;
    auto f = new posix_file;
    f->native = s->dir;
    f->dev = st.st_dev;
    f->ino = st.st_ino;
    f->share = WP_FILE_SHARE_READ | WP_FILE_SHARE_WRITE | WP_FILE_SHARE_DELETE;
    f->directory = true;
    if (uint32_t e = register_open(f)) {
        delete f;
        return e;
    }
    s->dir_open = f;
    return WIN_ERROR_SUCCESS;
}

std::mutex live_lock;
std::unordered_set<const void*>& live() {
    static auto* s = new std::unordered_set<const void*>;
    return *s;
}

find_state* lookup(wp_find_handle h) {
    std::lock_guard<std::mutex> g(live_lock);
    if (h == WP_INVALID_FIND_HANDLE || !live().count(h)) return nullptr;
    return static_cast<find_state*>(h);
}

std::string join(const std::string& dir, const std::string& name) {
    return dir == "/" ? "/" + name : dir + "/" + name;
}

// Fills the record of one entry; false when it vanished since the snapshot.
bool fill(find_state& s, const std::string& name, wp_find_data* d) {
    const std::string native = name == "." ? s.dir : name == ".." ? s.dir + "/.." : join(s.dir, name);
    struct stat st;
    if (::lstat(native.c_str(), &st) != 0) return false;
    wp_attribute_data a;
    fill_attribute_data(native, st, &a);
    std::memset(d, 0, sizeof *d);
    d->attributes = a.attributes;
    d->creation_time = a.creation_time;
    d->last_access_time = a.last_access_time;
    d->last_write_time = a.last_write_time;
    d->size = a.size;
    d->reparse_tag = (a.attributes & WP_FILE_ATTRIBUTE_REPARSE_POINT) ? object_reparse_tag(native, st) : 0;
    if (name.size() < sizeof d->name) std::memcpy(d->name, name.c_str(), name.size() + 1);
    // What wp_get_file_information_by_handle reads from the open file; a
    // file whose deletion is pending refuses the open, so it has none.
    s.last = {a.attributes, a.creation_time, a.last_access_time, a.last_write_time,
              volume_serial_of_device(st.st_dev), a.size, uint32_t(st.st_nlink), uint64_t(st.st_ino)};
    s.have_last = !delete_is_pending(st.st_dev, st.st_ino);
    return true;  // no 8.3 names are kept, so alternate_name stays empty
}

bool next_entry(find_state* s, wp_find_data* d) {
    s->have_last = false;
    while (s->next < s->names.size())
        if (fill(*s, s->names[s->next++], d)) return true;
    return false;
}

}  // namespace

wp_find_handle wp_find_first(const char* path, uint32_t info_level, wp_find_data* data, uint32_t search_op,
                             uint32_t flags) {
    // Before Windows 7 the basic level and large fetches are unknown.
    const bool modern = os_is_windows7_or_later(os_get_version());
    if (info_level > WP_FIND_EX_INFO_BASIC || search_op > WP_FIND_EX_SEARCH_LIMIT_TO_DIRECTORIES ||
        (!modern && (info_level == WP_FIND_EX_INFO_BASIC || (flags & WP_FIND_FIRST_EX_LARGE_FETCH)))) {
        set_file_error(WIN_ERROR_INVALID_PARAMETER);
        return WP_INVALID_FIND_HANDLE;
    }
    volume_path vp;
    if (uint32_t e = resolve_path(path, vp, RESOLVE_PATTERN)) {
        set_file_error(e);
        return WP_INVALID_FIND_HANDLE;
    }
    if (vp.is_root()) {  // a drive with no pattern names nothing to search for
        set_file_error(WIN_ERROR_FILE_NOT_FOUND);
        return WP_INVALID_FIND_HANDLE;
    }
    const std::string pattern = vp.components.back();
    auto s = new find_state;
    s->dir = vp.native_parent();
    const bool case_sensitive = flags & WP_FIND_FIRST_EX_CASE_SENSITIVE;
    DIR* d = ::opendir(s->dir.c_str());
    if (!d) {
        const int e = errno;
        delete s;
        set_file_error(errno_to_win32(e, WIN_ERROR_PATH_NOT_FOUND));
        return WP_INVALID_FIND_HANDLE;
    }
    if (uint32_t e = hold_directory(s, d)) {
        ::closedir(d);
        delete s;
        set_file_error(e);
        return WP_INVALID_FIND_HANDLE;
    }
    const bool drive_root = vp.components.size() == 1;  // drive roots list no "." and ".."
    // As on Windows the directory limit is a hint: entries the directory
    // says are no folders (nor links) are left out, the rest is checked by
    // the caller.
    const bool folders_only = search_op == WP_FIND_EX_SEARCH_LIMIT_TO_DIRECTORIES;
    std::vector<std::string> dots;
    std::vector<std::pair<std::u32string, std::string>> sorted;
    while (dirent* e = ::readdir(d)) {
        if (folders_only && e->d_type != DT_DIR && e->d_type != DT_LNK && e->d_type != DT_UNKNOWN) continue;
        std::string n = e->d_name;
        const bool dot = n == "." || n == "..";
        if (dot && drive_root) continue;
        if (!wildcard_match(pattern, n, case_sensitive)) continue;
        if (dot) dots.push_back(std::move(n));
        else sorted.emplace_back(upcased_name(n), std::move(n));
    }
    ::closedir(d);
    // NTFS order: by the upper-cased name, each name upper-cased once.
    std::sort(sorted.begin(), sorted.end());
    std::sort(dots.begin(), dots.end());
    s->names = std::move(dots);
    s->names.reserve(s->names.size() + sorted.size());
    for (auto& entry : sorted) s->names.push_back(std::move(entry.second));
    if (!next_entry(s, data)) {
        end_search(s);
        set_file_error(WIN_ERROR_FILE_NOT_FOUND);
        return WP_INVALID_FIND_HANDLE;
    }
    {
        std::lock_guard<std::mutex> g(live_lock);
        live().insert(s);
    }
    succeed();
    return s;
}

bool wp_find_next(wp_find_handle h, wp_find_data* data) {
    find_state* s = lookup(h);
    if (!s) return fail(WIN_ERROR_INVALID_HANDLE);
    if (!next_entry(s, data)) return fail(WIN_ERROR_NO_MORE_FILES);
    return succeed();
}

bool wp_find_facts(wp_find_handle h, wp_file_information* info) {
    const find_state* s = lookup(h);
    if (!s || !s->have_last) return false;
    *info = s->last;
    return true;
}

bool wp_find_close(wp_find_handle h) {
    find_state* s = lookup(h);
    if (!s) return fail(WIN_ERROR_INVALID_HANDLE);
    {
        std::lock_guard<std::mutex> g(live_lock);
        live().erase(s);
    }
    end_search(s);
    return succeed();
}
