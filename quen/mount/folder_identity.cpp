#include "quen/mount/folder_identity.h"

#include "platform/file.h"
#include "quen/inode/inode_tree.h"
#include "quen/mount/mount_context.h"

uint32_t mount_folder_identity(const char* windows_path, uint32_t mount_flags, uint64_t* identity) {
    *identity = 0;
    const uint32_t attributes = wp_get_file_attributes(windows_path);
    if (attributes == WP_INVALID_FILE_ATTRIBUTES) return MOUNT_FOLDER_MISSING;
    if (!(attributes & WP_FILE_ATTRIBUTE_DIRECTORY)) return MOUNT_FOLDER_NOT_DIRECTORY;
    if (mount_flags & MOUNT_FLAG_FILE_ID) {
        file_handle h(wp_create_file(windows_path, WP_FILE_READ_ATTRIBUTES, WP_FILE_SHARE_ALL, WP_OPEN_EXISTING,
                                     WP_FILE_FLAG_BACKUP_SEMANTICS));
        wp_file_information info{};
        if (!h.valid() || !wp_get_file_information_by_handle(h.get(), &info)) return MOUNT_FOLDER_NO_IDENTITY;
        *identity = info.file_index;
    } else {
        *identity = inode_of_path(windows_path);
    }
    return *identity ? MOUNT_FOLDER_OK : MOUNT_FOLDER_NO_IDENTITY;
}
