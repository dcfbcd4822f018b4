// quen/inode: the persistent inode table, paths of its records, the
// internal file handle and its wire forms, and the conversions of path
// forms. Uses config/ (and rpc/, platform/).
//
// The inode table: a file of 32-byte blocks mapped for the life of the
// server, a block heap with a sorted free list, and the two locks. An inode
// number is the offset of a record in the table.
#pragma once
#include "platform/fault_guard.h"
#include "platform/file_map.h"
#include "platform/thread.h"
#include "quen/inode/inode_layout.h"

#include <atomic>
#include <cstdint>

inline constexpr uint32_t kMinTableRecords = 64;       // floor for a tiny "InodeSize"
inline constexpr uint32_t kMaxTableTotal = 0xFFFFFFE0u; // the largest multiple of 32 a u32 holds
inline constexpr uint32_t kFlushThreshold = 16;

struct inode_table_options {
    const char* path = nullptr;          // the table file, Windows form
    uint32_t initial_records = 131072;   // "InodeSize"
    uint32_t spin_count = 4000;          // "SpinCount"
    bool reset = false;                  // "InodeReset": start from a new file
    bool check_vanished = false;         // "InodeCheck": start the vanished-file pass
};

// What the last load found, for the log and the tests.
struct inode_load_report {
    uint32_t total = 0;
    uint32_t used = 0;          // header and every reachable record and name block
    bool started_empty = false; // new file, reset, other volume, or given up
    bool rebuilt = false;       // the free list was made afresh from the reachable set
};

struct inode_table {
    mapped_file file;
    uint8_t* base = nullptr;
    uint32_t total = 0;
    std::atomic<uint32_t> dirty{0};   // allocations and frees since the last full flush; read unlocked
    bool is_open = false;
    bool in_memory = false;      // a caller's image: no file, no growth
    crit_section table_lock;
    crit_section heap_lock;
    char path[2048] = {};
    inode_load_report load;
    std::atomic<bool> pass_stop{false};
    plat_event* pass_done = nullptr;   // set when the vanished-file pass ends
};

extern inode_table g_inode_table;

// Creates or loads the table from the server settings ("InodePath",
// "InodeSize", "SpinCount", "InodeCheck"); reset is "InodeReset".
bool inode_table_open(bool reset);
bool inode_table_open_with(const inode_table_options& options);
// After an open that failed: another process (a running server) holds the file.
bool inode_table_held_elsewhere();
// Runs the load on an image in memory as if it were a file of old_size bytes
// mapped at capacity bytes (capacity >= old_size, a multiple of 32). The image
// must outlive the table; the table cannot grow.
bool inode_table_open_image(uint8_t* image, uint32_t capacity, uint32_t old_size);
// Ends the vanished-file pass, unmaps the view and closes the file.
void inode_table_close();

// ---- under the table lock ------------------------------------------------------

// An area of `size` bytes (a multiple of 32), zeroed; 0 when the table is
// full and cannot grow. May move the view.
uint32_t block_alloc(uint32_t size);
// Gives one block back; a block already free is left alone.
void block_free(uint32_t offset);
// The live record at an inode number, or null.
inode_record* record_at(uint32_t inode);
// Any block by offset (range and alignment checked), or null.
name_block* block_at(uint32_t offset);
inline table_header* table_head() { return reinterpret_cast<table_header*>(g_inode_table.base); }
inline uint32_t& root_list_head() { return table_head()->root_head; }
inline uint32_t& link_base_list_head() { return table_head()->link_base_head; }

// Flushes the whole view when more than `threshold` changes were made since
// the last full flush. Called outside the table lock.
void flush_if_dirty(uint32_t threshold);

struct inode_table_guard {
    inode_table_guard() { fault_section_enter(&g_inode_table.table_lock); }
    inode_table_guard(const inode_table_guard&) = delete;
    inode_table_guard& operator=(const inode_table_guard&) = delete;
    ~inode_table_guard() { fault_section_leave(&g_inode_table.table_lock); }
};

// ---- inside the table code ---------------------------------------------------------

// Walks the structure, repairs what it can and makes the free list the exact
// complement of the reachable blocks. Result: consistent.
bool inode_load_check(inode_load_report& report);
// Grows the table by half under the heap lock; false leaves it as it was.
bool inode_table_grow();
// Starts the vanished-file pass (inode_check.cpp).
void inode_start_vanished_pass();
