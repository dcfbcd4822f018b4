// The named entry a namespace change works on (the file being removed,
// renamed or replaced), the marks it carries meanwhile, and the directory
// records the reply carries.
#pragma once
#include "quen/fs/attr.h"
#include "quen/fs/dir_change.h"

#include <cstddef>
#include <cstdint>

inline constexpr uint32_t kBlockingAttributes =
    WP_FILE_ATTRIBUTE_READONLY | WP_FILE_ATTRIBUTE_HIDDEN | WP_FILE_ATTRIBUTE_SYSTEM;

struct named_entry {
    char path[kNamePathSize];
    size_t name_pos;            // of its last component in path
    file_attributes attrs;      // type, mode, owner
    uint32_t windows;           // Windows attributes; WP_INVALID_FILE_ATTRIBUTES when missing

    const char* windows_name() const { return path + name_pos; }
    bool exists() const { return windows != WP_INVALID_FILE_ATTRIBUTES; }
    bool reparse() const { return exists() && (windows & WP_FILE_ATTRIBUTE_REPARSE_POINT); }
};

// The directory's attributes before and after the change (version 3 asks
// for them; the after record is read only when the change was made).
struct dir_attributes_pair {
    file_attributes before;
    file_attributes after;
};

// The client name translated below dir_path and looked up (case-exact in a
// case-sensitive mount). Result: the name's status; a missing entry is
// NFS_OK with e.exists() false.
uint32_t find_named_entry(const dir_change& d, const char* name, size_t name_length, named_entry& e);

// Removing or renaming the entry: a write bit on it or ownership (13), and
// in a sticky directory ownership (1).
uint32_t may_take_away(const dir_change& d, const file_attributes& entry);

// The record the inode table has for a name of the directory (0: none, or
// file id mode).
uint32_t inode_of_name(const dir_change& d, const char* windows_name);

// The volume's view of the entry, not following a reparse point.
struct entry_facts {
    bool ok;
    uint32_t links;
    uint64_t file_index;
};
entry_facts facts_of(const char* path);

// The record of a name being removed or renamed, marked busy so that a
// listing meanwhile keeps it; the mark goes again unless the record does.
struct busy_mark {
    uint32_t inode = 0;
    busy_mark() = default;
    busy_mark(const busy_mark&) = delete;
    busy_mark& operator=(const busy_mark&) = delete;
    void mark(uint32_t record);
    void deleted();     // the record goes with the name
    void taken();       // the record lives on (renamed), without the mark
    ~busy_mark();
};

// Reads the directory's record after a change, into out.after.
void read_dir_after(const dir_change& d, bool with_dir_attributes, dir_attributes_pair& out);

// A Win32 failure logged (unless quiet) and mapped.
uint32_t change_failed(const char* format, uint32_t error, const char* path, bool quiet);
