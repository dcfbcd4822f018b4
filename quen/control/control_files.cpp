#include "quen/control/control_files.h"

#include "control_client/control_protocol.h"
#include "platform/file.h"
#include "platform/path.h"
#include "quen/config/settings.h"
#include "quen/control/control_commands.h"
#include "quen/control/control_names.h"
#include "rpc/log.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr size_t kOpenPathMax = 1023;

uint32_t failed(uint8_t* reply, uint32_t status) {
    control_put32(reply, status);
    return 4;
}

uint32_t ref_in(const control_request& r) { return r.length >= 4 ? control_get32(r.data) : 0; }

std::string exports_draft() { return std::string(g_settings.data_dir) + "exports.new"; }

// The written exports file takes the place of the previous one, which is
// kept as "exports.old": the draft reaches the disk, then takes the name in
// one step. false, and "exports" as it was, when a step fails.
bool land_exports_draft() {
    const std::string draft = exports_draft();
    const std::string current = std::string(g_settings.data_dir) + "exports";
    const std::string old = std::string(g_settings.data_dir) + "exports.old";
    bool flushed = false;
    {
        file_handle h(wp_create_file(draft.c_str(), WP_GENERIC_WRITE, WP_FILE_SHARE_ALL, WP_OPEN_EXISTING, 0));
        flushed = h.valid() && wp_flush_file_buffers(h.get());
    }
    const bool kept = flushed && (wp_get_file_attributes(current.c_str()) == WP_INVALID_FILE_ATTRIBUTES ||
                                  wp_copy_file(current.c_str(), old.c_str(), false));
    if (!kept || !wp_move_file_ex(draft.c_str(), current.c_str(),
                                  WP_MOVEFILE_REPLACE_EXISTING | WP_MOVEFILE_WRITE_THROUGH)) {
        log_printf(2, "quen: cannot write %s, error %u\n", current.c_str(), file_last_error());
        wp_delete_file(draft.c_str());
        return false;
    }
    return true;
}

void put_find_data(uint8_t* out, const wp_find_data& d) {
    control_find_data f{};
    f.attributes = d.attributes;
    f.creation_time[0] = uint32_t(d.creation_time);
    f.creation_time[1] = uint32_t(d.creation_time >> 32);
    f.last_access_time[0] = uint32_t(d.last_access_time);
    f.last_access_time[1] = uint32_t(d.last_access_time >> 32);
    f.last_write_time[0] = uint32_t(d.last_write_time);
    f.last_write_time[1] = uint32_t(d.last_write_time >> 32);
    f.size_high = uint32_t(d.size >> 32);
    f.size_low = uint32_t(d.size);
    f.reserved0 = d.reparse_tag;
    static_assert(sizeof f.name == sizeof d.name && sizeof f.alternate_name == sizeof d.alternate_name);
    std::memcpy(f.name, d.name, sizeof f.name);
    std::memcpy(f.alternate_name, d.alternate_name, sizeof f.alternate_name);
    f.name[sizeof f.name - 1] = 0;
    f.alternate_name[sizeof f.alternate_name - 1] = 0;
    std::memcpy(out, &f, sizeof f);
}

// Stream modes the pipe lets a client ask for; anything else is no open.
bool mode_acceptable(const char* mode) {
    static const char* const kModes[] = {"r", "rb", "rt", "w", "wb", "wt", "a", "ab", "at"};
    for (const char* m : kModes)
        if (!std::strcmp(mode, m)) return true;
    return false;
}

// Whatever the pattern, a caller who is not an administrator sees the log
// files only (the log folder is the data folder unless set apart).
bool listable(const control_session& s, const wp_find_data& d) { return s.admin || control_log_name(d.name); }

bool next_listable(const control_session& s, void* h, wp_find_data* d) {
    while (wp_find_next(h, d))
        if (listable(s, *d)) return true;
    return false;
}

uint32_t file_reply(uint8_t* reply, uint32_t ref) {
    control_put32(reply + kControlHeaderSize, ref);
    return control_reply(reply, 4);
}

}  // namespace

uint32_t control_find_first(control_session& s, const control_request& r, uint8_t* reply) {
    const char* pattern = control_text(r, 0);
    if (!pattern || !control_name_acceptable(pattern)) return control_reply(reply, 0);
    const std::string path = std::string(g_settings.log_dir) + pattern;
    if (path.size() >= kPathSize) return control_reply(reply, 0);
    wp_find_data d{};
    wp_find_handle h = wp_find_first(path.c_str(), WP_FIND_EX_INFO_STANDARD, &d, WP_FIND_EX_SEARCH_NAME_MATCH, 0);
    if (h == WP_INVALID_FIND_HANDLE) return control_reply(reply, 0);
    if (!listable(s, d) && !next_listable(s, h, &d)) {
        wp_find_close(h);
        return control_reply(reply, 0);
    }
    const uint32_t ref = control_ref_add(s.searches, h);
    if (ref == 0) {   // the connection holds its limit of searches
        wp_find_close(h);
        return control_reply(reply, 0);
    }
    control_put32(reply + kControlHeaderSize, ref);
    put_find_data(reply + kControlHeaderSize + 4, d);
    return control_reply(reply, 4 + kControlFindDataSize);
}

uint32_t control_find_next(control_session& s, const control_request& r, uint8_t* reply) {
    const uint32_t ref = ref_in(r);
    void* h = control_ref_get(s.searches, ref);
    wp_find_data d{};
    if (!h || !next_listable(s, h, &d)) return control_reply(reply, 0);
    control_put32(reply + kControlHeaderSize, ref);
    put_find_data(reply + kControlHeaderSize + 4, d);
    return control_reply(reply, 1, 4 + kControlFindDataSize);
}

uint32_t control_find_close(control_session& s, const control_request& r, uint8_t* reply) {
    void* h = control_ref_take(s.searches, ref_in(r));
    return control_reply(reply, h && wp_find_close(h) ? 1 : 0, 0);
}

uint32_t control_open_file(control_session& s, const control_request& r, uint8_t* reply) {
    const char* name = control_text(r, 0);
    const char* mode = name ? control_text(r, uint32_t(std::strlen(name) + 1)) : nullptr;
    if (!mode) return failed(reply, CTL_UNKNOWN);
    if (mode[0] != 'r' && !s.admin) return failed(reply, CTL_DENIED);
    if (std::strlen(g_settings.data_dir) + std::strlen(name) + 1 > kOpenPathMax) return failed(reply, CTL_UNKNOWN);
    if (!control_name_acceptable(name) || !mode_acceptable(mode)) return file_reply(reply, 0);
    if (!s.admin && !control_log_name(name)) return file_reply(reply, 0);
    std::string path;
    bool exports_write = false;
    if (!std::strcmp(name, "exports") || !std::strcmp(name, "exports.old")) {
        path = std::string(g_settings.data_dir) + name;
        exports_write = !std::strcmp(name, "exports") && mode[0] != 'r';
        if (exports_write && s.exports_write) return file_reply(reply, 0);   // one write at a time
        if (exports_write) path = exports_draft();
    } else {
        log_flush();
        path = std::string(g_settings.log_dir) + name;
    }
    if (path.size() >= kPathSize) return file_reply(reply, 0);
    FILE* f = path_fopen(path.c_str(), mode);
    const uint32_t ref = f ? control_ref_add(s.files, f) : 0;
    if (f && ref == 0) std::fclose(f);   // the connection holds its limit of files
    if (ref && exports_write) s.exports_write = f;
    return file_reply(reply, ref);
}

uint32_t control_close_file(control_session& s, const control_request& r, uint8_t* reply) {
    FILE* f = static_cast<FILE*>(control_ref_take(s.files, ref_in(r)));
    if (!f) return control_reply(reply, 1, 0);
    if (f != s.exports_write) return control_reply(reply, std::fclose(f) == 0 ? 0 : 1, 0);
    s.exports_write = nullptr;
    return control_reply(reply, std::fclose(f) == 0 && land_exports_draft() ? 0 : 1, 0);
}

uint32_t control_read_line(control_session& s, const control_request& r, uint8_t* reply) {
    FILE* f = static_cast<FILE*>(control_ref_get(s.files, ref_in(r)));
    char* line = reinterpret_cast<char*>(reply + kControlHeaderSize);
    static_assert(kControlLineMax + 1 <= kControlDataMax);
    if (!f || !std::fgets(line, int(kControlLineMax + 1), f)) return control_reply(reply, 0);
    return control_reply(reply, uint32_t(std::strlen(line) + 1));
}

uint32_t control_write_file(control_session& s, const control_request& r, uint8_t* reply) {
    // The length word counts the bytes to write, which follow the reference.
    if (r.received < 4 || r.length > r.received - 4) return failed(reply, CTL_WRITE_FILE);
    FILE* f = static_cast<FILE*>(control_ref_get(s.files, control_get32(r.data)));
    const size_t written = f && r.length ? std::fwrite(r.data + 4, 1, r.length, f) : 0;
    return control_reply(reply, uint32_t(written), 0);
}

void control_files_close_all(control_session& s) {
    const bool draft_open = s.exports_write != nullptr;
    for (unsigned i = 0; i < kControlRefSlots; ++i) {
        if (s.files.object[i]) std::fclose(static_cast<FILE*>(s.files.object[i]));
        if (s.searches.object[i]) wp_find_close(s.searches.object[i]);
        s.files.object[i] = nullptr;
        s.searches.object[i] = nullptr;
    }
    // A write of the exports file that was never closed does not land.
    if (draft_open) wp_delete_file(exports_draft().c_str());
    s.exports_write = nullptr;
}
