// What a directory search read of the entry it returned last, beyond the
// search record: the link count and the file's index and volume, where the
// system's search has them without opening the file. A listing that hands
// out every entry's attributes then needs no open per entry. The POSIX
// volume reads each entry with one lstat, which has them all; a Windows
// search record (FindFirstFileExW) carries no link count, so there the
// answer is false and the caller opens the file for it.
#pragma once
#include "platform/file.h"

// The facts of the entry wp_find_first or the last wp_find_next returned,
// as wp_get_file_information_by_handle of that entry (opened not following
// a reparse point) would give them. false: the search does not know them.
bool wp_find_facts(wp_find_handle h, wp_file_information* info);
