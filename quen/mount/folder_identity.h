// A mounted folder's identity: the volume's file id in a file-id mount, else
// its inode number. The folder must be an existing directory.
#pragma once
#include <cstdint>

enum : uint32_t {
    MOUNT_FOLDER_OK = 0,
    MOUNT_FOLDER_MISSING = 2,
    MOUNT_FOLDER_NO_IDENTITY = 6,
    MOUNT_FOLDER_REFUSED = 13,   // the client or the whole table holds as many mounts as allowed
    MOUNT_FOLDER_NO_VOLUME = 19,
    MOUNT_FOLDER_NOT_DIRECTORY = 20,
};

// Result: MOUNT_FOLDER_*; *identity is non-zero on success.
uint32_t mount_folder_identity(const char* windows_path, uint32_t mount_flags, uint64_t* identity);
