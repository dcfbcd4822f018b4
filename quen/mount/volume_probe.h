// The volume behind an export: its properties as mount flag bits, probed
// when exports are loaded and folders mounted.
#pragma once
#include "quen/mount/mount_context.h"

#include <cstddef>
#include <cstdint>

struct volume_probe_result {
    uint32_t serial;
    uint32_t max_component_length;
};

// Recomputes the MOUNT_FLAGS_PROBED bits of *flags for the export path (the
// option bits already in *flags decide those that depend on options).
// false when the volume cannot be found or described; *flags is then left
// as it was.
bool probe_volume(const char* export_path, uint32_t* flags, volume_probe_result* out);

// The root of the volume holding path, with its trailing backslash, into
// buffer. Result: its length, 0 on failure.
size_t volume_root_of(const char* path, char* buffer, size_t size);
bool volume_serial_of(const char* path, uint32_t* serial, uint32_t* max_component_length);
