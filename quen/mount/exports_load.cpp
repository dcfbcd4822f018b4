// Parsing the exports file into entries and replacing the active list.
#include "quen/mount/exports.h"

#include "platform/codepage.h"
#include "platform/file.h"
#include "platform/net.h"
#include "quen/config/registry_access.h"
#include "quen/config/settings.h"
#include "quen/inode/paths.h"
#include "quen/mount/volume_probe.h"
#include "quen/inode/inode_tree.h"
#include "quen/mount/crc32.h"
#include "quen/mount/export_text.h"
#include "quen/mount/exports_lists.h"
#include "quen/mount/exports_tokens.h"
#include "quen/mount/mount_text.h"
#include "rpc/log.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

exports_resolver g_resolver = nullptr;

// The exports file is small text; anything bigger is not one.
constexpr uint32_t kExportsFileMax = 16u << 20;

const char* message_of(uint32_t code) {
    switch (code) {
    case EXPORTS_OPEN_FAILED: return "Failed to open exports file";
    case EXPORTS_EXPECTED_PATH: return "ignored, expected path";
    case EXPORTS_REPARSE_POINT: return "ignored, drive/folder is reparse point";
    case EXPORTS_BAD_OPTION: return "ignored, unknown/invalid option";
    case EXPORTS_BAD_CLIENT: return "ignored, invalid client";
    case EXPORTS_TOO_MANY_CLIENTS: return "truncated, too many clients";
    case EXPORTS_DUPLICATE: return "ignored, duplicate entry";
    }
    return "";
}

// Well-formed UTF-8 (shortest forms, no surrogates, at most U+10FFFF).
bool valid_utf8(const unsigned char* p, size_t n, bool* non_ascii) {
    *non_ascii = false;
    for (size_t i = 0; i < n;) {
        const unsigned char c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        *non_ascii = true;
        size_t len = 0;
        uint32_t cp = 0;
        if (c >= 0xC2 && c <= 0xDF) len = 2, cp = c & 0x1F;
        else if (c >= 0xE0 && c <= 0xEF) len = 3, cp = c & 0x0F;
        else if (c >= 0xF0 && c <= 0xF4) len = 4, cp = c & 0x07;
        else return false;
        if (n - i < len) return false;
        for (size_t k = 1; k < len; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) return false;
            cp = cp << 6 | (p[i + k] & 0x3F);
        }
        if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
            (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += len;
    }
    return true;
}

// Text of the file as UTF-8 in place: as it is in a UTF-8 file, else from the
// ANSI code page. Result: converted (false: the text does not convert).
bool text_to_utf8(bool utf8, char* buffer, size_t size) {
    if (!utf8) return codepage_to_utf8(0, buffer, size) != 0;
    bool non_ascii = false;
    return buffer[0] && valid_utf8(reinterpret_cast<const unsigned char*>(buffer), std::strlen(buffer), &non_ascii);
}

struct parse_state {
    export_tokenizer tok;
    bool utf8 = false;  // the file is UTF-8, not in the ANSI code page
    exports_report report;
    export_entry* built_head = nullptr;
    export_entry* built_tail = nullptr;
};

void problem(parse_state& s, uint32_t code, uint32_t line, const char* detail = nullptr) {
    s.report.error = code;
    s.report.line = line;
    if (detail)
        log_printf(1, "mountd: Line %u %s %s\n", line, message_of(code), detail);
    else
        log_printf(1, "mountd: Line %u %s\n", line, message_of(code));
}

// "%d" rules: optional sign, at least one digit; what follows is left in *end.
bool read_signed(const char* p, int32_t& out, const char** end) {
    char* e = nullptr;
    errno = 0;
    const long v = std::strtol(p, &e, 10);
    if (e == p || !(*p == '-' || *p == '+' || (*p >= '0' && *p <= '9'))) return false;
    out = int32_t(v);
    *end = e;
    return true;
}

bool read_unsigned(const char* p, int base, uint32_t& out, const char** end) {
    if (!((*p >= '0' && *p <= '9') || *p == '+')) return false;
    char* e = nullptr;
    const unsigned long v = std::strtoul(p, &e, base);
    if (e == p) return false;
    out = uint32_t(v);
    *end = e;
    return true;
}

// uid[:gid] with the ids kept as their low 16 bits. has_gid tells whether a
// group was given. false when the uid does not read.
bool read_ids(const char* p, uint32_t& uid, uint32_t& gid, bool& has_gid) {
    int32_t u = 0, g = 0;
    const char* e = nullptr;
    if (!read_signed(p, u, &e)) return false;
    uid = uint32_t(u) & 0xFFFF;
    gid = 0;
    has_gid = false;
    if (*e == ':' && read_signed(e + 1, g, &e)) {
        gid = uint32_t(g) & 0xFFFF;
        has_gid = true;
    }
    return true;
}

bool set_alias(export_entry& e, const char* value, bool utf8) {
    const size_t n = std::strlen(value);
    if (n == 0 || value[0] == '/' || value[n - 1] == '/' || std::strchr(value, ':') || std::strchr(value, '\\') ||
        std::strstr(value, "//"))
        return false;
    char buf[kExportAliasMax + 1];
    if (n > kExportAliasMax) return false;
    std::memcpy(buf, value, n + 1);
    if (!text_to_utf8(utf8, buf, sizeof buf)) return false;
    e.alias = std::string("/") + buf;
    return true;
}

// Applies one option. false for an unknown option.
bool apply_option(export_entry& e, const std::string& option, bool utf8) {
    struct simple {
        const char* word;
        uint32_t flags;
        uint32_t entry_options;
    };
    static const simple kSimple[] = {
        {"readonly", MOUNT_FLAG_READONLY, 0}, {"ro", MOUNT_FLAG_READONLY, 0},
        {"lowercase", MOUNT_FLAG_LOWERCASE, 0}, {"alldirs", 0, EXPORT_ALLDIRS},
        {"public", 0, EXPORT_PUBLIC},         {"hide", 0, EXPORT_HIDE},
        {"range", 0, EXPORT_RANGE},           {"exec", MOUNT_FLAG_EXEC, 0},
        {"i32", MOUNT_FLAG_I32, 0},           {"ci", MOUNT_FLAG_CI, 0},
        {"sa", MOUNT_FLAG_SA, 0},             {"cs", MOUNT_FLAG_CS, 0},
        {"at", MOUNT_FLAG_AT, 0},             {"nosdc", MOUNT_FLAG_NOSDC, 0},
        {"dc", MOUNT_FLAG_DC, 0},             {"rp", MOUNT_FLAG_RP, 0},
        {"nd", MOUNT_FLAG_ND, 0},
    };
    export_entry_image& f = e.fixed;
    for (const simple& s : kSimple) {
        if (option == s.word) {
            f.mount_flags |= s.flags;
            f.entry_options |= s.entry_options;
            return true;
        }
    }
    if (option == "a" || option == "w" || option == "u") {
        f.name_encoding = option == "a" ? NAME_ENCODING_ASCII
                          : option == "w" ? NAME_ENCODING_CODE_PAGE
                                          : NAME_ENCODING_UTF8;
        return true;
    }
    const size_t colon = option.find(':');
    if (colon == std::string::npos) return false;
    const std::string key = option.substr(0, colon);
    const char* value = option.c_str() + colon + 1;
    const char* end = nullptr;
    if (key == "umask") {
        uint32_t m = 0;
        if (read_unsigned(value, 8, m, &end)) {
            f.mount_flags |= MOUNT_FLAG_UMASK;
            f.umask = m & 077;
        }
        return true;
    }
    if (key == "sub") {
        uint32_t a = 0, b = 0;
        if (read_unsigned(value, 10, a, &end)) {
            if (*end == ',' && !read_unsigned(end + 1, 10, b, &end)) b = 0;
            f.mount_flags |= MOUNT_FLAG_SUB;
            f.sub_first = uint8_t(a);
            f.sub_second = uint8_t(b);
        }
        return true;
    }
    if (key == "maproot" || key == "mapall" || key == "uid") {
        uint32_t uid = 0, gid = 0;
        bool has_gid = false;
        if (!read_ids(value, uid, gid, has_gid)) return true;
        if (key == "maproot") {
            f.mount_flags |= MOUNT_FLAG_MAPROOT;
            f.maproot_uid = uid;
            f.maproot_gid = gid;
        } else if (key == "mapall") {
            f.mount_flags |= MOUNT_FLAG_MAPALL | (has_gid ? uint32_t(MOUNT_FLAG_MAPALL_GROUP) : 0u);
            f.mapall_uid = uid;
            f.mapall_gid = gid;
        } else {
            f.mount_flags |= MOUNT_FLAG_UID | (has_gid ? uint32_t(MOUNT_FLAG_UID_GROUP) : 0u);
            f.uid_uid = uid;
            f.uid_gid = gid;
        }
        return true;
    }
    if (key == "name") {
        set_alias(e, value, utf8);  // an unusable alias is ignored
        return true;
    }
    return false;
}

bool dotted_quad(const std::string& s, uint32_t& out) {
    uint32_t parts[4];
    size_t p = 0;
    for (int i = 0; i < 4; ++i) {
        if (i > 0) {
            if (p >= s.size() || s[p] != '.') return false;
            ++p;
        }
        size_t digits = 0;
        uint32_t v = 0;
        while (p < s.size() && s[p] >= '0' && s[p] <= '9' && digits < 4) {
            v = v * 10 + uint32_t(s[p] - '0');
            ++p;
            ++digits;
        }
        if (digits == 0 || digits > 3 || v > 255) return false;
        parts[i] = v;
    }
    if (p != s.size()) return false;
    const unsigned char bytes[4] = {uint8_t(parts[0]), uint8_t(parts[1]), uint8_t(parts[2]), uint8_t(parts[3])};
    std::memcpy(&out, bytes, 4);
    return true;
}

// The client's address (network order); false when it does not resolve.
bool client_address(const std::string& name, uint32_t& out) {
    if (dotted_quad(name, out) && out != 0 && out != 0xFFFFFFFFu) return true;
    const exports_resolver resolve = g_resolver ? g_resolver : net_resolve_ipv4;
    uint32_t found[1];
    if (resolve(name.c_str(), found, 1) < 1) return false;
    out = found[0];
    return true;
}

uint64_t root_identity_of(const export_entry& e) {
    if (g_settings.record.file_id && g_settings.record.file_ids_available && !(e.fixed.mount_flags & MOUNT_FLAG_CI)) {
        file_handle h(wp_create_file(e.folder.c_str(), WP_FILE_READ_ATTRIBUTES, WP_FILE_SHARE_ALL, WP_OPEN_EXISTING,
                                     WP_FILE_FLAG_BACKUP_SEMANTICS));
        wp_file_information info{};
        if (h.valid() && wp_get_file_information_by_handle(h.get(), &info)) return info.file_index;
        return 0;
    }
    return inode_of_path(e.folder.c_str());
}

// Takes an entry with this identifier off the retired list.
export_entry* take_retired(uint32_t id) {
    export_entry** link = &exports_lists().retired;
    for (export_entry* r = *link; r; link = &r->next, r = r->next) {
        if (r->fixed.export_id == id) {
            *link = r->next;
            r->next = nullptr;
            return r;
        }
    }
    return nullptr;
}

// The entry is complete: check, identify and append it.
void finish_entry(parse_state& s, std::unique_ptr<export_entry> e, size_t clients_seen, uint32_t line) {
    export_entry_image& f = e->fixed;
    if (f.entry_options & EXPORT_RANGE) {
        if (e->addresses.empty()) {
            problem(s, EXPORTS_BAD_CLIENT, line, "");
            return;
        }
        if (clients_seen < EXPORT_MAX_ADDRESSES && (e->addresses.size() & 1)) e->addresses.push_back(e->addresses.back());
    }
    if (clients_seen > EXPORT_MAX_ADDRESSES) problem(s, EXPORTS_TOO_MANY_CLIENTS, line);
    f.address_count = uint32_t(e->addresses.size());

    volume_probe_result probe{};
    uint32_t flags = f.mount_flags;
    if (probe_volume(e->folder.c_str(), &flags, &probe)) {
        f.mount_flags = flags;
        f.volume_serial = probe.serial;
        f.max_name_length = probe.max_component_length;
    }
    const uint32_t attributes = wp_get_file_attributes(e->folder.c_str());
    if (attributes != WP_INVALID_FILE_ATTRIBUTES && (attributes & WP_FILE_ATTRIBUTE_REPARSE_POINT)) {
        problem(s, EXPORTS_REPARSE_POINT, line);
        return;
    }
    // Kept, as the folder may appear later; until then a mount of it fails.
    if (attributes == WP_INVALID_FILE_ATTRIBUTES || !(attributes & WP_FILE_ATTRIBUTE_DIRECTORY))
        log_printf(1, "mountd: Line %u warning, folder %s does not exist\n", line, ansi_text(e->folder).c_str());
    f.export_id = export_identifier(*e);
    for (export_entry* a = s.built_head; a; a = a->next) {
        if (a->fixed.export_id == f.export_id) {
            problem(s, EXPORTS_DUPLICATE, line);
            return;
        }
    }
    export_entry* entry = take_retired(f.export_id);
    if (!entry) {
        f.root_identity = root_identity_of(*e);
        entry = e.release();
    }
    entry->next = nullptr;
    // Published only when complete: readers of the active list see whole entries.
    if (s.built_tail)
        s.built_tail->next = entry;
    else
        exports_lists().active = entry;
    s.built_tail = entry;
    if (!s.built_head) s.built_head = entry;
    log_printf(1, "%s", export_line_text(*entry, g_log_level >= 2).c_str());
}

// Parses one entry from its path token; returns the token that ended it.
export_token parse_entry(parse_state& s, const export_token& path_token) {
    export_tokenizer& t = s.tok;
    const uint32_t entry_line = t.line;  // problems of the whole entry are reported here
    char folder[2048];
    std::snprintf(folder, sizeof folder, "%s", path_token.text.c_str());
    size_t prefix = 0;
    if (text_to_utf8(s.utf8, folder, sizeof folder)) prefix = root_prefix_length(folder, sizeof folder);
    if (prefix == 0) {
        problem(s, EXPORTS_EXPECTED_PATH, t.line);
        export_skip_line(t);
        return export_next_token(t);
    }
    // Every trailing backslash goes, not only one, so that the folder reads
    // back unchanged from its written form.
    size_t folder_length = std::strlen(folder);
    while (folder_length > prefix && folder[folder_length - 1] == '\\') folder[--folder_length] = '\0';
    auto e = std::make_unique<export_entry>();
    e->fixed = export_image_defaults();
    e->folder = folder;
    e->fixed.volume_prefix_length = uint32_t(prefix);

    export_token tok = export_next_token(t);
    // Options, also on the following lines.
    for (;;) {
        if (tok.kind == export_token_kind::option) {
            if (!apply_option(*e, tok.text, s.utf8)) {
                problem(s, EXPORTS_BAD_OPTION, t.line, tok.text.c_str());
                export_skip_line(t);
                return export_next_token(t);
            }
            tok = export_next_token(t);
        } else if (tok.kind == export_token_kind::end_of_line) {
            tok = export_next_token(t);
            if (tok.kind == export_token_kind::end_of_line) break;  // an empty line ends the entry
        } else {
            break;
        }
    }
    // Clients; one line end after a client continues the list.
    size_t clients_seen = 0;
    while (tok.kind == export_token_kind::client) {
        uint32_t address = 0;
        if (!client_address(tok.text, address)) {
            problem(s, EXPORTS_BAD_CLIENT, t.line, tok.text.c_str());
            export_skip_line(t);
            return export_next_token(t);
        }
        if (clients_seen < EXPORT_MAX_ADDRESSES) e->addresses.push_back(address);
        ++clients_seen;
        tok = export_next_token(t);
        if (tok.kind == export_token_kind::end_of_line) tok = export_next_token(t);
    }
    finish_entry(s, std::move(e), clients_seen, entry_line);
    return tok;
}

exports_report parse_all(const char* text, size_t length) {
    exports_lists_retire_active();
    parse_state s;
    // Notepad saves UTF-8, with or without a byte-order mark; the control
    // panel writes the ANSI code page, in which non-ASCII text is hardly ever
    // also valid UTF-8.
    static const char kBom[] = "\xEF\xBB\xBF";
    bool non_ascii = false;
    if (length >= 3 && std::memcmp(text, kBom, 3) == 0) {
        s.utf8 = true;
        text += 3;
        length -= 3;
    } else {
        s.utf8 = valid_utf8(reinterpret_cast<const unsigned char*>(text), length, &non_ascii) && non_ascii;
    }
    s.tok.text = text;
    s.tok.length = length;
    export_token tok = export_next_token(s.tok);
    while (tok.kind != export_token_kind::end) {
        if (tok.kind == export_token_kind::end_of_line) {
            tok = export_next_token(s.tok);
        } else if (tok.kind == export_token_kind::path) {
            tok = parse_entry(s, tok);
        } else {
            problem(s, EXPORTS_EXPECTED_PATH, s.tok.line);
            export_skip_line(s.tok);
            tok = export_next_token(s.tok);
        }
    }
    return s.report;
}

bool read_whole_file(const char* path, std::string& out) {
    file_handle h(wp_create_file(path, WP_GENERIC_READ, WP_FILE_SHARE_READ | WP_FILE_SHARE_WRITE, WP_OPEN_EXISTING,
                                 WP_FILE_ATTRIBUTE_NORMAL));
    if (!h.valid()) return false;
    uint32_t high = 0;
    const uint32_t size = wp_get_file_size(h.get(), &high);
    if (size == WP_INVALID_FILE_SIZE && file_last_error() != 0) return false;
    if (high != 0 || size > kExportsFileMax) return false;
    out.resize(size);
    uint32_t done = 0;
    if (size && (!wp_read_file(h.get(), out.data(), size, &done) || done != size)) return false;
    return true;
}

}  // namespace

void exports_set_resolver(exports_resolver resolver) { g_resolver = resolver; }

uint32_t export_identifier(const export_entry& e) {
    const export_entry_image& f = e.fixed;
    std::string text = e.folder;
    char buf[160];
    std::snprintf(buf, sizeof buf, "/%x/%8.8x/%u/%x/%x/%x/%u,%u/%u,%u", f.entry_options, f.volume_serial,
                  f.max_name_length, f.mount_flags, f.umask, f.name_encoding, f.maproot_uid, f.maproot_gid,
                  f.mapall_uid, f.mapall_gid);
    text += buf;
    std::snprintf(buf, sizeof buf, "/%u,%u", unsigned(f.sub_first), unsigned(f.sub_second));
    text += buf;
    if (f.uid_uid != 0) {
        std::snprintf(buf, sizeof buf, "/%u,%u", f.uid_uid, f.uid_gid);
        text += buf;
    }
    if (!e.alias.empty()) text += "/" + e.alias;
    uint32_t crc = crc32_update(kCrc32Start, text.data(), text.size());
    if (!e.addresses.empty()) crc = crc32_update(crc, e.addresses.data(), e.addresses.size() * 4);
    return crc;
}

exports_report exports_load_text(const char* text, size_t length) {
    exports_hold hold;
    return parse_all(text, length);
}

exports_report exports_load() {
    // MOUNT waits for the new list rather than find it empty or half made.
    exports_hold hold;
    exports_lists_retire_active();
    config_write_string(kServerSection, "ExportsError", nullptr, -1);
    config_write_string(kServerSection, "ExportsLine", nullptr, -1);
    const std::string path = std::string(g_settings.data_dir) + "exports";
    std::string text;
    exports_report report;
    if (!read_whole_file(path.c_str(), text)) {
        report.error = EXPORTS_OPEN_FAILED;
        config_write_number(kServerSection, "ExportsError", int32_t(report.error), 0);
        log_printf(1, "mountd: %s\n", message_of(EXPORTS_OPEN_FAILED));
        return report;
    }
    log_printf(1, "\n------ Exported file systems ------\n");
    report = parse_all(text.data(), text.size());
    if (report.error != EXPORTS_OK) {
        config_write_number(kServerSection, "ExportsError", int32_t(report.error), 0);
        config_write_number(kServerSection, "ExportsLine", int32_t(report.line), 0);
    }
    log_printf(1, "-----------------------------------\n\n");
    log_flush();
    return report;
}
