// The folder a mount names: it must be an existing directory, and its
// identity is the volume's file id in a file-id mount, else its inode number.
#pragma once
#include <cstdint>

enum : uint32_t {
    MOUNT_FOLDER_OK = 0,
    MOUNT_FOLDER_MISSING = 2,
    MOUNT_FOLDER_NOT_DIRECTORY = 20,
    MOUNT_FOLDER_NO_IDENTITY = 6,
};

// Result: MOUNT_FOLDER_*; *identity is non-zero on success.
uint32_t mount_folder_identity(const char* windows_path, uint32_t mount_flags, uint64_t* identity);
