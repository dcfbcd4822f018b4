// Directory listings of READDIR and READDIRPLUS, written entry by entry
// where the reply goes. An entry goes in only when it fits both the
// client's count and the room left in the reply buffer, counting the
// end of the list; a list that refused an entry says so (cut).
#pragma once
#include "quen/nfs/nfs_wire.h"

#include <cstddef>
#include <cstdint>

struct nfs_dirlist {
    uint8_t* base;       // the start of the results
    size_t room;         // bytes the results may take in the buffer
    size_t limit;        // the client's count, as cut by the server
    uint32_t dircount;   // READDIRPLUS: largest directory part of one entry (set after begin)
    size_t used;         // bytes written from base
    uint32_t entries;
    bool cut;            // an entry did not fit
};

// Status OK, the directory's attributes and the cookie verifier. False when
// not even an empty list fits the room.
bool nfs3_dirlist_begin(nfs_dirlist* list, uint8_t* base, size_t room, size_t limit, const nfs_post_attr& dir,
                        const uint8_t verifier[NFS_VERIFIER_SIZE]);
bool nfs3_dirlist_add(nfs_dirlist* list, uint64_t fileid, const char* name, uint32_t name_length, uint64_t cookie);
// READDIRPLUS: the entry with its attributes (when present) and handle;
// dircount bounds the entry's directory part (24 + padded name).
bool nfs3_dirlist_add_plus(nfs_dirlist* list, uint64_t fileid, const char* name, uint32_t name_length,
                           uint64_t cookie, const nfs_post_attr& attr, const nfs3_fh& fh);

bool nfs2_dirlist_begin(nfs_dirlist* list, uint8_t* base, size_t room, size_t limit);
bool nfs2_dirlist_add(nfs_dirlist* list, uint32_t fileid, const char* name, uint32_t name_length, uint32_t cookie);

// Entries one reply may carry ("DirLimit", 0 meaning 9999).
uint32_t nfs_dir_entry_limit();
// The client's count cut to "Dirsize"; 0 means "Dirsize".
size_t nfs_dir_reply_limit(uint32_t asked);
// READDIRPLUS: the client's maxcount cut to "Datasize", the size of every
// reply buffer; 0 means "Dirsize". Replies as full as the client takes
// need fewer requests per listing, each of them a round trip.
size_t nfs_dirplus_reply_limit(uint32_t maxcount);

// The end of the list and eof. Result: the bytes of the whole results.
size_t nfs_dirlist_end(nfs_dirlist* list, bool eof);
