// Case-blind names of the large directories looked up lately. NTFS finds a
// name in a directory's B-tree whatever its case; the Linux tree only finds
// the exact spelling, and scanning the whole directory for every name that
// is not there (each create asks) would make a large directory slow to fill.
// Each indexed directory is watched with inotify, and the events of every
// change, by anyone, are applied before each lookup: the kernel queues them
// before the changing call returns, so the index never lags a finished change.
// A lost event drops every index; the next large scan builds one again.
#include "platform/posix/inotify_events.h"
#include "platform/posix/volume.h"

#include <dirent.h>
#include <mutex>
#include <string>
#include <sys/inotify.h>
#include <unistd.h>
#include <unordered_map>

namespace {

constexpr int kIndexes = 16;
constexpr uint32_t kWatched = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_ONLYDIR;

// The key of a name: its upper-cased code points as bytes.
std::string key_of(std::string_view name) {
    const std::u32string up = upcased_name(name);
    return std::string(reinterpret_cast<const char*>(up.data()), up.size() * sizeof(char32_t));
}

struct name_index {
    int wd = -1;
    dev_t dev = 0;
    ino_t ino = 0;
    uint64_t last_use = 0;
    std::unordered_multimap<std::string, std::string> names;  // key → on-disk spelling
};

struct index_table {
    std::mutex lock;
    int fd = -2;  // one inotify instance for all; -1 when none could be had
    uint64_t uses = 0;
    name_index slots[kIndexes];
};

index_table& table() {
    static index_table t;
    return t;
}

void drop(index_table& t, name_index& x) {
    if (x.wd >= 0) ::inotify_rm_watch(t.fd, x.wd);
    x = name_index{};
}

void forget_name(name_index& x, const std::string& name) {
    auto [from, to] = x.names.equal_range(key_of(name));
    for (auto i = from; i != to; ++i)
        if (i->second == name) {
            x.names.erase(i);
            return;
        }
}

void apply(index_table& t, const inotify_event& e) {
    if (e.mask & IN_Q_OVERFLOW) {
        for (name_index& x : t.slots) drop(t, x);
        return;
    }
    for (name_index& x : t.slots) {
        if (x.wd != e.wd) continue;
        if (e.mask & (IN_IGNORED | IN_DELETE_SELF | IN_UNMOUNT)) {
            if (e.mask & IN_IGNORED) x.wd = -1;  // the kernel took the watch already
            drop(t, x);
        } else if (e.len && (e.mask & (IN_CREATE | IN_MOVED_TO))) {
            forget_name(x, e.name);
            x.names.emplace(key_of(e.name), e.name);
        } else if (e.len && (e.mask & (IN_DELETE | IN_MOVED_FROM))) {
            forget_name(x, e.name);
        }
        return;
    }
}

void catch_up(index_table& t) {
    read_inotify_events(t.fd, [&](const inotify_event& e) { apply(t, e); });
}

name_index* find(index_table& t, const struct stat& dir) {
    for (name_index& x : t.slots)
        if (x.wd >= 0 && x.dev == dir.st_dev && x.ino == dir.st_ino) return &x;
    return nullptr;
}

bool ready(index_table& t) {
    if (t.fd == -2) t.fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    return t.fd >= 0;
}

}  // namespace

int indexed_entry(const struct stat& dir, const std::string& name, std::string& found) {
    index_table& t = table();
    std::lock_guard<std::mutex> g(t.lock);
    if (t.fd < 0) return -1;
    catch_up(t);
    name_index* x = find(t, dir);
    if (!x) return -1;
    x->last_use = ++t.uses;
    // Two Linux names may differ only in case: the first in byte order, as a scan takes.
    auto [from, to] = x->names.equal_range(key_of(name));
    if (from == to) return 0;
    const std::string* best = &from->second;
    for (auto i = from; i != to; ++i)
        if (i->second < *best) best = &i->second;
    found = *best;
    return 1;
}

void index_directory(const std::string& dir, const struct stat& st) {
    index_table& t = table();
    std::lock_guard<std::mutex> g(t.lock);
    if (!ready(t)) return;
    catch_up(t);
    if (find(t, st)) return;
    name_index* x = &t.slots[0];
    for (name_index& s : t.slots) {
        if (s.wd < 0) {
            x = &s;
            break;
        }
        if (s.last_use < x->last_use) x = &s;
    }
    drop(t, *x);
    // The watch goes first, so that a change during the listing is an event
    // applied after it; then the directory is checked to be the one asked for.
    const int wd = ::inotify_add_watch(t.fd, dir.c_str(), kWatched);
    struct stat now;
    if (wd < 0) return;
    x->wd = wd;
    DIR* d = ::stat(dir.c_str(), &now) == 0 && now.st_dev == st.st_dev && now.st_ino == st.st_ino
                 ? ::opendir(dir.c_str())
                 : nullptr;
    if (!d) {
        drop(t, *x);
        return;
    }
    x->dev = st.st_dev;
    x->ino = st.st_ino;
    x->last_use = ++t.uses;
    while (dirent* e = ::readdir(d)) {
        const std::string_view n = e->d_name;
        if (n != "." && n != "..") x->names.emplace(key_of(n), std::string(n));
    }
    ::closedir(d);
}
