#include "quen/nfs/nfs3_results.h"

#include <cstring>

namespace {

uint8_t* put32(uint8_t* p, uint32_t v) { return p + xdr_enc_u32(p, v); }
uint8_t* put64(uint8_t* p, uint64_t v) { return p + xdr_enc_u64(p, v); }
uint8_t* put_attr(uint8_t* p, const nfs_post_attr& a) { return p + nfs_put_post_attr(p, a); }
uint8_t* put_wcc(uint8_t* p, const nfs_wcc& w) { return p + nfs_put_wcc(p, w); }
size_t done(const uint8_t* dst, const uint8_t* p) { return size_t(p - dst); }

uint8_t* put_data(uint8_t* p, const uint8_t* data, uint32_t count) { return p + nfs_put_data(p, data, count); }

}  // namespace

size_t nfs3_encode_attr(uint8_t* dst, const void* result) {
    const auto& r = nfs_result<nfs3_attr_res>(result);
    uint8_t* p = put32(dst, r.status);
    if (r.status == 0) p += nfs_put_fattr3(p, r.attr);
    return done(dst, p);
}

size_t nfs3_encode_wcc(uint8_t* dst, const void* result) {
    const auto& r = nfs_result<nfs3_wcc_res>(result);
    return done(dst, put_wcc(put32(dst, r.status), r.wcc));
}

size_t nfs3_encode_lookup(uint8_t* dst, const void* result) {
    const auto& r = nfs_result<nfs3_lookup_res>(result);
    uint8_t* p = put32(dst, r.status);
    if (r.status == 0) {
        const uint32_t length = r.object.length > NFS3_FH_MAX ? NFS3_FH_MAX : r.object.length;
        p += xdr_enc_opaque(p, r.object.data, length);
        p = put_attr(p, r.object_attr);
    }
    return done(dst, put_attr(p, r.dir_attr));
}

size_t nfs3_encode_access(uint8_t* dst, const void* result) {
    const auto& r = nfs_result<nfs3_access_res>(result);
    uint8_t* p = put_attr(put32(dst, r.status), r.attr);
    if (r.status == 0) p = put32(p, r.access);
    return done(dst, p);
}

size_t nfs3_encode_readlink(uint8_t* dst, const void* result) {
    const auto& r = nfs_result<nfs3_readlink_res>(result);
    uint8_t* p = put_attr(put32(dst, r.status), r.attr);
    if (r.status == 0) p += xdr_enc_opaque(p, r.target, r.length < XDR_PATH_MAX ? r.length : XDR_PATH_MAX - 1);
    return done(dst, p);
}

size_t nfs3_encode_read(uint8_t* dst, const void* result) {
    const auto& r = nfs_result<nfs3_read_res>(result);
    uint8_t* p = put_attr(put32(dst, r.status), r.attr);
    if (r.status == 0) p = put_data(put32(put32(put32(p, r.count), r.eof ? 1 : 0), r.count), r.data, r.count);
    return done(dst, p);
}

size_t nfs3_encode_write(uint8_t* dst, const void* result) {
    const auto& r = nfs_result<nfs3_write_res>(result);
    uint8_t* p = put_wcc(put32(dst, r.status), r.wcc);
    if (r.status == 0) {
        p = put32(put32(p, r.count), r.committed);
        std::memcpy(p, r.verifier, NFS_VERIFIER_SIZE);
        p += NFS_VERIFIER_SIZE;
    }
    return done(dst, p);
}

size_t nfs3_encode_create(uint8_t* dst, const void* result) {
    const auto& r = nfs_result<nfs3_create_res>(result);
    uint8_t* p = put32(dst, r.status);
    if (r.status == 0) p = put_attr(p + nfs_put_post_fh3(p, r.object), r.attr);
    return done(dst, put_wcc(p, r.dir_wcc));
}

size_t nfs3_encode_rename(uint8_t* dst, const void* result) {
    const auto& r = nfs_result<nfs3_rename_res>(result);
    return done(dst, put_wcc(put_wcc(put32(dst, r.status), r.from_wcc), r.to_wcc));
}

size_t nfs3_encode_link(uint8_t* dst, const void* result) {
    const auto& r = nfs_result<nfs3_link_res>(result);
    return done(dst, put_wcc(put_attr(put32(dst, r.status), r.attr), r.dir_wcc));
}

size_t nfs3_encode_readdir(uint8_t* dst, const void* result) {
    const auto& r = nfs_result<nfs3_readdir_res>(result);
    if (r.status != 0 || !r.list) return done(dst, put_attr(put32(dst, r.status ? r.status : 5u), r.dir_attr));
    if (r.list->base != dst) std::memmove(dst, r.list->base, r.list->used);
    return r.list->used;
}

size_t nfs3_encode_fsstat(uint8_t* dst, const void* result) {
    const auto& r = nfs_result<nfs3_fsstat_res>(result);
    uint8_t* p = put_attr(put32(dst, r.status), r.attr);
    if (r.status == 0) {
        for (uint64_t v : {r.tbytes, r.fbytes, r.abytes, r.tfiles, r.ffiles, r.afiles}) p = put64(p, v);
        p = put32(p, r.invarsec);
    }
    return done(dst, p);
}

size_t nfs3_encode_fsinfo(uint8_t* dst, const void* result) {
    const auto& r = nfs_result<nfs3_fsinfo_res>(result);
    uint8_t* p = put_attr(put32(dst, r.status), r.attr);
    if (r.status == 0) {
        for (uint32_t v : {r.rtmax, r.rtpref, r.rtmult, r.wtmax, r.wtpref, r.wtmult, r.dtpref}) p = put32(p, v);
        p = put64(p, r.maxfilesize);
        p = put32(put32(p, r.time_delta.seconds), r.time_delta.nseconds);
        p = put32(p, r.properties);
    }
    return done(dst, p);
}

size_t nfs3_encode_pathconf(uint8_t* dst, const void* result) {
    const auto& r = nfs_result<nfs3_pathconf_res>(result);
    uint8_t* p = put_attr(put32(dst, r.status), r.attr);
    if (r.status == 0) {
        p = put32(put32(p, r.linkmax), r.name_max);
        for (bool v : {r.no_trunc, r.chown_restricted, r.case_insensitive, r.case_preserving}) p = put32(p, v);
    }
    return done(dst, p);
}

size_t nfs3_encode_commit(uint8_t* dst, const void* result) {
    const auto& r = nfs_result<nfs3_commit_res>(result);
    uint8_t* p = put_wcc(put32(dst, r.status), r.wcc);
    if (r.status == 0) {
        std::memcpy(p, r.verifier, NFS_VERIFIER_SIZE);
        p += NFS_VERIFIER_SIZE;
    }
    return done(dst, p);
}

uint32_t nfs_read_count_fit(uint32_t count, size_t room, size_t data_offset) {
    if (room <= data_offset) return 0;
    const size_t fit = (room - data_offset) & ~size_t(3);
    return count < fit ? count : uint32_t(fit < 0xFFFFFFFCu ? fit : 0xFFFFFFFCu);
}
