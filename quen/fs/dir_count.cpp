#include "quen/fs/dir_count.h"

#include <cstring>
#include <string>

#include "platform/file.h"
#include "platform/thread.h"
#include "quen/config/char_class.h"
#include "quen/fs/folder_facts.h"

namespace {

// Few: each slot holds a notification (a handle on Windows, an inotify
// instance on the POSIX stand-in); a miss only costs one listing.
constexpr int kSlots = 32;

struct count_slot {
    wp_handle watch = WP_INVALID_HANDLE;
    uint32_t volume_serial = 0;
    uint64_t file_index = 0;
    bool trailing_backslash = false;  // a root's form: its count adds "." and ".."
    uint32_t count = 0;
    uint32_t last_use = 0;
    std::string path;
};

struct count_table {
    crit_section lock;
    count_slot slots[kSlots];
    count_table() { crit_init(&lock); }
};

count_table& table() {
    static count_table t;
    return t;
}

void end(count_slot& s) {
    if (s.watch != WP_INVALID_HANDLE) wp_find_close_change_notification(s.watch);
    s = count_slot{};
}

bool same_path(const std::string& a, const char* b) {
    const size_t n = std::strlen(b);
    return a.size() == n && ascii_equal_ignoring_case(a.c_str(), b, n);
}

// The slot of the directory, or -1. A slot whose notification fired is ended.
int find_kept(count_table& t, uint32_t serial, uint64_t index, bool trailing) {
    for (int i = 0; i < kSlots; ++i) {
        count_slot& s = t.slots[i];
        if (s.watch == WP_INVALID_HANDLE || s.volume_serial != serial || s.file_index != index ||
            s.trailing_backslash != trailing)
            continue;
        if (!wp_change_notification_signalled(s.watch)) return i;
        end(s);
        return -1;
    }
    return -1;
}

int slot_to_take(count_table& t) {
    int oldest = 0;
    for (int i = 0; i < kSlots; ++i) {
        if (t.slots[i].watch == WP_INVALID_HANDLE) return i;
        if (int32_t(t.slots[i].last_use - t.slots[oldest].last_use) < 0) oldest = i;
    }
    return oldest;
}

}  // namespace

uint32_t subdirectory_count(const char* path, uint32_t volume_serial, uint64_t file_index) {
    count_table& t = table();
    const size_t length = std::strlen(path);
    const bool trailing = length && path[length - 1] == '\\';
    {
        crit_guard g(&t.lock);
        const int i = find_kept(t, volume_serial, file_index, trailing);
        if (i >= 0) {
            t.slots[i].last_use = tick_count_ms();
            return t.slots[i].count;
        }
    }
    // The watch goes first: a change during the listing then ends the count it
    // may have missed. The path's identity is read again, so a directory
    // replaced under the name since the caller looked is not kept.
    wp_handle watch = wp_find_first_change_notification(path, false, WP_FILE_NOTIFY_CHANGE_DIR_NAME);
    uint64_t index_now = 0;
    const bool same = watch != WP_INVALID_HANDLE && file_index_of(path, index_now) && index_now == file_index;
    const uint32_t count = count_subdirectories(path);
    if (!same) {
        if (watch != WP_INVALID_HANDLE) wp_find_close_change_notification(watch);
        return count;
    }
    crit_guard g(&t.lock);
    if (find_kept(t, volume_serial, file_index, trailing) >= 0) {
        wp_find_close_change_notification(watch);  // another request kept it meanwhile
        return count;
    }
    count_slot& s = t.slots[slot_to_take(t)];
    end(s);
    s.watch = watch;
    s.volume_serial = volume_serial;
    s.file_index = file_index;
    s.trailing_backslash = trailing;
    s.count = count;
    s.last_use = tick_count_ms();
    s.path = path;
    return count;
}

void dir_count_sweep(uint32_t now_ms, uint32_t idle_ms) {
    count_table& t = table();
    crit_guard g(&t.lock);
    for (count_slot& s : t.slots)
        if (s.watch != WP_INVALID_HANDLE &&
            (now_ms - s.last_use >= idle_ms || wp_change_notification_signalled(s.watch)))
            end(s);
}

void dir_count_forget(const char* path) {
    count_table& t = table();
    crit_guard g(&t.lock);
    for (count_slot& s : t.slots)
        if (s.watch != WP_INVALID_HANDLE && same_path(s.path, path)) end(s);
}

void dir_count_close_all() {
    count_table& t = table();
    crit_guard g(&t.lock);
    for (count_slot& s : t.slots) end(s);
}
