#include "quen/mount/volume_probe.h"

#include "platform/file.h"
#include "quen/config/char_class.h"
#include "quen/config/settings.h"
#include "quen/inode/paths.h"
#include "rpc/log.h"

#include <cstring>

namespace {

void set_bit(uint32_t& flags, uint32_t bit, bool on) { flags = on ? flags | bit : flags & ~bit; }

}  // namespace

size_t volume_root_of(const char* path, char* buffer, size_t size) {
    if (!buffer || size == 0) return 0;
    if (!wp_get_volume_path_name(path, buffer, size)) {
        buffer[0] = 0;
        return 0;
    }
    return std::strlen(buffer);
}

bool volume_serial_of(const char* path, uint32_t* serial, uint32_t* max_component_length) {
    char root[2048];
    if (!volume_root_of(path, root, sizeof root)) return false;
    return wp_get_volume_information(root, nullptr, 0, serial, max_component_length, nullptr, nullptr, 0);
}

bool probe_volume(const char* export_path, uint32_t* flags_io, volume_probe_result* out) {
    if (!export_path || !flags_io) return false;
    uint32_t flags = *flags_io;
    const bool long_prefix = has_long_path_prefix(export_path);
    set_bit(flags, MOUNT_FLAG_LONG_PATH, long_prefix);
    set_bit(flags, MOUNT_FLAG_VOLUME_GUID, long_prefix && ascii_equal_ignoring_case(export_path + 4, "Volume{", 7));

    char root[2048];
    if (!volume_root_of(export_path, root, sizeof root)) return false;
    const uint32_t drive = wp_get_drive_type(root);
    if (drive == WP_DRIVE_UNKNOWN || drive == WP_DRIVE_NO_ROOT_DIR) return false;
    char volume_name[1024], fs_name[1024];
    uint32_t serial = 0, max_component = 0, fs_flags = 0;
    if (!wp_get_volume_information(root, volume_name, sizeof volume_name, &serial, &max_component, &fs_flags,
                                   fs_name, sizeof fs_name))
        return false;

    const server_config& s = g_settings.record;
    const bool remote = drive == WP_DRIVE_REMOTE;
    const bool ntfs = ascii_equal_ignoring_case(fs_name, "NTFS", 5);
    const bool local_ntfs = ntfs && !remote;
    const bool case_blind = !(fs_flags & (WP_FILE_CASE_SENSITIVE_SEARCH | WP_FILE_CASE_PRESERVED_NAMES));
    set_bit(flags, MOUNT_FLAG_FIXED_DRIVE, drive == WP_DRIVE_FIXED);
    set_bit(flags, MOUNT_FLAG_CASE_BLIND, case_blind);
    set_bit(flags, MOUNT_FLAG_REPARSE, fs_flags & WP_FILE_SUPPORTS_REPARSE_POINTS);
    set_bit(flags, MOUNT_FLAG_NTFS, ntfs);
    set_bit(flags, MOUNT_FLAG_HARD_LINKS,
            (wp_hard_links_available() && (fs_flags & WP_FILE_SUPPORTS_HARD_LINKS)) || local_ntfs);
    set_bit(flags, MOUNT_FLAG_FILE_ID,
            s.file_id && wp_file_ids_available() && !(flags & MOUNT_FLAG_CI) && local_ntfs);
    set_bit(flags, MOUNT_FLAG_SAVED_ATTRIBUTES, (s.save_attr || (flags & MOUNT_FLAG_SA)) && local_ntfs);
    set_bit(flags, MOUNT_FLAG_CASE_SENSITIVE,
            (s.save_attr || (flags & MOUNT_FLAG_CS)) && local_ntfs && !(flags & MOUNT_FLAG_LOWERCASE) && !case_blind);

    log_printf(2, "%s serial %x type %u/%s/%x name %s\n", root, serial, max_component, fs_name, flags, volume_name);
    *flags_io = flags;
    if (out) {
        out->serial = serial;
        out->max_component_length = max_component;
    }
    return true;
}
