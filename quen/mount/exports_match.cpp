// The export lists and the lookups over them: by client, by path, by id.
#include "quen/mount/exports.h"

#include "platform/codepage.h"
#include "quen/config/settings.h"
#include "quen/inode/paths.h"
#include "quen/mount/export_text.h"
#include "quen/mount/exports_lists.h"
#include "platform/thread.h"
#include "rpc/log.h"

#include <cstring>
#include <mutex>

namespace {

export_lists g_lists;

uint32_t host_order(uint32_t network) {
    const auto* b = reinterpret_cast<const unsigned char*>(&network);
    return (uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | b[3];
}

bool starts_with_part(const std::string& path, const std::string& head, bool alldirs) {
    if (path.compare(0, head.size(), head) != 0) return false;
    if (path.size() == head.size()) return true;
    return alldirs && path[head.size()] == '/';
}

void drop_trailing_slash(std::string& p) {
    if (p.size() > 1 && p.back() == '/') p.pop_back();
}

// Whether a path below an export has a component Windows takes for "..":
// two or more dots, possibly with trailing dots and spaces, which Windows
// drops. Such a path would name a folder outside the export.
bool climbs_out(const std::string& below) {
    size_t at = 0;
    while (at < below.size()) {
        size_t end = below.find_first_of("/\\", at);
        if (end == std::string::npos) end = below.size();
        size_t dots = 0;
        bool only_dots_and_spaces = end > at;
        for (size_t i = at; i < end; ++i) {
            if (below[i] == '.') ++dots;
            else if (below[i] != ' ') only_dots_and_spaces = false;
        }
        if (only_dots_and_spaces && dots >= 2) return true;
        at = end + 1;
    }
    return false;
}

bool drive_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// Tries one entry against the requested path (already in UTF-8).
bool match_entry(const export_entry& e, std::string requested, std::string* windows_path) {
    char form[2048];
    if (windows_path_to_nfs(e.folder.c_str(), form, sizeof form) == 0) return false;
    std::string client_form = form;
    drop_trailing_slash(client_form);
    drop_trailing_slash(requested);
    const bool alldirs = e.fixed.entry_options & EXPORT_ALLDIRS;
    if (!e.alias.empty() && starts_with_part(requested, e.alias, alldirs)) {
        const std::string replaced = client_form + requested.substr(e.alias.size());
        log_printf(2, "mountd: name %s --> %s\n", requested.c_str(), replaced.c_str());
        requested = replaced;
    }
    if (requested.compare(0, 4, "//?/") == 0 && requested.size() >= 6 && drive_letter(requested[4]) &&
        requested[5] == ':' && e.folder.compare(0, 4, "\\\\?\\") != 0) {
        // "//?/c:/dir" names the same folder as "/c/dir".
        std::string reduced = "/";
        reduced += requested[4];
        reduced += requested.substr(6);
        requested = reduced;
    }
    if (!starts_with_part(requested, client_form, alldirs)) return false;
    if (climbs_out(requested.substr(client_form.size()))) return false;
    if (windows_path) {
        // The folder as written, then the rest of the request in Windows form.
        std::string tail = requested.substr(client_form.size());
        for (char& c : tail)
            if (c == '/') c = '\\';
        *windows_path = e.folder;
        if (!windows_path->empty() && windows_path->back() == '\\' && !tail.empty()) tail.erase(0, 1);
        *windows_path += tail;
    }
    return true;
}

crit_section& lists_lock() {
    static crit_section lock;
    static std::once_flag made;
    std::call_once(made, [] { crit_init(&lock); });
    return lock;
}

}  // namespace

exports_hold::exports_hold() { crit_enter(&lists_lock()); }
exports_hold::~exports_hold() { crit_leave(&lists_lock()); }

export_lists& exports_lists() { return g_lists; }

void exports_lists_retire_active() {
    if (!g_lists.active) return;
    export_entry* last = g_lists.active;
    while (last->next) last = last->next;
    last->next = g_lists.retired;
    g_lists.retired = g_lists.active;
    g_lists.active = nullptr;
}

export_entry* exports_active() { return g_lists.active; }
export_entry* exports_retired() { return g_lists.retired; }

bool export_client_allowed(const export_entry& e, uint32_t client) {
    if (e.addresses.empty()) return true;
    if (e.fixed.entry_options & EXPORT_RANGE) {
        const uint32_t c = host_order(client);
        for (size_t i = 0; i + 1 < e.addresses.size(); i += 2)
            if (c >= host_order(e.addresses[i]) && c <= host_order(e.addresses[i + 1])) return true;
        return false;
    }
    for (uint32_t a : e.addresses)
        if (a == client) return true;
    return false;
}

uint32_t export_find(const char* path, uint32_t client, uint32_t* encoding, export_entry** entry,
                     std::string* windows_path) {
    const uint32_t detected = encoding ? *encoding : NAME_ENCODING_UTF8;
    exports_hold hold;
    for (export_entry* e = g_lists.active; e; e = e->next) {
        if (!export_client_allowed(*e, client)) continue;
        const uint32_t effective =
            e->fixed.name_encoding == EXPORT_ENCODING_AUTOMATIC ? detected : e->fixed.name_encoding;
        if (!path) {
            if (!(e->fixed.entry_options & EXPORT_PUBLIC)) continue;
            if (windows_path) *windows_path = e->folder;
        } else {
            char converted[2048];
            if (std::strlen(path) >= sizeof converted) continue;
            std::strcpy(converted, path);
            if (effective == NAME_ENCODING_CODE_PAGE && converted[0] &&
                codepage_to_utf8(g_settings.record.code_page, converted, sizeof converted) == 0)
                continue;
            if (!match_entry(*e, converted, windows_path)) continue;
        }
        if (encoding) *encoding = effective;
        if (entry) *entry = e;
        return 0;
    }
    return 13;
}

export_entry* export_by_id(uint32_t export_id) {
    exports_hold hold;
    for (export_entry* e = g_lists.active; e; e = e->next)
        if (e->fixed.export_id == export_id) return e;
    return nullptr;
}

bool export_remove(export_entry* entry) {
    exports_hold hold;
    export_entry** link = &g_lists.active;
    while (*link && *link != entry) link = &(*link)->next;
    if (!*link) return false;
    *link = entry->next;
    entry->next = g_lists.retired;
    g_lists.retired = entry;
    exports_rewrite();
    return true;
}

void exports_free_all() {
    exports_hold hold;
    for (export_entry** list : {&g_lists.active, &g_lists.retired}) {
        while (*list) {
            export_entry* next = (*list)->next;
            delete *list;
            *list = next;
        }
    }
}
