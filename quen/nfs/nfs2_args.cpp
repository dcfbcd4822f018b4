#include "quen/nfs/nfs2_args.h"

bool nfs2_decode_handle(xdr_cursor* c, void* args) {
    return nfs_decode<nfs2_handle_args>(c, args, [c](nfs2_handle_args& a) { return xdr_get_fh2(c, a.object.data); });
}

bool nfs2_decode_setattr(xdr_cursor* c, void* args) {
    return nfs_decode<nfs2_setattr_args>(c, args, [c](nfs2_setattr_args& a) {
        return xdr_get_fh2(c, a.object.data) && nfs2_get_sattr(c, &a.attributes);
    });
}

bool nfs2_decode_dirop(xdr_cursor* c, void* args) {
    return nfs_decode<nfs2_dirop_args>(c, args, [c](nfs2_dirop_args& a) { return nfs_get_dirop2(c, &a.what); });
}

bool nfs2_decode_read(xdr_cursor* c, void* args) {
    return nfs_decode<nfs2_read_args>(c, args, [c](nfs2_read_args& a) {
        return xdr_get_fh2(c, a.file.data) && xdr_get_u32(c, &a.offset) && xdr_get_u32(c, &a.count) &&
               xdr_get_u32(c, &a.totalcount);
    });
}

bool nfs2_decode_write(xdr_cursor* c, void* args) {
    return nfs_decode<nfs2_write_args>(c, args, [c](nfs2_write_args& a) {
        if (!xdr_get_fh2(c, a.file.data) || !xdr_get_u32(c, &a.beginoffset) || !xdr_get_u32(c, &a.offset) ||
            !xdr_get_u32(c, &a.totalcount))
            return false;
        // The length is its own word in version 2: peek at it, then check the bytes against it.
        if (c->pos < 0 || int64_t(c->size) - int64_t(c->pos) * 4 < 4) return false;
        a.length = xdr_load32(c->base + size_t(c->pos) * 4);
        return nfs_get_data(c, a.length, &a.data);
    });
}

bool nfs2_decode_create(xdr_cursor* c, void* args) {
    return nfs_decode<nfs2_create_args>(c, args, [c](nfs2_create_args& a) {
        return nfs_get_dirop2(c, &a.where) && nfs2_get_sattr(c, &a.attributes);
    });
}

bool nfs2_decode_rename(xdr_cursor* c, void* args) {
    return nfs_decode<nfs2_rename_args>(
        c, args, [c](nfs2_rename_args& a) { return nfs_get_dirop2(c, &a.from) && nfs_get_dirop2(c, &a.to); });
}

bool nfs2_decode_link(xdr_cursor* c, void* args) {
    return nfs_decode<nfs2_link_args>(
        c, args, [c](nfs2_link_args& a) { return xdr_get_fh2(c, a.from.data) && nfs_get_dirop2(c, &a.to); });
}

bool nfs2_decode_symlink(xdr_cursor* c, void* args) {
    return nfs_decode<nfs2_symlink_args>(c, args, [c](nfs2_symlink_args& a) {
        return nfs_get_dirop2(c, &a.from) && nfs_get_target(c, a.target) && nfs2_get_sattr(c, &a.attributes);
    });
}

bool nfs2_decode_readdir(xdr_cursor* c, void* args) {
    return nfs_decode<nfs2_readdir_args>(c, args, [c](nfs2_readdir_args& a) {
        return xdr_get_fh2(c, a.dir.data) && xdr_get_u32(c, &a.cookie) && xdr_get_u32(c, &a.count);
    });
}
