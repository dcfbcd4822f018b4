// The WebNFS mount: a LOOKUP on the public handle names a folder by a path
// relative to the public export, by an absolute client path, or by a native
// Windows path (led by the byte 0x80), and mounts it on the fly.
#include "platform/codepage.h"
#include "quen/config/settings.h"
#include "quen/fs/names.h"
#include "quen/fs/nfs_status.h"
#include "quen/mount/exports.h"
#include "quen/mount/mount_folder.h"
#include "quen/mount/mount_path.h"
#include "quen/fs/mount_webnfs.h"
#include "quen/mount/mount_text.h"
#include "rpc/log.h"

#include <cstring>
#include <string>

namespace {

constexpr char kNativeMark = '\x80';

bool drive_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// head followed by the end of text or a slash; the rest goes to *rest.
bool split_head(const std::string& text, const std::string& head, std::string* rest) {
    if (head.empty() || text.compare(0, head.size(), head) != 0) return false;
    if (text.size() > head.size() && text[head.size()] != '/' && head.back() != '/') return false;
    *rest = text.substr(head.size());
    return true;
}

// The client-form path below the public export, and the Windows path it
// names, built one component at a time through the name translation.
uint32_t below_public(const export_entry& pub, uint32_t encoding, const std::string& rest, std::string* client_form,
                      std::string* windows) {
    const mount_context ctx = export_name_context(pub, encoding);
    char path[kNamePathSize];
    if (pub.folder.size() >= sizeof path) return NFSERR_NAMETOOLONG;
    std::memcpy(path, pub.folder.c_str(), pub.folder.size() + 1);
    std::string shown = client_path_form(pub.folder);
    size_t at = 0;
    while (at <= rest.size()) {
        size_t end = rest.find('/', at);
        if (end == std::string::npos) end = rest.size();
        const std::string component = rest.substr(at, end - at);
        at = end + 1;
        if (component.empty() || component == ".") continue;
        if (shown.size() + 1 + component.size() > kWebnfsPathMax) return NFSERR_NAMETOOLONG;
        shown += '/';
        shown += component;
        // ".." and every name Windows cannot hold are refused here, so the
        // path never leaves the export.
        if (nfs_name_to_windows(ctx, path, component.data(), component.size(), nullptr) != NAME_OK)
            return NFSERR_ACCES;
    }
    *client_form = shown;
    *windows = path;
    return NFS_OK;
}

}  // namespace

uint32_t mount_webnfs(internal_handle* dir, char* name, size_t* name_length, size_t name_size, uint32_t client,
                      uint32_t protocol, uint32_t stamp) {
    if (!g_settings.record.webnfs) return NFSERR_STALE;
    if (name_size < 2) return NFSERR_INVAL;
    std::string text(name, *name_length);
    if (text.find('\0') != std::string::npos) return NFSERR_ACCES;
    const uint32_t detected = request_name_encoding(stamp);
    uint32_t encoding = detected;
    export_entry* pub = nullptr;
    std::string ignored;
    if (export_find(nullptr, client, &encoding, &pub, &ignored) != 0) {
        pub = nullptr;
        encoding = detected;
    }

    const bool native = !text.empty() && text[0] == kNativeMark;
    if (native) {
        text.erase(0, 1);
        const bool drive = text.size() >= 2 && drive_letter(text[0]) && text[1] == ':';
        if (!drive && text.compare(0, 2, "\\\\") != 0) return NFSERR_ACCES;
    }
    // With a public export the path is read in its encoding here; without
    // one the export match reads it.
    if (pub && encoding == NAME_ENCODING_CODE_PAGE && !text.empty()) {
        char converted[kNamePathSize];
        if (text.size() >= sizeof converted) return NFSERR_NAMETOOLONG;
        std::memcpy(converted, text.c_str(), text.size() + 1);
        if (codepage_to_utf8(g_settings.record.code_page, converted, sizeof converted) == 0) return NFSERR_ACCES;
        text = converted;
    }
    if (native) {
        text = client_path_form(text);
        if (text.empty()) return NFSERR_NAMETOOLONG;
    }

    export_entry* exp = pub;
    std::string shown, windows;
    if (pub) {
        const std::string folder_form = client_path_form(pub->folder);
        std::string rest;
        if (native || text[0] == '/') {
            const std::string& head = (!native && !pub->alias.empty()) ? pub->alias : folder_form;
            if (!split_head(text, head, &rest)) return NFSERR_ACCES;
        } else {
            rest = text;
        }
        // A code-page name is UTF-8 by now; the mount keeps the client's encoding.
        const uint32_t read_as = encoding == NAME_ENCODING_CODE_PAGE ? NAME_ENCODING_UTF8 : encoding;
        if (const uint32_t st = below_public(*pub, read_as, rest, &shown, &windows); st != NFS_OK) return st;
    } else {
        if (!native && (text.empty() || text[0] != '/')) return NFSERR_ACCES;
        if (text.size() > kWebnfsPathMax) return NFSERR_NAMETOOLONG;
        encoding = detected;
        if (export_find(text.c_str(), client, &encoding, &exp, &windows) != 0 || !exp) return NFSERR_ACCES;
        shown = text;
    }

    // As for MNT: no folder through a link or junction below the export,
    // whose handles would name what lies where it leads.
    if (!mount_path_inside_export(*exp, windows)) return NFSERR_ACCES;
    const folder_mount m = mount_folder_record(client, exp, windows, encoding, protocol | MOUNT_ORIGIN_WEBNFS);
    if (m.status == MOUNT_FOLDER_NO_VOLUME) return NFSERR_NODEV;
    if (m.status != MOUNT_FOLDER_OK) return NFSERR_NOENT;
    *dir = handle_make(uint32_t(m.identity), uint32_t(m.identity >> 32), m.mount_id);
    name[0] = '.';
    name[1] = 0;
    *name_length = 1;
    log_event(1, "mount webnfs %s %s\n", dotted_ipv4(client).c_str(), ansi_text(shown).c_str());
    return NFS_OK;
}
