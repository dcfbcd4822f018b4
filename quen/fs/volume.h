// The values of the calls that describe a file system (STATFS/FSSTAT,
// FSINFO, PATHCONF) for the volume behind a mount.
#pragma once
#include "quen/fs/attr.h"
#include "quen/mount/mount_context.h"
#include "quen/mount/volume_probe.h"

#include <cstddef>
#include <cstdint>

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
