#include "quen/fs/parent_dir.h"

#include "quen/fs/attr.h"
#include "quen/fs/resolve.h"
#include "quen/inode/inode_tree.h"
#include "quen/inode/paths.h"
#include "quen/mount/export_entry.h"

#include <cstring>

namespace {

// Length of the volume part of the path ("C:\" is 3), as the export knows it.
size_t volume_prefix_of(const mount_context& ctx, const char* path) {
    if (ctx.entry) return ctx.entry->fixed.volume_prefix_length;
    char copy[kResolvePathSize];
    const size_t n = std::strlen(path);
    if (n >= sizeof copy) return 0;
    std::memcpy(copy, path, n + 1);
    return root_prefix_length(copy, sizeof copy);
}

}  // namespace

uint64_t parent_directory(const mount_context& ctx, uint64_t dir, char* path) {
    char* cut = std::strrchr(path, '\\');
    const size_t n = std::strlen(path);
    const size_t prefix = volume_prefix_of(ctx, path);
    if (!cut || prefix == 0 || prefix >= n) return 0;   // a volume root has no parent here
    const size_t at = size_t(cut - path);
    const size_t end = at + 1 == prefix ? at + 1 : at;   // "C:\dir" -> "C:\"
    const char saved = path[end];
    path[end] = '\0';
    if (!path_inside_mount(ctx, path, true)) {
        path[end] = saved;
        return 0;
    }
    if (ctx.flags & MOUNT_FLAG_FILE_ID) {
        uint64_t index = 0;
        return file_index_of(path, index) ? index : 0;
    }
    return dir <= 0xFFFFFFFFu ? inode_parent(uint32_t(dir)) : 0;
}
