#include "quen/nfs/nfs_request.h"

#include "platform/thread.h"
#include "quen/config/settings.h"
#include "quen/fs/handle_calls.h"
#include "quen/fs/nfs_status.h"
#include "quen/nfs/nfs3_handlers.h"
#include "quen/fs/mount_webnfs.h"
#include "quen/fs/resolve.h"
#include "quen/mount/exports.h"
#include "rpc/log.h"

#include <cstring>
#include <ctime>
#include <random>

namespace {

uint8_t g_verifier[NFS_VERIFIER_SIZE];

uint32_t open_resolved(const rpc_handle* h, const rpc_call* call, nfs_request& out) {
    if (handle_resolve(out.fh, &out.ctx, out.mounted) == 0) return NFSERR_STALE;
    if (out.ctx.entry && !export_client_allowed(*out.ctx.entry, h->peer.addr)) return NFSERR_ACCES;
    out.cred = credential_from_call(*call);
    map_credential(out.ctx, out.cred);
    return NFS_OK;
}

}  // namespace

uint32_t nfs_request_open(const rpc_handle* h, const rpc_call* call, const nfs3_fh& wire, nfs_request& out) {
    if (wire.length != handle_wire_size(g_settings.record.fh_size)) return NFSERR_STALE;
    out.fh = handle_from_bytes(wire.data, wire.length);
    return open_resolved(h, call, out);
}

uint32_t nfs2_request_open(const rpc_handle* h, const rpc_call* call, const nfs2_fh& wire, nfs_request& out) {
    out.fh = handle_from_bytes(wire.data, NFS2_FH_SIZE);
    return open_resolved(h, call, out);
}

size_t nfs_reply_room(const rpc_handle* h, const rpc_call* call) {
    constexpr size_t kDatagramMax = 65507;
    size_t room = size_t(h->capacity);
    if (h->protocol == RPC_UDP && room > kDatagramMax) room = kDatagramMax;
    const size_t header = rpc_results_offset(call);
    return room > header ? room - header : 0;
}

uint32_t nfs_webnfs_start(internal_handle* dir, char* name, size_t* length, size_t size, const rpc_handle* h,
                          const rpc_call* call) {
    const internal_handle public_dir = *dir;
    const uint32_t status = mount_webnfs(dir, name, length, size, h->peer.addr, h->protocol, call->stamp);
    if (status != NFSERR_NOENT) return status;
    size_t slash = *length;
    while (slash > 0 && name[slash - 1] != '/') --slash;
    const size_t leaf = *length - slash;
    if (leaf == 0 || (leaf == 2 && std::memcmp(name + slash, "..", 2) == 0)) return status;
    // The folder part: the public folder itself for a bare name, the root for "/name".
    char folder[kWebnfsPathMax + 1];
    size_t folder_length = slash > 1 ? slash - 1 : 1;
    if (folder_length >= sizeof folder) return status;
    std::memcpy(folder, slash > 1 ? name : slash == 1 ? "/" : ".", folder_length);
    folder[folder_length] = 0;
    *dir = public_dir;
    if (const uint32_t st = mount_webnfs(dir, folder, &folder_length, sizeof folder, h->peer.addr, h->protocol,
                                         call->stamp);
        st != NFS_OK)
        return st;
    std::memmove(name, name + slash, leaf);
    name[leaf] = 0;
    *length = leaf;
    return NFS_OK;
}

xdr_sattr nfs_owned_by_caller(const xdr_sattr& in, const rpc_call& call) {
    constexpr uint32_t unset = 0xFFFFFFFF;
    xdr_sattr out = in;
    if (out.set_uid && out.uid == unset) out.uid = call.uid;
    if (out.set_gid && out.gid == unset) out.gid = call.gid;
    return out;
}

void nfs_verifier_init() {
    // The start time alone repeats when two starts fall in one second.
    std::random_device entropy;
    const uint32_t words[2] = {entropy() ^ uint32_t(std::time(nullptr)), entropy() ^ tick_count_ms()};
    std::memcpy(g_verifier, words, sizeof g_verifier);
}

const uint8_t* nfs_write_verifier() { return g_verifier; }

nfs3_fh nfs3_wire_handle(const internal_handle& fh) {
    nfs3_fh out{};
    out.length = handle_wire_size(g_settings.record.fh_size);
    uint8_t bytes[kHandleSize];
    handle_to_bytes(fh, bytes);
    std::memcpy(out.data, bytes, out.length);
    return out;
}

nfs_post_attr nfs_post_of(const internal_handle& fh, const fs_credential& cred, const wp_file_information* known) {
    nfs_post_attr out{};
    out.present = fs_getattr(fh, cred, out.attr, known) == NFS_OK;
    return out;
}

namespace {

template <typename Dirop, typename Open>
uint32_t open_dir_call(const rpc_handle* h, const rpc_call* call, const Dirop& d, nfs_dir_call& out, Open open) {
    out.name = d.name;
    out.length = std::strlen(d.name);
    out.cred = credential_from_call(*call);
    return open(h, call, d.dir, out.q);
}

}  // namespace

uint32_t nfs_open_dir_call(const rpc_handle* h, const rpc_call* call, const nfs_dirop3& d, nfs_dir_call& out) {
    return open_dir_call(h, call, d, out, nfs_request_open);
}

uint32_t nfs_open_dir_call(const rpc_handle* h, const rpc_call* call, const nfs_dirop2& d, nfs_dir_call& out) {
    return open_dir_call(h, call, d, out, nfs2_request_open);
}

void nfs_unavailable(const rpc_call* call) {
    log_printf(2, "quen: error, procedure %d not supported\n", int(call->procedure));
}

void nfs_bad_args(const rpc_call*, const rpc_proc* proc) {
    const size_t n = std::strlen(proc->name);
    const auto ends_with = [&](const char* tail) {
        const size_t m = std::strlen(tail);
        return n >= m && std::strcmp(proc->name + n - m, tail) == 0;
    };
    if (ends_with("_read")) log_printf(2, "%s: invalid read args\n", proc->name);
    else if (ends_with("_write")) log_printf(2, "%s: invalid write args\n", proc->name);
    else log_printf(2, "%s: cannot read args\n", proc->name);
}
