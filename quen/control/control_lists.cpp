#include "quen/control/control_lists.h"

#include "control_client/control_protocol.h"
#include "quen/control/control_commands.h"
#include "quen/mount/export_entry.h"
#include "quen/mount/exports.h"
#include "quen/mount/mount_file.h"
#include "quen/mount/mount_table.h"

#include <cstring>

namespace {

static_assert(kExportImageSize == kControlExportImageSize);
static_assert(kMountImageSize == kControlMountPathOffset);

uint32_t end_of_list(uint8_t* reply) {
    control_put32(reply, CTL_OK);
    return 4;
}

uint32_t failed(uint8_t* reply, uint32_t code) {
    control_put32(reply, code);
    return 4;
}

uint32_t export_ref(const export_entry* e) { return e ? e->fixed.export_id : 0; }

// Length word 0: the first entry; else the reference in data bytes 0-3.
bool wants_first(const control_request& r, uint32_t* ref) {
    if (r.length == 0) return true;
    *ref = r.length >= 4 ? control_get32(r.data) : 0;
    return false;
}

export_entry* find_export(const control_request& r) {
    exports_hold hold;
    uint32_t ref = 0;
    if (wants_first(r, &ref)) return exports_active();
    if (ref == 0) return nullptr;
    for (export_entry* e = exports_active(); e; e = e->next)
        if (export_ref(e) == ref) return e;
    return nullptr;
}

uint32_t put_text(uint8_t* reply, const std::string& text) {
    if (text.empty() || text.size() + 1 > kControlDataMax) return end_of_list(reply);
    std::memcpy(reply + kControlHeaderSize, text.c_str(), text.size() + 1);
    return control_reply(reply, uint32_t(text.size() + 1));
}

}  // namespace

// Entries are never freed: one found stays valid once the exports lock is let go.
uint32_t control_get_export(control_session&, const control_request& r, uint8_t* reply) {
    exports_hold hold;   // for the link to the next entry
    const export_entry* e = find_export(r);
    if (!e) return end_of_list(reply);
    // The words that the server holds as pointers say only whether there is something.
    export_entry_image image = e->fixed;
    image.self_ref = export_ref(e);
    image.next_ref = export_ref(e->next);
    image.folder_ref = e->folder.empty() ? 0 : 1;
    image.alias_ref = e->alias.empty() ? 0 : 1;
    image.addresses_ref = e->addresses.empty() ? 0 : 1;
    std::memcpy(reply + kControlHeaderSize, &image, kExportImageSize);
    return control_reply(reply, kExportImageSize);
}

uint32_t control_get_export_folder(control_session&, const control_request& r, uint8_t* reply) {
    const export_entry* e = find_export(r);
    return e ? put_text(reply, e->folder) : end_of_list(reply);
}

uint32_t control_get_export_name(control_session&, const control_request& r, uint8_t* reply) {
    const export_entry* e = find_export(r);
    return e ? put_text(reply, e->alias) : end_of_list(reply);
}

uint32_t control_get_export_clients(control_session&, const control_request& r, uint8_t* reply) {
    const export_entry* e = find_export(r);
    if (!e) return end_of_list(reply);
    const uint32_t bytes = uint32_t(e->addresses.size() * 4);
    if (bytes > kControlDataMax) return end_of_list(reply);
    if (bytes) std::memcpy(reply + kControlHeaderSize, e->addresses.data(), bytes);
    return control_reply(reply, bytes);
}

uint32_t control_reload_exports(control_session&, const control_request&, uint8_t* reply) {
    exports_load();
    control_put32(reply, CTL_OK);
    return 4;
}

uint32_t control_remove_export(control_session&, const control_request& r, uint8_t* reply) {
    if (r.length == 0) return failed(reply, CTL_REMOVE_EXPORT);
    export_entry* e = find_export(r);
    if (!e || !export_remove(e)) return failed(reply, CTL_REMOVE_EXPORT);
    control_put32(reply, CTL_OK);
    return 4;
}

uint32_t control_get_mount(control_session& s, const control_request& r, uint8_t* reply) {
    // Lock order: the control lock (held by the caller), then the mount lock.
    mount_lock_hold hold;
    const std::vector<mount_entry_copy> table = mount_table_snapshot();
    uint32_t ref = 0;
    const bool first = wants_first(r, &ref);
    const mount_entry_copy* found = nullptr;
    for (const mount_entry_copy& m : table) {
        if (first || (ref != 0 && m.fixed.self_ref == ref)) {
            found = &m;
            break;
        }
    }
    if (!found) return end_of_list(reply);
    const std::string& path = found->path.empty() && found->exp ? found->exp->folder : found->path;
    const uint32_t length = kControlMountImageSize + uint32_t(path.size());
    if (kControlHeaderSize + length > kControlMessageMax) return end_of_list(reply);
    uint8_t* data = reply + kControlHeaderSize;
    std::memset(data, 0, length);
    mount_entry_image image = found->fixed;
    image.export_ref = export_ref(found->exp);   // the reference the export commands take
    // File handles are built from the mount identifier: only administrators see it.
    if (!s.admin) image.mount_id = 0;
    std::memcpy(data, &image, kMountImageSize);
    std::memcpy(data + kControlMountPathOffset, path.c_str(), path.size() + 1);
    return control_reply(reply, length);
}

uint32_t control_remove_mount(control_session&, const control_request& r, uint8_t* reply) {
    if (r.length < 4) return failed(reply, CTL_REMOVE_MOUNT);
    mount_lock_hold hold;
    if (!mount_remove(control_get32(r.data))) return failed(reply, CTL_REMOVE_MOUNT);
    mounttab_save(mounttab_path().c_str());
    control_put32(reply, CTL_OK);
    return 4;
}
