// The folder a mount names: it must be an existing directory, and its
// identity is the volume's file id in a file-id mount, else its inode number.
// Every way of mounting (MNT, WebNFS, automatic mounts) records it the same.
#pragma once
#include "quen/mount/folder_identity.h"
#include "quen/mount/mount_context.h"
#include "quen/mount/mount_table.h"

#include <cstdint>
#include <string>

struct folder_mount {
    uint32_t status = MOUNT_FOLDER_NO_IDENTITY;   // MOUNT_FOLDER_*
    mount_record_result recorded = MOUNT_RECORD_FAILED;
    uint32_t mount_id = 0;
    uint64_t identity = 0;
};

// Probes the folder's volume, takes the folder's identity and records the
// mount of it through the export; "mounttab" is rewritten when the table
// changed. A failed record gives MOUNT_FOLDER_NO_IDENTITY.
folder_mount mount_folder_record(uint32_t client, export_entry* exp, const std::string& windows_path,
                                 uint32_t encoding, uint32_t origin);

// A context for translating client names under the export before any mount
// of it exists (the encoding is the request's effective one).
mount_context export_name_context(const export_entry& exp, uint32_t encoding);
