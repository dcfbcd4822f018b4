#include "quen/nfs/nfs_dirlist.h"

#include "quen/config/settings.h"

#include <cstring>

namespace {

constexpr size_t kListEnd = 8;   // value-follows 0, eof

bool fits(nfs_dirlist* list, size_t entry) {
    const size_t after = list->used + entry + kListEnd;
    if (after > list->limit || after > list->room) {
        list->cut = true;
        return false;
    }
    return true;
}

bool start(nfs_dirlist* list, uint8_t* base, size_t room, size_t limit) {
    *list = nfs_dirlist{base, room, limit, 0, 0, 0, false};
    return room >= 4 + NFS_FATTR3_SIZE + 4 + NFS_VERIFIER_SIZE + kListEnd;
}

uint8_t* at(nfs_dirlist* list) { return list->base + list->used; }

// value-follows, the file id (64 or 32 bits), the name.
void put_head(nfs_dirlist* list, uint64_t fileid, bool wide, const char* name, uint32_t name_length) {
    uint8_t* p = at(list);
    p += xdr_enc_u32(p, 1);
    p += wide ? xdr_enc_u64(p, fileid) : xdr_enc_u32(p, uint32_t(fileid));
    p += xdr_enc_opaque(p, name, name_length);
    list->used = size_t(p - list->base);
}

}  // namespace

bool nfs3_dirlist_begin(nfs_dirlist* list, uint8_t* base, size_t room, size_t limit, const nfs_post_attr& dir,
                        const uint8_t verifier[NFS_VERIFIER_SIZE]) {
    if (!start(list, base, room, limit)) return false;
    uint8_t* p = base + xdr_enc_u32(base, 0);
    p += nfs_put_post_attr(p, dir);
    std::memcpy(p, verifier, NFS_VERIFIER_SIZE);
    list->used = size_t(p - base) + NFS_VERIFIER_SIZE;
    return true;
}

bool nfs3_dirlist_add(nfs_dirlist* list, uint64_t fileid, const char* name, uint32_t name_length, uint64_t cookie) {
    if (!fits(list, 24 + size_t(xdr_pad4(name_length)))) return false;
    put_head(list, fileid, true, name, name_length);
    list->used += xdr_enc_u64(at(list), cookie);
    ++list->entries;
    return true;
}

bool nfs3_dirlist_add_plus(nfs_dirlist* list, uint64_t fileid, const char* name, uint32_t name_length,
                           uint64_t cookie, const nfs_post_attr& attr, const nfs3_fh& fh) {
    const size_t directory_part = 24 + size_t(xdr_pad4(name_length));
    const uint32_t fh_length = fh.length > NFS3_FH_MAX ? NFS3_FH_MAX : fh.length;
    const size_t entry = directory_part + 4 + (attr.present ? NFS_FATTR3_SIZE : 0) + 8 + xdr_pad4(fh_length);
    if (directory_part > list->dircount) {
        list->cut = true;
        return false;
    }
    if (!fits(list, entry)) return false;
    put_head(list, fileid, true, name, name_length);
    list->used += xdr_enc_u64(at(list), cookie);
    list->used += nfs_put_post_attr(at(list), attr);
    list->used += nfs_put_post_fh3(at(list), fh);
    ++list->entries;
    return true;
}

bool nfs2_dirlist_begin(nfs_dirlist* list, uint8_t* base, size_t room, size_t limit) {
    if (!start(list, base, room, limit)) return false;
    list->used = xdr_enc_u32(base, 0);
    return true;
}

bool nfs2_dirlist_add(nfs_dirlist* list, uint32_t fileid, const char* name, uint32_t name_length, uint32_t cookie) {
    if (!fits(list, 16 + size_t(xdr_pad4(name_length)))) return false;
    put_head(list, fileid, false, name, name_length);
    list->used += xdr_enc_u32(at(list), cookie);
    ++list->entries;
    return true;
}

size_t nfs_dirlist_end(nfs_dirlist* list, bool eof) {
    uint8_t* p = at(list);
    p += xdr_enc_u32(p, 0);
    p += xdr_enc_u32(p, eof ? 1 : 0);
    list->used = size_t(p - list->base);
    return list->used;
}

uint32_t nfs_dir_entry_limit() {
    const int32_t limit = g_settings.dir_limit;
    return limit > 0 ? uint32_t(limit) : 9999;
}

size_t nfs_dir_reply_limit(uint32_t asked) {
    const uint32_t most = g_settings.record.dir_reply_size;
    return asked == 0 || asked > most ? most : asked;
}

size_t nfs_dirplus_reply_limit(uint32_t maxcount) {
    const uint32_t most = g_settings.record.datasize;
    if (maxcount == 0) return nfs_dir_reply_limit(0);
    return maxcount > most ? most : maxcount;
}
