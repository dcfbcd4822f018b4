#include "quen/mount/mount_folder.h"

#include "platform/file.h"
#include "quen/mount/volume_probe.h"
#include "quen/inode/inode_tree.h"
#include "quen/mount/mount_file.h"

folder_mount mount_folder_record(uint32_t client, export_entry* exp, const std::string& windows_path,
                                 uint32_t encoding, uint32_t origin) {
    folder_mount m;
    uint32_t flags = exp->fixed.mount_flags;
    volume_probe_result volume{exp->fixed.volume_serial, exp->fixed.max_name_length};
    if (!probe_volume(windows_path.c_str(), &flags, &volume)) {
        m.status = MOUNT_FOLDER_NO_VOLUME;
        return m;
    }
    m.status = mount_folder_identity(windows_path.c_str(), flags, &m.identity);
    if (m.status != MOUNT_FOLDER_OK) return m;
    mount_request r;
    r.client = client;
    r.path = windows_path;
    r.exp = exp;
    r.root_identity = m.identity;
    r.volume_serial = volume.serial;
    r.max_name_length = volume.max_component_length;
    r.flags = flags;
    r.encoding = encoding;
    r.origin = origin;
    m.recorded = mount_record(r, &m.mount_id);
    if (m.recorded == MOUNT_RECORD_FAILED || m.recorded == MOUNT_RECORD_FULL) {
        m.status = m.recorded == MOUNT_RECORD_FULL ? MOUNT_FOLDER_REFUSED : MOUNT_FOLDER_NO_IDENTITY;
        return m;
    }
    mounttab_save(mounttab_path().c_str());
    return m;
}

mount_context export_name_context(const export_entry& exp, uint32_t encoding) {
    mount_context ctx{};
    ctx.max_component_length = exp.fixed.max_name_length;
    ctx.volume_serial = exp.fixed.volume_serial;
    ctx.flags = exp.fixed.mount_flags;
    ctx.name_encoding = encoding;
    ctx.sub_colon = exp.fixed.sub_first;
    ctx.sub_question = exp.fixed.sub_second;
    ctx.entry = &exp;
    ctx.mounted_path = exp.folder.c_str();
    return ctx;
}
