// The process-wide table of open files: share modes between handles and the
// byte-range locks of LockFile(Ex), which Windows enforces on every read and write.
#include "platform/posix/volume.h"
#include "platform/win_error.h"

#include <map>
#include <unistd.h>
#include <mutex>
#include <unordered_set>
#include <utility>

namespace {

struct byte_lock {
    uint64_t offset;
    uint64_t length;
    const posix_file* owner;
    bool exclusive;
};

struct open_object {
    std::vector<posix_file*> handles;
    std::vector<byte_lock> locks;
    // A name deleted while the object was open: it goes with the last handle.
    std::string pending_delete;
    bool pending_directory = false;
};

using file_key = std::pair<dev_t, ino_t>;

struct open_table {
    std::mutex lock;
    std::map<file_key, open_object> objects;
    std::unordered_set<const void*> live;
};

open_table& table() {
    static open_table* t = new open_table;  // never destroyed: handles may outlive static destruction
    return *t;
}

constexpr uint32_t kReadRights = WP_FILE_READ_DATA | WP_FILE_EXECUTE;
constexpr uint32_t kWriteRights = WP_FILE_WRITE_DATA | WP_FILE_APPEND_DATA;

bool overlaps(uint64_t a, uint64_t alen, uint64_t b, uint64_t blen) {
    if (alen == 0 || blen == 0) return false;
    const uint64_t aend = a + alen < a ? UINT64_MAX : a + alen;
    const uint64_t bend = b + blen < b ? UINT64_MAX : b + blen;
    return a < bend && b < aend;
}

// Whether a handle with `access` may open beside one with (other_access, other_share), and back.
bool compatible(uint32_t access, uint32_t share, uint32_t other_access, uint32_t other_share) {
    // An open without data or delete rights takes part in no share check.
    constexpr uint32_t kChecked = kReadRights | kWriteRights | WP_DELETE;
    if (!(access & kChecked) || !(other_access & kChecked)) return true;
    auto allowed = [](uint32_t a, uint32_t s) {
        if ((a & kReadRights) && !(s & WP_FILE_SHARE_READ)) return false;
        if ((a & kWriteRights) && !(s & WP_FILE_SHARE_WRITE)) return false;
        if ((a & WP_DELETE) && !(s & WP_FILE_SHARE_DELETE)) return false;
        return true;
    };
    return allowed(access, other_share) && allowed(other_access, share);
}

// Under the lock: the handle and its locks leave the object. With its last
// handle a pending deletion is carried out and the object goes, so that an
// object that takes its number later starts afresh.
void leave_object(open_table& t, std::map<file_key, open_object>::iterator it, const posix_file* f) {
    auto& hs = it->second.handles;
    std::erase(hs, f);
    std::erase_if(it->second.locks, [f](const byte_lock& l) { return l.owner == f; });
    if (!hs.empty()) return;
    const std::string& pending = it->second.pending_delete;
    if (!pending.empty()) (void)(it->second.pending_directory ? ::rmdir(pending.c_str()) : ::unlink(pending.c_str()));
    t.objects.erase(it);
}

}  // namespace

uint32_t expand_access(uint32_t access) {
    uint32_t a = access & 0x0FFFFFFF;
    if (access & (WP_GENERIC_READ | WP_GENERIC_ALL)) a |= WP_FILE_READ_DATA | WP_FILE_READ_ATTRIBUTES;
    if (access & (WP_GENERIC_WRITE | WP_GENERIC_ALL))
        a |= WP_FILE_WRITE_DATA | WP_FILE_APPEND_DATA | WP_FILE_WRITE_ATTRIBUTES;
    if (access & (WP_GENERIC_EXECUTE | WP_GENERIC_ALL)) a |= WP_FILE_EXECUTE | WP_FILE_READ_ATTRIBUTES;
    if (access & WP_GENERIC_ALL) a |= WP_DELETE;
    return a;
}

uint32_t register_open(posix_file* f) {
    open_table& t = table();
    std::lock_guard<std::mutex> g(t.lock);
    open_object& o = t.objects[{f->dev, f->ino}];
    // An object whose deletion is pending refuses every open (STATUS_DELETE_PENDING).
    if (!o.pending_delete.empty()) return WIN_ERROR_ACCESS_DENIED;
    for (const posix_file* other : o.handles)
        if (!compatible(f->access, f->share, other->access, other->share)) {
            if (o.handles.empty() && o.locks.empty()) t.objects.erase({f->dev, f->ino});
            return WIN_ERROR_SHARING_VIOLATION;
        }
    o.handles.push_back(f);
    t.live.insert(f);
    return WIN_ERROR_SUCCESS;
}

void unregister_open(posix_file* f) {
    open_table& t = table();
    std::lock_guard<std::mutex> g(t.lock);
    t.live.erase(f);
    auto it = t.objects.find({f->dev, f->ino});
    if (it == t.objects.end()) return;
    leave_object(t, it, f);
}

bool defer_delete_while_open(dev_t dev, ino_t ino, const std::string& native, bool directory) {
    open_table& t = table();
    std::lock_guard<std::mutex> g(t.lock);
    auto it = t.objects.find({dev, ino});
    if (it == t.objects.end() || it->second.handles.empty()) return false;
    it->second.pending_delete = native;
    it->second.pending_directory = directory;
    return true;
}

bool delete_is_pending(dev_t dev, ino_t ino) {
    open_table& t = table();
    std::lock_guard<std::mutex> g(t.lock);
    auto it = t.objects.find({dev, ino});
    return it != t.objects.end() && !it->second.pending_delete.empty();
}

posix_file* lookup_handle(wp_handle h) {
    open_table& t = table();
    std::lock_guard<std::mutex> g(t.lock);
    if (h == WP_INVALID_HANDLE || !t.live.count(h)) {
        fail(WIN_ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return static_cast<posix_file*>(h);
}

bool open_without_share_delete(dev_t dev, ino_t ino) {
    open_table& t = table();
    std::lock_guard<std::mutex> g(t.lock);
    auto it = t.objects.find({dev, ino});
    if (it == t.objects.end()) return false;
    for (const posix_file* f : it->second.handles)
        if (!(f->share & WP_FILE_SHARE_DELETE)) return true;
    return false;
}

bool object_is_open(dev_t dev, ino_t ino) {
    open_table& t = table();
    std::lock_guard<std::mutex> g(t.lock);
    auto it = t.objects.find({dev, ino});
    return it != t.objects.end() && !it->second.handles.empty();
}

void rekey_open(posix_file* f, dev_t dev, ino_t ino) {
    open_table& t = table();
    std::lock_guard<std::mutex> g(t.lock);
    auto it = t.objects.find({f->dev, f->ino});
    if (it != t.objects.end()) leave_object(t, it, f);
    f->dev = dev;
    f->ino = ino;
    t.objects[{dev, ino}].handles.push_back(f);
}

uint32_t add_lock(posix_file* f, uint64_t offset, uint64_t length, bool exclusive) {
    open_table& t = table();
    std::lock_guard<std::mutex> g(t.lock);
    open_object& o = t.objects[{f->dev, f->ino}];
    // An exclusive lock overlaps no other lock, the handle's own included; a
    // shared one overlaps other shared ones and its own handle's exclusive ones.
    for (const byte_lock& l : o.locks)
        if (overlaps(offset, length, l.offset, l.length) && (exclusive || (l.exclusive && l.owner != f)))
            return WIN_ERROR_LOCK_VIOLATION;
    o.locks.push_back({offset, length, f, exclusive});
    return WIN_ERROR_SUCCESS;
}

uint32_t remove_lock(posix_file* f, uint64_t offset, uint64_t length) {
    open_table& t = table();
    std::lock_guard<std::mutex> g(t.lock);
    auto it = t.objects.find({f->dev, f->ino});
    if (it == t.objects.end()) return WIN_ERROR_NOT_LOCKED;
    // Of an exclusive and a shared lock on the very range, the exclusive one goes first.
    auto& ls = it->second.locks;
    auto match = ls.end();
    for (auto l = ls.begin(); l != ls.end(); ++l)
        if (l->owner == f && l->offset == offset && l->length == length && (match == ls.end() || l->exclusive))
            match = l;
    if (match == ls.end()) return WIN_ERROR_NOT_LOCKED;
    ls.erase(match);
    return WIN_ERROR_SUCCESS;
}

bool range_locked_against(posix_file* f, uint64_t offset, uint64_t length, bool write) {
    open_table& t = table();
    std::lock_guard<std::mutex> g(t.lock);
    auto it = t.objects.find({f->dev, f->ino});
    if (it == t.objects.end()) return false;
    // Another handle's exclusive lock bars reading and writing; a shared
    // lock bars writing through every handle, its own too.
    for (const byte_lock& l : it->second.locks)
        if (overlaps(offset, length, l.offset, l.length) && (l.exclusive ? l.owner != f : write)) return true;
    return false;
}

void rename_open_paths(const std::string& from, const std::string& to) {
    open_table& t = table();
    std::lock_guard<std::mutex> g(t.lock);
    auto follow = [&](std::string& native) {
        if (native == from)
            native = to;
        else if (native.size() > from.size() && native.compare(0, from.size(), from) == 0 && native[from.size()] == '/')
            native = to + native.substr(from.size());
    };
    for (auto& [key, o] : t.objects) {
        for (posix_file* f : o.handles) follow(f->native);
        if (!o.pending_delete.empty()) follow(o.pending_delete);
    }
}
