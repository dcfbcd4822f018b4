// Replacing a file of the POSIX backend's own (the registry store, unit
// files) in one step: the new text goes to a hidden temporary beside it,
// reaches the disk, and only then takes the file's name, so a crash leaves
// the old file or the new one, never a part.
#pragma once
#include <sys/types.h>

#include <string>

enum replace_mode {
    REPLACE_EXISTING = 0,  // the new file takes the name, whether it exists or not
    REPLACE_CREATE_NEW = 1,  // fails with EEXIST when the file exists
};

// Writes `text` as `path` with the permission bits `mode`. Result: 0, or the
// errno of the step that failed (the temporary is then gone).
int replace_native_file(const std::string& path, const std::string& text, mode_t mode, replace_mode how);
// Makes the names in `dir` durable (fsync of the directory); errors are ignored.
void sync_directory(const std::string& dir);
