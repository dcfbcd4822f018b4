// The registry as one ".reg" text file. Readers use a cached parse that is
// refreshed when the file changes; writers take an exclusive lock on a lock
// file beside it, re-read, change, and replace the file atomically.
#include "platform/registry.h"

#include "platform/posix/errno_map.h"
#include "platform/posix/file_replace.h"
#include "platform/reg_text.h"
#include "platform/utf16.h"
#include "platform/win_error.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char* kDefaultPath = "/etc/tervalo/registry.reg";

struct file_signature {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = -1;
    long long mtime_ns = -1;
    bool operator==(const file_signature&) const = default;
};

struct store_cache {
    std::string path;
    file_signature sig;
    bool loaded = false;
    reg_document doc;
    std::string reported;   // path + signature of the last bad file reported
};

std::mutex g_store_mutex;
store_cache g_cache;

std::string store_path() {
    const char* env = std::getenv("TERVALO_REGISTRY");
    return env && *env ? env : kDefaultPath;
}

const char* root_name(reg_root root) {
    switch (root) {
    case REG_LOCAL_MACHINE: return "HKEY_LOCAL_MACHINE";
    case REG_CURRENT_USER: return "HKEY_CURRENT_USER";
    case REG_CLASSES_ROOT: return "HKEY_CLASSES_ROOT";
    }
    return nullptr;
}

// The key's path as the file names it; empty for a malformed key.
std::string full_key(reg_root root, const char* key) {
    const char* r = root_name(root);
    if (!r || !key) return {};
    std::string k = key;
    while (!k.empty() && k.back() == '\\') k.pop_back();
    if (!k.empty() && (k.front() == '\\' || k.find("\\\\") != std::string::npos)) return {};
    return k.empty() ? std::string(r) : std::string(r) + "\\" + k;
}

// Failures of the store are write failures unless errno says more.
uint32_t store_error(int e) { return errno_to_win32(e, WIN_ERROR_CANTWRITE); }

bool stat_signature(const std::string& path, file_signature& sig) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return false;
    sig = {st.st_dev, st.st_ino, st.st_size, (long long)st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec};
    return true;
}

bool read_file(const std::string& path, std::string& out) {
    out.clear();
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    const bool ok = !std::ferror(f);
    std::fclose(f);
    return ok;
}

void report_bad_file(store_cache& c, const std::string& path, const file_signature& sig,
                     const reg_parse_error& err) {
    const std::string mark = path + "|" + std::to_string(sig.ino) + "|" + std::to_string(sig.size) +
                             "|" + std::to_string(sig.mtime_ns);
    if (c.reported == mark) return;
    c.reported = mark;
    std::fprintf(stderr, "registry: %s line %u: %s; the settings in it are not used\n", path.c_str(),
                 err.line, err.reason.c_str());
}

// Parses the file as it is on disk. A missing file is an empty registry; a bad
// one is reported (once) and reads as empty. Result: parsed cleanly.
bool load(store_cache& c, const std::string& path, reg_document& doc, file_signature& sig) {
    doc.sections.clear();
    std::string text;
    if (!stat_signature(path, sig) || !read_file(path, text)) {
        sig = {};
        return true;
    }
    reg_parse_error err;
    if (reg_parse(text, doc, err)) return true;
    report_bad_file(c, path, sig, err);
    return false;
}

// The current document for reading, parsed again only when the file changed.
reg_document& current_document() {
    const std::string path = store_path();
    file_signature sig;
    if (!stat_signature(path, sig)) sig = {};
    if (!g_cache.loaded || g_cache.path != path || !(g_cache.sig == sig)) {
        load(g_cache, path, g_cache.doc, g_cache.sig);
        g_cache.path = path;
        g_cache.loaded = true;
    }
    return g_cache.doc;
}

bool make_parent_dirs(const std::string& path) {
    for (size_t pos = 1; (pos = path.find('/', pos)) != std::string::npos; ++pos) {
        const std::string dir = path.substr(0, pos);
        if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
    return true;
}

// Runs change() on the freshly read document under the file lock, then
// stores the result. A file that did not parse is kept beside the new one.
uint32_t modify(const std::function<uint32_t(reg_document&)>& change) {
    const std::string path = store_path();
    if (!make_parent_dirs(path)) return store_error(errno);
    const std::string lock_path = path + ".lock";
    const int lock_fd = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lock_fd < 0) return store_error(errno);
    while (::flock(lock_fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            const int e = errno;
            ::close(lock_fd);
            return store_error(e);
        }
    }
    reg_document doc;
    file_signature sig;
    const bool clean = load(g_cache, path, doc, sig);
    uint32_t rc = change(doc);
    if (rc == WIN_ERROR_SUCCESS && !clean && ::rename(path.c_str(), (path + ".bad").c_str()) != 0)
        rc = store_error(errno);
    if (rc == WIN_ERROR_SUCCESS) {
        if (const int e = replace_native_file(path, reg_serialise(doc), 0644, REPLACE_EXISTING)) rc = store_error(e);
    }
    if (rc == WIN_ERROR_SUCCESS) {
        g_cache.path = path;
        g_cache.doc = std::move(doc);
        g_cache.loaded = stat_signature(path, g_cache.sig);
    }
    ::flock(lock_fd, LOCK_UN);
    ::close(lock_fd);
    return rc;
}

}  // namespace

uint32_t reg_create_key(reg_root root, const char* key) {
    const std::string k = full_key(root, key);
    if (k.empty()) return WIN_ERROR_INVALID_PARAMETER;
    std::lock_guard<std::mutex> hold(g_store_mutex);
    if (reg_key_exists(current_document(), k)) return WIN_ERROR_SUCCESS;
    return modify([&](reg_document& doc) {
        reg_section_for(doc, k);
        return WIN_ERROR_SUCCESS;
    });
}

uint32_t reg_open_key(reg_root root, const char* key) {
    const std::string k = full_key(root, key);
    if (k.empty()) return WIN_ERROR_INVALID_PARAMETER;
    std::lock_guard<std::mutex> hold(g_store_mutex);
    // The roots always exist.
    if (k.find('\\') == std::string::npos) return WIN_ERROR_SUCCESS;
    return reg_key_exists(current_document(), k) ? WIN_ERROR_SUCCESS : WIN_ERROR_FILE_NOT_FOUND;
}

uint32_t reg_query_value(reg_root root, const char* key, const char* name, uint32_t* type, void* data,
                         uint32_t* size) {
    const std::string k = full_key(root, key);
    if (k.empty() || !size) return WIN_ERROR_INVALID_PARAMETER;
    std::lock_guard<std::mutex> hold(g_store_mutex);
    reg_document& doc = current_document();
    reg_section* s = reg_find_section(doc, k);
    reg_entry* e = s ? reg_find_entry(*s, name ? name : "") : nullptr;
    if (!e) return WIN_ERROR_FILE_NOT_FOUND;
    if (type) *type = e->type;
    const uint32_t capacity = *size;
    *size = uint32_t(e->data.size());
    if (!data) return WIN_ERROR_SUCCESS;
    if (capacity < e->data.size()) return WIN_ERROR_MORE_DATA;
    if (!e->data.empty()) std::memcpy(data, e->data.data(), e->data.size());
    return WIN_ERROR_SUCCESS;
}

uint32_t reg_set_value(reg_root root, const char* key, const char* name, uint32_t type, const void* data,
                       uint32_t size) {
    const std::string k = full_key(root, key);
    if (k.empty() || (size && !data)) return WIN_ERROR_INVALID_PARAMETER;
    reg_entry e;
    e.name = name ? name : "";
    e.type = type;
    const auto* p = static_cast<const uint8_t*>(data);
    e.data.assign(p, p + size);
    if (type == REG_VALUE_SZ) {
        // Strings must survive the trip through UTF-16 that Windows makes.
        std::u16string check;
        size_t n = e.data.size();
        while (n && e.data[n - 1] == 0) --n;
        if (!utf8_to_utf16(std::string_view(reinterpret_cast<const char*>(e.data.data()), n), check))
            return WIN_ERROR_INVALID_DATA;
        e.data.resize(n);
        e.data.push_back(0);
    }
    std::lock_guard<std::mutex> hold(g_store_mutex);
    return modify([&](reg_document& doc) {
        reg_section& s = reg_section_for(doc, k);
        if (reg_entry* old = reg_find_entry(s, e.name)) *old = e;
        else s.values.push_back(e);
        return WIN_ERROR_SUCCESS;
    });
}

uint32_t reg_delete_value(reg_root root, const char* key, const char* name) {
    const std::string k = full_key(root, key);
    if (k.empty()) return WIN_ERROR_INVALID_PARAMETER;
    const std::string n = name ? name : "";
    std::lock_guard<std::mutex> hold(g_store_mutex);
    {
        reg_document& doc = current_document();
        reg_section* s = reg_find_section(doc, k);
        if (!s || !reg_find_entry(*s, n)) return WIN_ERROR_FILE_NOT_FOUND;
    }
    return modify([&](reg_document& doc) {
        reg_section* s = reg_find_section(doc, k);
        if (!s || !reg_find_entry(*s, n)) return WIN_ERROR_FILE_NOT_FOUND;
        std::erase_if(s->values, [&](const reg_entry& x) { return reg_names_equal(x.name, n); });
        return WIN_ERROR_SUCCESS;
    });
}

uint32_t reg_delete_key(reg_root root, const char* key) {
    const std::string k = full_key(root, key);
    if (k.empty() || k.find('\\') == std::string::npos) return WIN_ERROR_INVALID_PARAMETER;
    std::lock_guard<std::mutex> hold(g_store_mutex);
    if (!reg_key_exists(current_document(), k)) return WIN_ERROR_FILE_NOT_FOUND;
    return modify([&](reg_document& doc) {
        if (!reg_key_exists(doc, k)) return WIN_ERROR_FILE_NOT_FOUND;
        if (reg_has_subkeys(doc, k)) return WIN_ERROR_ACCESS_DENIED;
        reg_remove_section(doc, k);
        // The parent may have existed only through this key; it stays.
        const std::string parent = k.substr(0, k.rfind('\\'));
        if (parent.find('\\') != std::string::npos && !reg_key_exists(doc, parent)) reg_section_for(doc, parent);
        return WIN_ERROR_SUCCESS;
    });
}
