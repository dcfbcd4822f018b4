// Two facts read straight off the volume, below the attribute synthesis and
// the kept directory counts that both build on them.
#pragma once
#include <cstdint>

// The volume's file index of the file at path (not following a reparse point).
bool file_index_of(const char* path, uint64_t& index);

// Directory entries of path that are directories, "." and ".." included
// (added for a volume root, whose listing has neither): the link count of
// a directory.
uint32_t count_subdirectories(const char* path);
