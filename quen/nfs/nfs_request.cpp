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

}  // namespace

uint32_t nfs_request_open(const rpc_handle* h, const rpc_call* call, const nfs3_fh& wire, fs_request& out) {
    if (wire.length != handle_wire_size(g_settings.record.fh_size)) return NFSERR_STALE;
    return fs_request_open(handle_from_bytes(wire.data, wire.length), credential_from_call(*call), h->peer.addr, out);
}

uint32_t nfs2_request_open(const rpc_handle* h, const rpc_call* call, const nfs2_fh& wire, fs_request& out) {
    return fs_request_open(handle_from_bytes(wire.data, NFS2_FH_SIZE), credential_from_call(*call), h->peer.addr, out);
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

nfs_post_attr nfs_post_of(const fs_request& q, const wp_file_information* known) {
    nfs_post_attr out{};
    out.present = fs_getattr(q, out.attr, known) == NFS_OK;
    return out;
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
