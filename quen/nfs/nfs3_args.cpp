#include "quen/nfs/nfs3_args.h"

namespace {

bool get_verifier(xdr_cursor* c, uint8_t out[NFS_VERIFIER_SIZE]) { return xdr_get_bytes(c, out, NFS_VERIFIER_SIZE); }

}  // namespace

bool nfs3_decode_handle(xdr_cursor* c, void* args) {
    return nfs_decode<nfs3_handle_args>(c, args, [c](nfs3_handle_args& a) { return nfs_get_fh3(c, &a.object); });
}

bool nfs3_decode_setattr(xdr_cursor* c, void* args) {
    return nfs_decode<nfs3_setattr_args>(c, args, [c](nfs3_setattr_args& a) {
        uint32_t check;
        if (!nfs_get_fh3(c, &a.object) || !nfs3_get_sattr(c, &a.attributes) || !nfs_get_bool(c, &check))
            return false;
        a.guard_check = check != 0;
        return !a.guard_check || (xdr_get_u32(c, &a.guard_ctime.seconds) && xdr_get_u32(c, &a.guard_ctime.nseconds));
    });
}

bool nfs3_decode_dirop(xdr_cursor* c, void* args) {
    return nfs_decode<nfs3_dirop_args>(c, args, [c](nfs3_dirop_args& a) { return nfs_get_dirop3(c, &a.what); });
}

bool nfs3_decode_access(xdr_cursor* c, void* args) {
    return nfs_decode<nfs3_access_args>(
        c, args, [c](nfs3_access_args& a) { return nfs_get_fh3(c, &a.object) && xdr_get_u32(c, &a.access); });
}

bool nfs3_decode_read(xdr_cursor* c, void* args) {
    return nfs_decode<nfs3_read_args>(c, args, [c](nfs3_read_args& a) {
        return nfs_get_fh3(c, &a.file) && xdr_get_u64(c, &a.offset) && xdr_get_u32(c, &a.count);
    });
}

bool nfs3_decode_write(xdr_cursor* c, void* args) {
    return nfs_decode<nfs3_write_args>(c, args, [c](nfs3_write_args& a) {
        return nfs_get_fh3(c, &a.file) && xdr_get_u64(c, &a.offset) && xdr_get_u32(c, &a.count) &&
               xdr_get_u32(c, &a.stable) && a.stable <= NFS3_FILE_SYNC && nfs_get_data(c, a.count, &a.data);
    });
}

bool nfs3_decode_create(xdr_cursor* c, void* args) {
    return nfs_decode<nfs3_create_args>(c, args, [c](nfs3_create_args& a) {
        if (!nfs_get_dirop3(c, &a.where) || !xdr_get_u32(c, &a.how)) return false;
        if (a.how == NFS3_CREATE_EXCLUSIVE) return get_verifier(c, a.verifier);
        return a.how <= NFS3_CREATE_GUARDED && nfs3_get_sattr(c, &a.attributes);
    });
}

bool nfs3_decode_mkdir(xdr_cursor* c, void* args) {
    return nfs_decode<nfs3_mkdir_args>(c, args, [c](nfs3_mkdir_args& a) {
        return nfs_get_dirop3(c, &a.where) && nfs3_get_sattr(c, &a.attributes);
    });
}

bool nfs3_decode_symlink(xdr_cursor* c, void* args) {
    return nfs_decode<nfs3_symlink_args>(c, args, [c](nfs3_symlink_args& a) {
        return nfs_get_dirop3(c, &a.where) && nfs3_get_sattr(c, &a.attributes) && nfs_get_target(c, a.target);
    });
}

bool nfs3_decode_mknod(xdr_cursor* c, void* args) {
    return nfs_decode<nfs3_mknod_args>(c, args, [c](nfs3_mknod_args& a) {
        if (!nfs_get_dirop3(c, &a.where) || !xdr_get_u32(c, &a.type)) return false;
        switch (a.type) {
        case NF_BLK:
        case NF_CHR:
            return nfs3_get_sattr(c, &a.attributes) && xdr_get_u32(c, &a.major) && xdr_get_u32(c, &a.minor);
        case NF_SOCK:
        case NF_FIFO: return nfs3_get_sattr(c, &a.attributes);
        default: return true;   // answered BADTYPE, not GARBAGE_ARGS
        }
    });
}

bool nfs3_decode_rename(xdr_cursor* c, void* args) {
    return nfs_decode<nfs3_rename_args>(
        c, args, [c](nfs3_rename_args& a) { return nfs_get_dirop3(c, &a.from) && nfs_get_dirop3(c, &a.to); });
}

bool nfs3_decode_link(xdr_cursor* c, void* args) {
    return nfs_decode<nfs3_link_args>(
        c, args, [c](nfs3_link_args& a) { return nfs_get_fh3(c, &a.file) && nfs_get_dirop3(c, &a.link); });
}

bool nfs3_decode_readdir(xdr_cursor* c, void* args) {
    return nfs_decode<nfs3_readdir_args>(c, args, [c](nfs3_readdir_args& a) {
        return nfs_get_fh3(c, &a.dir) && xdr_get_u64(c, &a.cookie) && get_verifier(c, a.verifier) &&
               xdr_get_u32(c, &a.count);
    });
}

bool nfs3_decode_readdirplus(xdr_cursor* c, void* args) {
    return nfs_decode<nfs3_readdirplus_args>(c, args, [c](nfs3_readdirplus_args& a) {
        return nfs_get_fh3(c, &a.dir) && xdr_get_u64(c, &a.cookie) && get_verifier(c, a.verifier) &&
               xdr_get_u32(c, &a.dircount) && xdr_get_u32(c, &a.maxcount);
    });
}

bool nfs3_decode_commit(xdr_cursor* c, void* args) {
    return nfs_decode<nfs3_commit_args>(c, args, [c](nfs3_commit_args& a) {
        return nfs_get_fh3(c, &a.file) && xdr_get_u64(c, &a.offset) && xdr_get_u32(c, &a.count);
    });
}
