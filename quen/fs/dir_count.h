// Subdirectory counts of the directories seen lately. A directory's link
// count lists the whole directory, and every attribute fetch of a directory
// needs one, so a count is kept together with a change notification for
// directory names in it: files created, written or removed there leave the
// count standing; a subdirectory made, removed or renamed there, by anyone,
// ends it at the next fetch. A watch holds its directory open: on Windows one
// that another program removes stays, pending deletion, until the watch is
// closed, which the sweeper does within seconds.
#pragma once
#include <cstdint>

// The count of `path`, the directory whose identity (volume serial, file
// index) the caller has just read from it: kept or counted now.
uint32_t subdirectory_count(const char* path, uint32_t volume_serial, uint64_t file_index);
// Ends the notifications not used within idle_ms and those that fired (the
// file-cache sweeper calls it).
void dir_count_sweep(uint32_t now_ms, uint32_t idle_ms);
// Ends the notification held on `path` before the directory itself is
// removed or moved: on Windows the watch's open handle would keep a removed
// directory in place, pending deletion, until it was closed.
void dir_count_forget(const char* path);
void dir_count_close_all();
