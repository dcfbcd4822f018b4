// Export entries as option words and exports-file lines, and the rewrite of
// the file with its backup.
#include "quen/mount/export_text.h"

#include "platform/file.h"
#include "platform/file_replace.h"
#include "quen/config/settings.h"
#include "quen/mount/exports.h"
#include "quen/mount/mount_text.h"

#include <cstdio>
#include <cstring>

namespace {

exports_rewrite_step_hook g_step_hook = nullptr;

bool step(int which) { return !g_step_hook || g_step_hook(which); }

size_t put(char* text, size_t size, const char* s) {
    const int n = std::snprintf(text, size, "%s", s);
    return n < 0 ? 0 : size_t(n);
}


}  // namespace

size_t export_option_next(uint32_t* flags, uint32_t* entry_options, const export_entry& e, char* text,
                          size_t size) {
    struct plain {
        uint32_t bits;
        const char* text;
    };
    static const plain kFlagWords[] = {
        {MOUNT_FLAG_READONLY, "-readonly"}, {MOUNT_FLAG_LOWERCASE, "-lowercase"}, {MOUNT_FLAG_DC, "-dc"},
        {MOUNT_FLAG_EXEC, "-exec"},         {MOUNT_FLAG_NOSDC, "-nosdc"},         {MOUNT_FLAG_RP, "-rp"},
        {MOUNT_FLAG_ND, "-nd"},             {MOUNT_FLAG_CI, "-ci"},               {MOUNT_FLAG_I32, "-i32"},
    };
    const export_entry_image& f = e.fixed;
    uint32_t& fl = *flags;
    uint32_t& eo = *entry_options;
    if (size) text[0] = '\0';
    for (const plain& p : kFlagWords) {
        if (fl & p.bits) {
            fl &= ~p.bits;
            return put(text, size, p.text);
        }
    }
    char buf[64];
    if ((fl & MOUNT_FLAG_AT) == MOUNT_FLAG_AT) {
        fl &= ~MOUNT_FLAG_AT;
        return put(text, size, "-at");
    }
    if (fl & MOUNT_FLAG_SA) {
        fl &= ~MOUNT_FLAG_SA;
        return put(text, size, "-sa");
    }
    if (fl & MOUNT_FLAG_CS) {
        fl &= ~MOUNT_FLAG_CS;
        return put(text, size, "-cs");
    }
    if (fl & MOUNT_FLAG_UMASK) {
        fl &= ~MOUNT_FLAG_UMASK;
        std::snprintf(buf, sizeof buf, "-umask:%3.3o", f.umask);
        return put(text, size, buf);
    }
    if (fl & MOUNT_FLAG_SUB) {
        fl &= ~MOUNT_FLAG_SUB;
        if (f.sub_second)
            std::snprintf(buf, sizeof buf, "-sub:%u,%u", unsigned(f.sub_first), unsigned(f.sub_second));
        else
            std::snprintf(buf, sizeof buf, "-sub:%u", unsigned(f.sub_first));
        return put(text, size, buf);
    }
    if (fl & MOUNT_FLAG_MAPROOT) {
        fl &= ~MOUNT_FLAG_MAPROOT;
        if (f.maproot_gid)
            std::snprintf(buf, sizeof buf, "-maproot:%d:%d", int(f.maproot_uid), int(f.maproot_gid));
        else
            std::snprintf(buf, sizeof buf, "-maproot:%d", int(f.maproot_uid));
        return put(text, size, buf);
    }
    if (fl & (MOUNT_FLAG_MAPALL | MOUNT_FLAG_MAPALL_GROUP)) {
        if (fl & MOUNT_FLAG_MAPALL_GROUP)
            std::snprintf(buf, sizeof buf, "-mapall:%d:%d", int(f.mapall_uid), int(f.mapall_gid));
        else
            std::snprintf(buf, sizeof buf, "-mapall:%d", int(f.mapall_uid));
        fl &= ~(MOUNT_FLAG_MAPALL | MOUNT_FLAG_MAPALL_GROUP);
        return put(text, size, buf);
    }
    if (fl & (MOUNT_FLAG_UID | MOUNT_FLAG_UID_GROUP)) {
        if (fl & MOUNT_FLAG_UID_GROUP)
            std::snprintf(buf, sizeof buf, "-uid:%d:%d", int(f.uid_uid), int(f.uid_gid));
        else
            std::snprintf(buf, sizeof buf, "-uid:%d", int(f.uid_uid));
        fl &= ~(MOUNT_FLAG_UID | MOUNT_FLAG_UID_GROUP);
        return put(text, size, buf);
    }
    static const plain kEntryWords[] = {
        {EXPORT_ALLDIRS, "-alldirs"}, {EXPORT_HIDE, "-hide"}, {EXPORT_PUBLIC, "-public"}, {EXPORT_RANGE, "-range"}};
    for (const plain& p : kEntryWords) {
        if (eo & p.bits) {
            eo &= ~p.bits;
            return put(text, size, p.text);
        }
    }
    return 0;
}

size_t export_encoding_text(const export_entry& e, char* text, size_t size) {
    static const char* const kWords[] = {"-a", "-w", "-u"};
    if (e.fixed.name_encoding > NAME_ENCODING_UTF8) {
        if (size) text[0] = '\0';
        return 0;
    }
    return put(text, size, kWords[e.fixed.name_encoding]);
}

namespace {
const char kUtf8Mark[] = "\xEF\xBB\xBF";
}  // namespace

std::string export_line_text(const export_entry& e, bool with_identifier, bool utf8) {
    std::string line;
    char buf[2048 + 16];
    if (with_identifier) {
        std::snprintf(buf, sizeof buf, "%8.8x ", e.fixed.export_id);
        line += buf;
    }
    std::string folder = utf8 ? e.folder : ansi_text(e.folder);
    // A carriage return counts as a blank when the file is read, so it is quoted too.
    if (folder.find_first_of(" \t\r") != std::string::npos) folder = "\"" + folder + "\"";
    if (folder.size() < 16) folder.resize(16, ' ');
    line += folder;
    if (!e.alias.empty()) line += " -name:" + (utf8 ? e.alias.substr(1) : ansi_text(e.alias.substr(1)));
    if (export_encoding_text(e, buf, sizeof buf)) line += std::string(" ") + buf;
    uint32_t flags = e.fixed.mount_flags;
    uint32_t options = e.fixed.entry_options;
    while ((flags || options) && export_option_next(&flags, &options, e, buf, sizeof buf))
        line += std::string(" ") + buf;
    if (!e.addresses.empty()) {
        line += ' ';
        for (uint32_t a : e.addresses) {
            const auto* b = reinterpret_cast<const unsigned char*>(&a);
            std::snprintf(buf, sizeof buf, " %u.%u.%u.%u", b[0], b[1], b[2], b[3]);
            line += buf;
        }
    }
    line += '\n';
    return line;
}

void exports_rewrite_set_step_hook(exports_rewrite_step_hook hook) { g_step_hook = hook; }

bool exports_need_utf8() {
    for (export_entry* e = exports_active(); e; e = e->next)
        for (const std::string* t : {&e->folder, &e->alias})
            for (unsigned char c : *t)
                if (c >= 0x80) return true;
    return false;
}

bool exports_rewrite() {
    const std::string dir = g_settings.data_dir;
    const std::string current = dir + "exports";
    const std::string old = dir + "exports.old";
    if (!step(REWRITE_STEP_DELETE_OLD)) return false;
    wp_delete_file(old.c_str());
    if (!step(REWRITE_STEP_RENAME)) return false;
    if (!wp_move_file(current.c_str(), old.c_str())) return false;
    if (!step(REWRITE_STEP_OPEN)) return false;
    file_handle in(wp_create_file(old.c_str(), WP_GENERIC_READ, WP_FILE_SHARE_READ, WP_OPEN_EXISTING,
                                  WP_FILE_ATTRIBUTE_NORMAL));
    if (!in.valid()) return false;
    if (!step(REWRITE_STEP_COPY_HEADER)) return false;
    // The header comment: the leading lines that begin with "#".
    std::string header;
    bool at_line_start = true, in_comment = false, done = false;
    char chunk[4096];
    uint32_t got = 0;
    while (!done && wp_read_file(in.get(), chunk, sizeof chunk, &got) && got > 0) {
        for (uint32_t i = 0; i < got && !done; ++i) {
            const char c = chunk[i];
            if (at_line_start) {
                if (c != '#') {
                    done = true;
                    break;
                }
                in_comment = true;
                at_line_start = false;
            }
            if (in_comment) header += c;
            if (c == '\n') at_line_start = true;
        }
    }
    if (!header.empty() && header.back() != '\n') header += '\n';
    in.reset();
    const bool utf8 = exports_need_utf8();
    if (header.compare(0, 3, kUtf8Mark) == 0) header.erase(0, 3);
    std::string text = (utf8 ? kUtf8Mark : "") + header;
    for (export_entry* e = exports_active(); e; e = e->next) {
        if (!step(REWRITE_STEP_WRITE_ENTRY)) return false;
        text += export_line_text(*e, false, utf8);
    }
    if (!step(REWRITE_STEP_CLOSE)) return false;
    // The new file appears whole or not at all; until then "exports.old" holds the old one.
    return file_replace_contents(current.c_str(), text);
}
