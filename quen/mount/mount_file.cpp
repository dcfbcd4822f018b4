#include "quen/mount/mount_file.h"

#include "platform/file.h"
#include "platform/file_replace.h"
#include "quen/config/settings.h"
#include "quen/inode/paths.h"
#include "quen/mount/volume_probe.h"
#include "quen/mount/exports.h"
#include "quen/mount/folder_identity.h"
#include "quen/mount/mount_path.h"
#include "rpc/log.h"

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// The text last written or read, guarded by the mount lock.
std::string g_last_text;
bool g_last_known = false;

uint32_t swap32(uint32_t v) {
    return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
}

// One "%x " field: 1 to 8 hexadecimal digits and a single space.
bool take_hex(const char*& p, const char* end, uint32_t* out) {
    uint32_t value = 0;
    int digits = 0;
    while (p < end && digits <= 8) {
        const char c = *p;
        int d;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else break;
        value = (value << 4) | uint32_t(d);
        ++digits;
        ++p;
    }
    if (digits == 0 || digits > 8 || p >= end || *p != ' ') return false;
    ++p;
    *out = value;
    return true;
}

bool read_whole_file(const char* path, std::string& out, bool* opened) {
    *opened = false;
    file_handle h(wp_create_file(path, WP_GENERIC_READ, WP_FILE_SHARE_READ, WP_OPEN_EXISTING,
                                 WP_FILE_ATTRIBUTE_NORMAL));
    if (!h.valid()) return false;
    *opened = true;
    uint32_t high = 0;
    const uint32_t low = wp_get_file_size(h.get(), &high);
    if (low == WP_INVALID_FILE_SIZE && high == 0) return false;
    // A table grown past the limit still gives its first (newest) lines
    // rather than none; the line the limit cuts is left out.
    const bool cut = high != 0 || low > kMounttabMaxBytes;
    const uint32_t size = cut ? uint32_t(kMounttabMaxBytes) : low;
    out.resize(size);
    uint32_t done = 0;
    if (size && (!wp_read_file(h.get(), out.data(), size, &done) || done != size)) return false;
    if (cut) {
        const size_t last = out.rfind('\n');
        out.resize(last == std::string::npos ? 0 : last + 1);
        log_printf(1, "mountd: %s is larger than %u bytes, only its first lines are read\n", path,
                   unsigned(kMounttabMaxBytes));
    }
    return true;
}

}  // namespace

std::string mounttab_path() {
    const char* dir = g_settings.data_dir[0] ? g_settings.data_dir : g_settings.program_dir;
    return std::string(dir) + "mounttab";
}

bool mounttab_parse_line(const char* text, size_t length, mounttab_line* out) {
    if (length && text[length - 1] == '\r') --length;
    if (std::memchr(text, 0, length)) return false;
    const char* p = text;
    const char* end = text + length;
    uint32_t client = 0;
    if (!take_hex(p, end, &client) || !take_hex(p, end, &out->origin) || !take_hex(p, end, &out->encoding) ||
        !take_hex(p, end, &out->mount_id))
        return false;
    out->client = swap32(client);
    const size_t rest = size_t(end - p);
    if (rest == 0) return false;
    // Each of the two paths may be as long as the table holds one.
    const char* bar = static_cast<const char*>(std::memchr(p, '|', rest));
    if (bar) {
        if (bar == p || bar + 1 == end) return false;
        out->mounted_path.assign(p, bar);
        out->folder.assign(bar + 1, end);
    } else {
        out->mounted_path.assign(p, end);
        out->folder = out->mounted_path;
    }
    return out->mounted_path.size() <= kMountPathMax && out->folder.size() <= kMountPathMax;
}

std::string mounttab_format_line(const mount_entry_copy& e) {
    char numbers[64];
    std::snprintf(numbers, sizeof numbers, "%x %x %x %x ", unsigned(swap32(e.fixed.client_address)),
                  unsigned(e.fixed.origin), unsigned(e.fixed.name_encoding), unsigned(e.fixed.mount_id));
    std::string line = numbers;
    if (!e.path.empty()) line += e.path + "|";
    if (e.exp) line += e.exp->folder;
    line += '\n';
    return line;
}

std::string mounttab_text() {
    std::string text;
    for (const mount_entry_copy& e : mount_table_snapshot()) text += mounttab_format_line(e);
    return text;
}

bool mounttab_restore(const mounttab_line& line) {
    // A mount made by MNT comes back only as a fresh MNT of its folder would
    // be admitted now (-alldirs, the export and the client's admission may
    // have gone); WebNFS and automatic mounts need their export to admit
    // the client still.
    const bool by_mnt = !(line.origin & (MOUNT_ORIGIN_WEBNFS | MOUNT_ORIGIN_AUTO));
    char client_form[kMountPathMax + 1];
    if (windows_path_to_nfs((by_mnt ? line.mounted_path : line.folder).c_str(), client_form, sizeof client_form) == 0)
        return false;
    uint32_t encoding = NAME_ENCODING_UTF8;   // the stored paths are UTF-8 whatever the client spoke
    export_entry* exp = nullptr;
    std::string windows_path;
    const char* refusal = nullptr;
    if (export_find(client_form, line.client, &encoding, &exp, &windows_path) != 0 || exp == nullptr)
        refusal = "no export admits it";
    else if (by_mnt && !mount_path_inside_export(*exp, line.mounted_path))
        refusal = "its path leaves the export";
    if (refusal) {
        log_printf(1, "mountd: mount %x of %s dropped, %s\n", unsigned(line.mount_id), line.mounted_path.c_str(),
                   refusal);
        return false;
    }
    uint32_t flags = exp->fixed.mount_flags;
    volume_probe_result volume{exp->fixed.volume_serial, exp->fixed.max_name_length};
    if (!probe_volume(line.mounted_path.c_str(), &flags, &volume)) return false;
    uint64_t identity = 0;
    if (mount_folder_identity(line.mounted_path.c_str(), flags, &identity) != MOUNT_FOLDER_OK) return false;
    mount_request r;
    r.client = line.client;
    r.path = line.mounted_path;
    r.exp = exp;
    r.root_identity = identity;
    r.volume_serial = volume.serial;
    r.max_name_length = volume.max_component_length;
    r.flags = flags;
    r.encoding = line.encoding;
    r.origin = line.origin;
    r.given_id = line.mount_id;
    const mount_record_result recorded = mount_record(r, nullptr);
    return recorded == MOUNT_RECORD_NEW || recorded == MOUNT_RECORD_EXISTING;
}

mounttab_load_report mounttab_load(const char* path, mounttab_restore_fn restore) {
    mounttab_load_report report;
    std::string text;
    if (!read_whole_file(path, text, &report.opened)) {
        if (report.opened) log_printf(1, "mountd: cannot read %s\n", path);
        return report;
    }
    report = mounttab_load_text(text.data(), text.size(), restore);
    report.opened = true;
    return report;
}

mounttab_load_report mounttab_load_text(const char* data, size_t size, mounttab_restore_fn restore) {
    mounttab_load_report report;
    const std::string text(data, size);
    // The file holds the list newest first and every restored mount goes to
    // the head, so the lines are restored from the last one up: the table
    // keeps its order across restarts.
    std::vector<mounttab_line> lines;
    size_t line_number = 0;
    for (size_t at = 0; at < text.size();) {
        const size_t newline = text.find('\n', at);
        const size_t end = newline == std::string::npos ? text.size() : newline;
        ++line_number;
        mounttab_line line;
        if (end == at) {
            // An empty line carries nothing; it is dropped at the next rewrite.
        } else if (!mounttab_parse_line(text.data() + at, end - at, &line)) {
            ++report.damaged;
            log_printf(1, "mountd: mounttab line %u damaged, skipped\n", unsigned(line_number));
        } else {
            lines.push_back(std::move(line));
        }
        at = end + 1;
    }
    for (size_t i = lines.size(); i-- > 0;) {
        if (restore && restore(lines[i])) ++report.restored;
        else ++report.dropped;
    }
    mount_lock_hold hold;
    g_last_text = text;
    g_last_known = true;
    return report;
}

mounttab_save_result mounttab_save(const char* path) {
    mount_lock_hold hold;
    std::string text = mounttab_text();
    if (g_last_known && text == g_last_text) return MOUNTTAB_UNCHANGED;
    if (!file_replace_contents(path, text)) {
        log_printf(2, "mountd: cannot write %s\n", path);
        return MOUNTTAB_FAILED;
    }
    g_last_text = std::move(text);
    g_last_known = true;
    return MOUNTTAB_WRITTEN;
}

void mounttab_forget() {
    mount_lock_hold hold;
    g_last_text.clear();
    g_last_known = false;
}
