// Helpers shared by the tree operations; all run under the table lock and
// hold offsets, never addresses, across an allocation (the view may move).
#pragma once
#include "quen/inode/inode_table.h"

#include <cstddef>
#include <cstdint>

// Byte offsets of link fields: a place that holds the number of a record.
inline constexpr uint32_t kRootSlot = offsetof(table_header, root_head);
inline constexpr uint32_t kBaseListSlot = offsetof(table_header, link_base_head);
inline uint32_t next_slot(uint32_t record) { return record + uint32_t(offsetof(inode_record, next)); }
inline uint32_t child_slot(uint32_t record) { return record + uint32_t(offsetof(inode_record, child)); }
inline uint32_t& slot(uint32_t at) { return *reinterpret_cast<uint32_t*>(g_inode_table.base + at); }
// Bound of every walk: no list can be longer than the table has blocks.
inline uint32_t walk_limit() { return g_inode_table.total / kBlockSize + 1; }

// Name storage (inode_names.cpp).
uint32_t read_name(const inode_record* r, char* out);   // out: 512 bytes; the length
int compare_names(const char* a, size_t a_length, const char* b, size_t b_length);
// Equal for names that compare equal in the same directory.
uint32_t name_hash(uint32_t dir, const char* name, size_t length);
bool name_storable(const char* name, size_t length);
// Stores the name in the record at `record` (new chain first, then the old
// chain freed). false when a continuation block cannot be had.
bool store_name(uint32_t record, const char* name, uint32_t length);
void free_name_chain(uint32_t record);

struct child_place {
    uint32_t found = 0;      // the record with the name
    uint32_t link = 0;       // slot to link a new record into
    uint32_t successor = 0;  // what the new record's next must be
    bool can_insert = false; // dir is a directory that can take a child
};
child_place find_child(uint32_t dir, const char* name, size_t length);
// Drops what lookups remembered of the table's lists: a table loaded again
// (above all one that was killed mid-change) holds records the lists do not.
void forget_child_hints();
uint32_t enter_locked(uint32_t dir, const char* name, size_t length);
// The slot that holds `record` in its list (parent's children or the root
// list), 0 when it is on none.
uint32_t slot_of(uint32_t record);
bool delete_locked(uint32_t inode, bool forced);
void take_off_ring(uint32_t record);
size_t path_locked(uint32_t inode, char* out);
