// The tree of names on the inode table: one record per file or directory a
// client has reached, children in sorted, case-insensitive lists, and link
// bases that give all hard links of a file one number. Inode 0 means none.
// Every operation holds the table lock; those that change records flush
// when enough has changed.
#pragma once
#include <cstddef>
#include <cstdint>

inline constexpr size_t kInodePathSize = 2048;

// Walks or extends the tree along a full Windows path ("C:\a\b",
// "\\?\C:\a", "\\server\share\a"). 0 for a path with "..", or on failure.
uint32_t inode_of_path(const char* path);
// The child of dir (0: the top level) with the name, or 0; "." is dir itself.
uint32_t inode_lookup(uint32_t dir, const char* name, size_t length);
// Finds or creates the child. 0 when dir is invalid or a file on a link
// ring, or the table is full.
uint32_t inode_enter(uint32_t dir, const char* name, size_t length);
// The Windows path of an inode into out (kInodePathSize bytes). Result: the
// length, or 0 (out empty) when the path cannot be rebuilt.
size_t inode_path(uint32_t inode, char* out);
// Whether the number names a record of the open table.
bool inode_is_live(uint32_t inode);
// The parent directory, 0 when invalid or top-level.
uint32_t inode_parent(uint32_t inode);
void inode_mark_seen(uint32_t inode);
// state > 0 sets the busy flag, 0 clears it, < 0 only asks. Result: the
// previous busy state (-1 for an invalid inode).
int inode_set_busy(uint32_t inode, int state);
// Deletes the record and everything below it; a busy record is kept (and
// reported as a success). false for an invalid inode.
bool inode_delete(uint32_t inode);
bool inode_delete_forced(uint32_t inode);
// Moves the record to new_dir under new_name, keeping its number; an
// existing record under that name is deleted first.
bool inode_rename(uint32_t inode, uint32_t old_dir, uint32_t new_dir, const char* old_name, size_t old_length,
                  const char* new_name, size_t new_length);
// After a complete listing of dir: clears the seen flags and deletes the
// children that were not seen and whose files are gone.
void inode_purge_unseen(uint32_t dir);

// Hard links. Result: the number to report for the file (the base's).
uint32_t inode_link_base(uint32_t path_inode, uint32_t index_low, uint32_t index_high, uint32_t volume_serial);
void inode_link_add(uint32_t base, uint32_t path_inode);
uint32_t inode_base_of(uint32_t inode);
// Folds a base back into its only remaining name. false for a non-base.
bool inode_unlink_base(uint32_t base);
