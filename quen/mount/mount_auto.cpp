// Automatic mounts: a folder of a file-id mount that is the root of another
// volume gets a mount of its own, so that its files get handles on that
// volume. "Automount" decides which export the new mount goes through.
#include "quen/config/settings.h"
#include "quen/mount/exports.h"
#include "quen/mount/mount_folder.h"
#include "quen/mount/mount_implicit.h"
#include "quen/mount/mount_text.h"
#include "rpc/log.h"

#include <string>

bool mount_auto(uint32_t client, const char* windows_path, const mount_context& ctx, uint64_t* identity,
                uint32_t* mount_id) {
    const uint32_t mode = g_settings.record.automount;
    if (mode == 0) return false;
    const std::string who = dotted_ipv4(client);
    log_event(2, "mountd: auto_mount request %s %s\n", who.c_str(), ansi_text(windows_path).c_str());
    const std::string client_form = client_path_form(windows_path);
    export_entry* exp = nullptr;
    std::string windows;
    uint32_t encoding = ctx.name_encoding;
    bool found = false;
    if (mode <= 2 && !client_form.empty()) {
        // The path comes from the volume, so it is UTF-8 whatever the client uses.
        uint32_t as_read = NAME_ENCODING_UTF8;
        found = export_find(client_form.c_str(), client, &as_read, &exp, &windows) == 0 && exp;
        if (found && exp->fixed.name_encoding != EXPORT_ENCODING_AUTOMATIC) encoding = exp->fixed.name_encoding;
    }
    if (!found && mode != 1 && ctx.entry) {
        // The export being browsed. Its mount count is the table's own
        // bookkeeping on the entry, which lives as long as the server.
        exp = const_cast<export_entry*>(ctx.entry);
        windows = windows_path;
        encoding = ctx.name_encoding;
        found = true;
    }
    if (found) {
        const folder_mount m = mount_folder_record(client, exp, windows, encoding, ctx.origin | MOUNT_ORIGIN_AUTO);
        if (m.status == MOUNT_FOLDER_OK) {
            if (m.recorded == MOUNT_RECORD_NEW)
                log_event(1, "mount auto %s %s\n", who.c_str(), ansi_text(windows).c_str());
            else
                log_event(2, "mount auto %x %s %s\n", unsigned(m.mount_id), who.c_str(), ansi_text(windows).c_str());
            *identity = m.identity;
            *mount_id = m.mount_id;
            return true;
        }
    }
    log_event(2, "mountd: auto_mount failed %s\n", ansi_text(windows_path).c_str());
    return false;
}
