// The volume behind an export: its properties as mount flag bits, and the
// values of the calls that describe a file system (STATFS/FSSTAT, FSINFO,
// PATHCONF).
#pragma once
#include "quen/fs/attr.h"
#include "quen/fs/mount_context.h"

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

inline constexpr uint32_t kStatfsBlockSize = 4096;

struct statfs_values {
    uint64_t total_blocks;
    uint64_t free_blocks;   // also what NFS version 3 reports as available
    uint32_t block_size;
};
statfs_values statfs_from_bytes(uint64_t total_bytes, uint64_t total_free_bytes);
// Block counts of the volume holding root_path. Result: NFS status (5 on failure).
uint32_t volume_statfs(const char* root_path, statfs_values& out);

enum : uint32_t { FSINFO_LINK = 0x0001 };

// The FSINFO hard-link property: set when the server offers hard links and
// the mount's volume has them.
uint32_t fsinfo_properties(const mount_context& ctx, uint32_t properties);

struct pathconf_values {
    uint32_t link_max;
    uint32_t name_max;
    bool case_insensitive;
    bool case_preserving;
};
pathconf_values pathconf_of(const mount_context& ctx);
