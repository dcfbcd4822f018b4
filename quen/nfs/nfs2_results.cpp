#include "quen/nfs/nfs2_results.h"

#include <cstring>

namespace {

uint8_t* put32(uint8_t* p, uint32_t v) { return p + xdr_enc_u32(p, v); }
size_t done(const uint8_t* dst, const uint8_t* p) { return size_t(p - dst); }

}  // namespace

size_t nfs2_encode_attr(uint8_t* dst, const void* result) {
    const auto& r = nfs_result<nfs2_attr_res>(result);
    uint8_t* p = put32(dst, r.status);
    if (r.status == 0) p += nfs_put_fattr2(p, r.attr);
    return done(dst, p);
}

size_t nfs2_encode_dirop(uint8_t* dst, const void* result) {
    const auto& r = nfs_result<nfs2_dirop_res>(result);
    uint8_t* p = put32(dst, r.status);
    if (r.status == 0) {
        std::memcpy(p, r.file.data, NFS2_FH_SIZE);
        p += NFS2_FH_SIZE;
        p += nfs_put_fattr2(p, r.attr);
    }
    return done(dst, p);
}

size_t nfs2_encode_status(uint8_t* dst, const void* result) {
    return xdr_enc_u32(dst, nfs_result<nfs2_status_res>(result).status);
}

size_t nfs2_encode_readlink(uint8_t* dst, const void* result) {
    const auto& r = nfs_result<nfs2_readlink_res>(result);
    uint8_t* p = put32(dst, r.status);
    if (r.status == 0) p += xdr_enc_opaque(p, r.target, r.length < XDR_PATH_MAX ? r.length : XDR_PATH_MAX - 1);
    return done(dst, p);
}

size_t nfs2_encode_read(uint8_t* dst, const void* result) {
    const auto& r = nfs_result<nfs2_read_res>(result);
    uint8_t* p = put32(dst, r.status);
    if (r.status == 0) {
        p += nfs_put_fattr2(p, r.attr);
        p = put32(p, r.count);
        p += nfs_put_data(p, r.data, r.count);
    }
    return done(dst, p);
}

size_t nfs2_encode_readdir(uint8_t* dst, const void* result) {
    const auto& r = nfs_result<nfs2_readdir_res>(result);
    if (r.status != 0 || !r.list) return xdr_enc_u32(dst, r.status ? r.status : 5u);
    if (r.list->base != dst) std::memmove(dst, r.list->base, r.list->used);
    return r.list->used;
}

size_t nfs2_encode_statfs(uint8_t* dst, const void* result) {
    const auto& r = nfs_result<nfs2_statfs_res>(result);
    uint8_t* p = put32(dst, r.status);
    if (r.status == 0)
        for (uint32_t v : {r.tsize, r.bsize, r.blocks, r.bfree, r.bavail}) p = put32(p, v);
    return done(dst, p);
}

nfs2_statfs_res nfs2_statfs_of(const statfs_values& v, uint32_t tsize) {
    const auto clamp = [](uint64_t n) { return n > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(n); };
    const uint32_t free_blocks = clamp(v.free_blocks);
    return {0, tsize, v.block_size, clamp(v.total_blocks), free_blocks, free_blocks};
}
