#include "quen/nlm/nlm_procs.h"

#include "quen/fs/fault_status.h"
#include "quen/fs/resolve.h"
#include "quen/mount/exports.h"
#include "quen/nlm/lock_table.h"
#include "quen/nlm/nlm_callback.h"
#include "quen/nlm/nlm_open.h"
#include "quen/nlm/nlm_wire.h"
#include "rpc/log.h"

#include <cstring>

namespace {

// Versions 1 and 3 know the first five numbers only.
uint32_t for_version(uint32_t version, uint32_t status) {
    return version < 4 && status > 4 ? uint32_t(NLM_DENIED) : status;
}

void fill_owner(lock_owner& o, const rpc_handle* h, const nlm_lock& l) {
    o.client = h->peer.addr;
    o.svid = l.svid;
    o.name_len = l.caller.length;
    std::memcpy(o.name, l.caller.data, l.caller.length);
    o.handle_len = l.owner.length;
    std::memcpy(o.handle, l.owner.data, l.owner.length);
}

// The file a request names, admitted for its sender. false: stale.
bool resolve(const rpc_handle* h, const rpc_call* call, const nlm_fh& fh, resolved_file& r) {
    if (fh.length == 0) return false;
    r.path[0] = 0;
    return fs_request_open(handle_from_bytes(fh.data, fh.length), credential_from_call(*call), h->peer.addr, r) == 0;
}

// A range that starts at the last offset holds no byte the table can keep
// (its ends are exclusive 64-bit offsets): version 4 refuses it rather than
// grant a lock of nothing. Versions 1 and 3 never get there.
bool beyond_the_table(const nlm_lock& l) { return l.offset == kRangeEnd; }

// The cached slot of a resolved file, if any, under the caller's section:
// whatever its mode, as that is where the file's locks live.
cache_slot* cached(const resolved_file& r) {
    wp_handle handle = WP_INVALID_HANDLE;
    return cache_find(r.key, CACHE_READ, &handle, nullptr);
}

// Per request; large, and one per serving thread at a time.
thread_local resolved_file t_file;
thread_local lock_owner t_owner;
thread_local lock_context t_context;

uint32_t do_test(const rpc_handle* h, const rpc_call* call, const nlm_test_args& a, nlm_test_res& res) {
    res.cookie = a.cookie;
    if (!resolve(h, call, a.lock.fh, t_file)) return NLM_STALE_FH;
    if (beyond_the_table(a.lock)) return NLM_FBIG;
    bucket_guard g(t_file.identity);
    cache_slot* slot = cached(t_file);
    if (!slot || slot->lock_count == 0) return NLM_GRANTED;   // a file with locks stays cached
    fill_owner(t_owner, h, a.lock);
    return lock_test(slot, t_owner, a.lock.offset, a.lock.length, a.exclusive != 0, &res.holder);
}

uint32_t do_lock(const rpc_handle* h, const rpc_call* call, const nlm_lock_args& a) {
    if (!resolve(h, call, a.lock.fh, t_file)) return NLM_STALE_FH;
    if (beyond_the_table(a.lock)) return NLM_FBIG;
    bucket_guard g(t_file.identity);
    uint32_t status = NLM_FAILED;
    cache_slot* slot = nlm_open_file(t_file, a.exclusive != 0, &status);
    if (!slot) return status;
    fill_owner(t_owner, h, a.lock);
    t_context.version = call->version;
    t_context.fh_len = a.lock.fh.length;
    std::memcpy(t_context.fh, a.lock.fh.data, a.lock.fh.length);
    t_context.cred_flavor = call->cred_flavor;
    std::memcpy(t_context.cred, call->cred, 4 + (call->cred_len <= kNlmAuthMax ? call->cred_len : 0));
    const lock_request r{slot,          &t_owner, a.lock.offset, a.lock.length, a.exclusive != 0,
                         a.block != 0,  &t_context};
    return lock_acquire(r);
}

uint32_t do_cancel(const rpc_handle* h, const rpc_call* call, const nlm_cancel_args& a) {
    if (!resolve(h, call, a.lock.fh, t_file)) return NLM_DENIED;
    bucket_guard g(t_file.identity);
    cache_slot* slot = cached(t_file);
    if (!slot || slot->lock_count == 0) return NLM_GRANTED;
    fill_owner(t_owner, h, a.lock);
    return lock_cancel(slot, t_owner, a.lock.offset, a.lock.length);
}

uint32_t do_unlock(const rpc_handle* h, const rpc_call* call, const nlm_unlock_args& a) {
    if (!resolve(h, call, a.lock.fh, t_file)) return NLM_GRANTED;   // nothing can be held there
    bucket_guard g(t_file.identity);
    cache_slot* slot = cached(t_file);
    if (!slot || slot->lock_count == 0) return NLM_GRANTED;
    fill_owner(t_owner, h, a.lock);
    return lock_release(slot, t_owner, a.lock.offset, a.lock.length);
}

// The result of a message form, as a call of procedure `procedure`.
void send_result(const rpc_handle* h, const rpc_call* call, uint32_t procedure, rpc_encoder encode,
                 const void* result) {
    static thread_local nlm_outgoing out;
    out.addr = h->peer.addr;
    out.version = call->version;
    out.procedure = procedure;
    out.cred_flavor = call->cred_flavor;
    std::memcpy(out.cred, call->cred, 4 + (call->cred_len <= kNlmAuthMax ? call->cred_len : 0));
    out.args_len = uint32_t(encode(out.args, result));
    nlm_callback_queue(out);
}

// ---- the table's hooks on cache slots --------------------------------------------

uint32_t os_lock(const void* file, uint64_t offset, uint64_t length) {
    const auto* slot = static_cast<const cache_slot*>(file);
    if (wp_lock_file(slot->handle, offset, length)) return 0;
    const uint32_t error = file_last_error();
    log_event(2, "nlm_lock error %u %llu\n", error, static_cast<unsigned long long>(slot->key.identity));
    return error;
}

uint32_t os_unlock(const void* file, uint32_t svid, uint64_t offset, uint64_t length) {
    const auto* slot = static_cast<const cache_slot*>(file);
    if (wp_unlock_file(slot->handle, offset, length)) return 0;
    const uint32_t error = file_last_error();
    if (error != WIN_ERROR_NOT_LOCKED)
        log_event(2, "nlm_unlock error %u %llu %u off %llu len %llu\n", error,
                  static_cast<unsigned long long>(slot->key.identity), svid, static_cast<unsigned long long>(offset),
                  static_cast<unsigned long long>(length));
    return error;
}

void count(const void* file, int delta) {
    auto* slot = const_cast<cache_slot*>(static_cast<const cache_slot*>(file));
    const int n = int(slot->lock_count) + delta;
    slot->lock_count = uint16_t(n < 0 ? 0 : n);
}

void granted(const lock_slot& s) {
    static nlm_outgoing out;
    static nlm_lock lock;
    static const nlm_netobj cookie = {7, {'t', 'e', 'r', 'v', 'a', 'l', 'o'}};
    lock.caller.length = s.owner.name_len;
    std::memcpy(lock.caller.data, s.owner.name, s.owner.name_len);
    lock.owner.length = s.owner.handle_len;
    std::memcpy(lock.owner.data, s.owner.handle, s.owner.handle_len);
    lock.fh.length = s.context.fh_len;
    std::memcpy(lock.fh.data, s.context.fh, s.context.fh_len);
    lock.svid = s.owner.svid;
    lock.offset = s.offset;
    lock.length = s.end == kRangeEnd ? 0 : s.end - s.offset;
    out.addr = s.owner.client;
    out.version = s.context.version;
    out.procedure = NLMPROC_GRANTED;
    out.cred_flavor = s.context.cred_flavor;
    std::memcpy(out.cred, s.context.cred, sizeof out.cred);
    out.args_len = uint32_t(nlm_encode_granted(out.args, s.context.version, cookie, s.exclusive, lock));
    out.file = s.file;
    out.svid = s.owner.svid;
    out.offset = s.offset;
    out.end = s.end;
    nlm_callback_queue(out);   // the table asked grant_room first: there is room
}

const lock_hooks k_hooks = {os_lock, os_unlock, count, granted, nlm_callback_grant_room, nlm_callback_withdraw};

rpc_encoder test_encoder(uint32_t version) { return version >= 4 ? nlm4_encode_test_res : nlm1_encode_test_res; }

}  // namespace

// A fault ends a procedure with a refusal the client may retry: it must not
// believe it holds, tested or cancelled a lock on the word of a request that
// broke off. An unlock answers 0 whatever happened, as it always does.
bool nlm_test(rpc_handle* h, rpc_call* call, const void* args, void* result) {
    auto* res = static_cast<nlm_test_res*>(result);
    const auto& a = *static_cast<const nlm_test_args*>(args);
    res->status = for_version(call->version, guarded_status("nlmd test exception in\n", uint32_t(NLM_DENIED_NOLOCKS),
                                                            [&] { return do_test(h, call, a, *res); }));
    return true;
}

bool nlm_lock_proc(rpc_handle* h, rpc_call* call, const void* args, void* result) {
    const auto& a = *static_cast<const nlm_lock_args*>(args);
    auto* res = static_cast<nlm_res*>(result);
    res->cookie = a.cookie;
    res->status = for_version(call->version, guarded_status("nlmd lock exception in\n", uint32_t(NLM_DENIED_NOLOCKS),
                                                            [&] { return do_lock(h, call, a); }));
    return true;
}

bool nlm_cancel(rpc_handle* h, rpc_call* call, const void* args, void* result) {
    const auto& a = *static_cast<const nlm_cancel_args*>(args);
    auto* res = static_cast<nlm_res*>(result);
    res->cookie = a.cookie;
    res->status = for_version(call->version, guarded_status("nlmd cancel exception in\n", uint32_t(NLM_DENIED_NOLOCKS),
                                                            [&] { return do_cancel(h, call, a); }));
    return true;
}

bool nlm_unlock(rpc_handle* h, rpc_call* call, const void* args, void* result) {
    const auto& a = *static_cast<const nlm_unlock_args*>(args);
    auto* res = static_cast<nlm_res*>(result);
    res->cookie = a.cookie;
    res->status = for_version(call->version, guarded_status("nlmd unlock exception in\n", uint32_t(NLM_GRANTED),
                                                            [&] { return do_unlock(h, call, a); }));
    return true;
}

bool nlm_test_msg(rpc_handle* h, rpc_call* call, const void* args, void* result) {
    nlm_test(h, call, args, result);
    send_result(h, call, NLMPROC_TEST_RES, test_encoder(call->version), result);
    return true;
}

bool nlm_lock_msg(rpc_handle* h, rpc_call* call, const void* args, void* result) {
    nlm_lock_proc(h, call, args, result);
    send_result(h, call, NLMPROC_LOCK_RES, nlm_encode_res, result);
    return true;
}

bool nlm_cancel_msg(rpc_handle* h, rpc_call* call, const void* args, void* result) {
    nlm_cancel(h, call, args, result);
    send_result(h, call, NLMPROC_CANCEL_RES, nlm_encode_res, result);
    return true;
}

bool nlm_unlock_msg(rpc_handle* h, rpc_call* call, const void* args, void* result) {
    nlm_unlock(h, call, args, result);
    send_result(h, call, NLMPROC_UNLOCK_RES, nlm_encode_res, result);
    return true;
}

bool nlm_ignore_res(rpc_handle*, rpc_call*, const void*, void*) { return false; }

bool nlm_share(rpc_handle*, rpc_call*, const void* args, void* result) {
    auto* res = static_cast<nlm_share_res*>(result);
    res->cookie = static_cast<const nlm_share_args*>(args)->cookie;
    res->status = NLM_GRANTED;
    res->sequence = 0;
    return true;
}

bool nlm_free_all(rpc_handle* h, rpc_call*, const void* args, void*) {
    const auto& a = *static_cast<const nlm_notify_args*>(args);
    const char* name = reinterpret_cast<const char*>(a.name.data);
    const void* files[kLockSlots];
    const int n = lock_client_files(h->peer.addr, name, a.name.length, files, kLockSlots);
    for (int i = 0; i < n; ++i) {
        // A slot with locks stays in the cache, so its key still names it.
        const auto* slot = static_cast<const cache_slot*>(files[i]);
        bucket_guard g(slot->key.identity);
        lock_free_client_file(slot, h->peer.addr, name, a.name.length);
    }
    return true;
}

void nlm_procs_init() {
    lock_table_init(&k_hooks);
    cache_set_lock_release(nlm_release_file);
}

void nlm_release_file(cache_slot* slot) { lock_release_file(slot); }
