// FindFirstChangeNotificationW over inotify, for one directory (no subtrees).
// The handle is signalled by a change of the filter's kinds, as the volume
// shows them: with FILE_NOTIFY_CHANGE_DIR_NAME the entries that list as
// directories, that is the subdirectories and the Linux links other than file
// symbolic links (a link's kind cannot be read once it is gone, so every link
// is taken as one); with FILE_NOTIFY_CHANGE_FILE_NAME the other entries. A lost
// event (queue overflow) or the end of the watch signals too.
#include "platform/file.h"
#include "platform/posix/errno_map.h"
#include "platform/posix/inotify_events.h"
#include "platform/posix/volume.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <mutex>
#include <set>
#include <string>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr uint32_t kEntryEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;
constexpr uint32_t kEndEvents = IN_DELETE_SELF | IN_IGNORED | IN_Q_OVERFLOW | IN_UNMOUNT;

struct change_watch {
    std::mutex lock;
    int fd = -1;
    uint32_t filter = 0;
    std::string dir;
    std::set<std::string> links;  // names of the links present, which list as directories
    bool signalled = false;
};

bool is_link(const std::string& dir, const char* name) {
    struct stat st;
    return ::lstat((dir + "/" + name).c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// The links present now; the watch is already in place, so one made meanwhile is also an event.
void note_links(change_watch& w) {
    w.links.clear();
    if (!(w.filter & WP_FILE_NOTIFY_CHANGE_DIR_NAME)) return;
    DIR* d = ::opendir(w.dir.c_str());
    if (!d) return;
    while (dirent* e = ::readdir(d))
        if (e->d_type == DT_LNK || (e->d_type == DT_UNKNOWN && is_link(w.dir, e->d_name))) w.links.insert(e->d_name);
    ::closedir(d);
}

bool event_signals(change_watch& w, const inotify_event& e) {
    if (e.mask & kEndEvents) return true;
    if (!(e.mask & kEntryEvents)) return false;
    const bool arriving = e.mask & (IN_CREATE | IN_MOVED_TO);
    bool listed_as_directory = e.mask & IN_ISDIR;
    if (!listed_as_directory && e.len)
        listed_as_directory = arriving ? is_link(w.dir, e.name) : w.links.count(e.name) != 0;
    return (w.filter & (listed_as_directory ? WP_FILE_NOTIFY_CHANGE_DIR_NAME : WP_FILE_NOTIFY_CHANGE_FILE_NAME)) != 0;
}

void drain(change_watch& w) {
    read_inotify_events(w.fd, [&](const inotify_event& e) {
        if (event_signals(w, e)) w.signalled = true;
    });
}

}  // namespace

wp_handle wp_find_first_change_notification(const char* path, bool watch_subtree, uint32_t filter) {
    if (watch_subtree) {
        file_set_last_error(WIN_ERROR_NOT_SUPPORTED);
        return WP_INVALID_HANDLE;
    }
    volume_path vp;
    const uint32_t resolved = resolve_path(path, vp);
    if (resolved != WIN_ERROR_SUCCESS || !vp.exists) {
        file_set_last_error(resolved != WIN_ERROR_SUCCESS ? resolved : uint32_t(WIN_ERROR_PATH_NOT_FOUND));
        return WP_INVALID_HANDLE;
    }
    const int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) {
        file_set_last_error(errno_to_win32(errno));
        return WP_INVALID_HANDLE;
    }
    if (::inotify_add_watch(fd, vp.native.c_str(), kEntryEvents | IN_DELETE_SELF | IN_ONLYDIR) < 0) {
        file_set_last_error(errno == ENOTDIR ? uint32_t(WIN_ERROR_DIRECTORY) : errno_to_win32(errno));
        ::close(fd);
        return WP_INVALID_HANDLE;
    }
    auto* w = new change_watch;
    w->fd = fd;
    w->filter = filter;
    w->dir = vp.native;
    note_links(*w);
    return w;
}

bool wp_find_next_change_notification(wp_handle h) {
    auto* w = static_cast<change_watch*>(h);
    std::lock_guard<std::mutex> g(w->lock);
    drain(*w);
    w->signalled = false;
    note_links(*w);
    return true;
}

bool wp_change_notification_signalled(wp_handle h) {
    auto* w = static_cast<change_watch*>(h);
    std::lock_guard<std::mutex> g(w->lock);
    if (!w->signalled) drain(*w);
    return w->signalled;
}

bool wp_find_close_change_notification(wp_handle h) {
    auto* w = static_cast<change_watch*>(h);
    if (!w || h == WP_INVALID_HANDLE) {
        file_set_last_error(WIN_ERROR_INVALID_HANDLE);
        return false;
    }
    ::close(w->fd);
    delete w;
    return true;
}
