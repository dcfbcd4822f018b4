// The scan slot table behind dir_scan_next (dir_scan.h). The table lock
// guards choosing, claiming and freeing slots; the work on a slot's search
// runs under the per-file section of the listed directory, which the
// caller takes between scan_slot_take and scan_slot_release.
#pragma once
#include "platform/file.h"
#include "quen/fs/names.h"

#include <cstdint>

struct scan_slot {
    wp_find_handle search;   // open search, or WP_INVALID_FIND_HANDLE
    uint32_t last_use;       // tick of the last request; 0 = free
    uint32_t users;          // requests between take and release: never taken over meanwhile
    uint32_t client;         // IPv4 address of the client that started the scan
    uint32_t mount_id;       // the mount it lists through: a cookie serves that client and mount only
    uint64_t dir_inode;      // the directory listed
    uint32_t position;       // entries consumed: "." and ".." one each, then the search's
    uint32_t last_mount_id;  // of the entry last handed out
    uint64_t last_inode;
    char last_name[kNameSize];   // client form; empty when none
    bool last_has_info;          // last_info holds what the search read of it
    wp_file_information last_info;
};

// The slot of cookie (0: a new one) for a request of client on dir_inode.
// *position receives the cookie's position, *index the slot's. Null: the
// slot lists another directory, or no slot may be had. The slot is held
// until scan_slot_release. A cookie of a slot in use by another client or
// mount gives null too: it is not theirs to continue.
scan_slot* scan_slot_take(uint32_t client, uint32_t mount_id, uint64_t dir_inode, uint32_t cookie,
                          uint32_t* index, uint32_t* position);
// Ends the request; with free_it the slot's search is closed and the slot
// freed. Called with the directory's per-file section still held.
void scan_slot_release(scan_slot* slot, bool free_it);
// Closes the search and forgets the position and the last entry.
void scan_slot_restart(scan_slot* slot);

// Before the directory is removed: the idle scans of it are freed, as an
// open search keeps a removed directory pending deletion on Windows, and
// so keeps its parent from being removed. Their cookies list afresh.
void scan_slots_end_dir(uint64_t dir_inode);

uint32_t scan_cookie(uint32_t index, uint32_t position);
// The largest position a cookie can carry.
uint32_t scan_max_position();
