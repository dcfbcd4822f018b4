// Directory listings for READDIR and READDIRPLUS. Clients read a directory
// in many small requests, each carrying the cookie of the last entry they
// received, and a Windows search cannot be positioned: so open searches are
// kept in a table of scan slots between requests, the cookie names the slot
// and the position (cookie = slot | position << DirBits), and a request
// resumes the search where the previous one stopped. Position 1 is ".",
// 2 "..", 3 and up the directory's own entries in search order; cookie 0
// starts a new scan.
#pragma once
#include "platform/file.h"
#include "quen/fs/attr.h"
#include "quen/fs/credential.h"
#include "quen/mount/mount_context.h"
#include "quen/fs/names.h"
#include "quen/fs/resolve.h"
#include "quen/inode/handle.h"

#include <cstdint>

// The directory a READDIR names, as open_directory finds it: the resolved
// file with its path. ctx.mounted_path points into mounted: use the record
// where it was filled, do not copy it.
struct open_dir : resolved_file {
    uint64_t parent;              // identity of the folder above; 0 when unknown or outside the mount
    file_attributes attributes;   // when asked for; else type, mode and owner only
};

// Resolves the directory handle and checks that the caller may list it.
// Result: an NFS status: 70 for a handle that names nothing (any more) or
// lies outside its mount, 2 when the directory cannot be examined, 20 for
// a file, 13 without the search permission (a volume root needs none).
uint32_t open_directory(const fs_request& fh, bool want_attributes, open_dir& out);

struct dir_entry {
    char name[kNameSize];   // client form
    uint64_t inode;         // inode number, or file id in file id mode
    uint32_t mount_id;      // the mount the entry's handle names (another one behind a junction)
    uint32_t cookie;        // the cookie that follows this entry
    bool has_info;          // info was read from the entry's handle while listing
    wp_file_information info;
};

// The entry that follows cookie in the listing of the directory at dir_path
// (inode dir_inode, reached through mount mount_id; parent_inode 0 lists the
// directory itself as ".."). Result: 1 with *out filled; 0 at the end of
// the directory (the slot is freed); -1 when the cookie's slot lists another
// directory, no slot can be had (table full, or the client holds half of
// it), or the search fails. Calling again with the same cookie hands the same
// entry out again, so an entry that did not fit in a reply is not lost.
int dir_scan_next(uint32_t client, const mount_context& ctx, uint32_t mount_id, const char* dir_path,
                  uint64_t dir_inode, uint64_t parent_inode, uint32_t cookie, dir_entry* out);

// One name a search found in the directory: its inode (entered in the inode
// tree and marked seen, or the file index in file id mode; a junction to
// another volume gets an automatic mount), its mount and its client name.
// facts: what the search read of the entry (wp_find_facts), or null; with
// them no file is opened and the entry carries them as its info. The cookie
// is left alone. false: the entry is not handed out, nor counted when a
// resumed listing skips to its cookie.
bool scan_entry(uint32_t client, const mount_context& ctx, uint32_t mount_id, const char* dir_path,
                uint64_t dir_inode, const wp_find_data& found, const wp_file_information* facts, dir_entry* out);

// Sets the table up with 1 << DirBits slots, closing any searches still open.
void dir_scan_init();
// At stop: every open search is closed and every slot freed.
void dir_scan_close_all();
// Slots whose search is open between requests, for tests and the status view.
int dir_scan_open_searches();
