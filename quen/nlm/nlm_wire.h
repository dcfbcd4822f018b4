// The lock manager's argument and result records and their XDR forms:
// versions 1 and 3 carry 32-bit offsets and lengths and a 32-byte handle,
// version 4 64-bit ones (high word first) and the configured handle size.
#pragma once
#include "quen/nlm/lock_table.h"
#include "rpc/proc_table.h"
#include "rpc/xdr.h"

#include <cstddef>
#include <cstdint>
#include <type_traits>

inline constexpr uint32_t NLM_PROGRAM = 100021;

enum : uint32_t {
    NLMPROC_NULL = 0,
    NLMPROC_TEST = 1,
    NLMPROC_LOCK = 2,
    NLMPROC_CANCEL = 3,
    NLMPROC_UNLOCK = 4,
    NLMPROC_GRANTED = 5,
    NLMPROC_TEST_MSG = 6,
    NLMPROC_UNLOCK_MSG = 9,
    NLMPROC_TEST_RES = 11,
    NLMPROC_LOCK_RES = 12,
    NLMPROC_CANCEL_RES = 13,
    NLMPROC_UNLOCK_RES = 14,
    NLMPROC_GRANTED_RES = 15,
    NLMPROC_SHARE = 20,
    NLMPROC_FREE_ALL = 23,
};

struct nlm_netobj {
    uint32_t length;
    uint8_t data[kNlmNetobjMax + 1];   // a string is NUL-terminated here
};

struct nlm_fh {
    uint32_t length;   // 32 in versions 1 and 3; the handle size or 0 in version 4
    uint8_t data[32];
};

struct nlm_lock {
    nlm_netobj caller;
    nlm_fh fh;
    nlm_netobj owner;
    uint32_t svid;
    uint64_t offset;
    uint64_t length;
};

struct nlm_test_args {
    nlm_netobj cookie;
    uint32_t exclusive;
    nlm_lock lock;
};

struct nlm_lock_args {
    nlm_netobj cookie;
    uint32_t block;
    uint32_t exclusive;
    nlm_lock lock;
    uint32_t reclaim;
    uint32_t state;
};

struct nlm_cancel_args {
    nlm_netobj cookie;
    uint32_t block;
    uint32_t exclusive;
    nlm_lock lock;
};

struct nlm_unlock_args {
    nlm_netobj cookie;
    nlm_lock lock;
};

struct nlm_share_args {
    nlm_netobj cookie;
    nlm_netobj caller;
    nlm_fh fh;
    nlm_netobj owner;
    uint32_t mode;
    uint32_t access;
    uint32_t reclaim;
};

struct nlm_notify_args {
    nlm_netobj name;
    uint32_t state;
};

// GRANTED_RES and the other result calls a client may send us.
struct nlm_res_args {
    nlm_netobj cookie;
    uint32_t status;
};

// Results; each begins with its status.
struct nlm_res {
    uint32_t status;
    nlm_netobj cookie;
};

struct nlm_test_res {
    uint32_t status;
    nlm_netobj cookie;
    lock_holder holder;   // when denied
};

struct nlm_share_res {
    uint32_t status;
    nlm_netobj cookie;
    uint32_t sequence;
};

static_assert(sizeof(nlm_netobj) == 4 + 1024);
static_assert(sizeof(nlm_fh) == 36);
static_assert(sizeof(nlm_lock_args) <= RPC_RECORD_MAX && sizeof(nlm_share_args) <= RPC_RECORD_MAX);
static_assert(std::is_trivially_copyable_v<nlm_lock_args> && std::is_trivially_copyable_v<nlm_test_res>);
static_assert(offsetof(nlm_res, status) == 0 && offsetof(nlm_test_res, status) == 0 &&
              offsetof(nlm_share_res, status) == 0);

// Decoders, version 4 and versions 1 and 3; a record that does not decode
// within its limits is refused whole.
bool nlm4_decode_test(xdr_cursor* c, void* out);
bool nlm4_decode_lock(xdr_cursor* c, void* out);
bool nlm4_decode_cancel(xdr_cursor* c, void* out);
bool nlm4_decode_unlock(xdr_cursor* c, void* out);
bool nlm4_decode_share(xdr_cursor* c, void* out);
bool nlm1_decode_test(xdr_cursor* c, void* out);
bool nlm1_decode_lock(xdr_cursor* c, void* out);
bool nlm1_decode_cancel(xdr_cursor* c, void* out);
bool nlm1_decode_unlock(xdr_cursor* c, void* out);
bool nlm1_decode_share(xdr_cursor* c, void* out);
bool nlm_decode_notify(xdr_cursor* c, void* out);
bool nlm_decode_res(xdr_cursor* c, void* out);

// The handle size version 4 accepts besides 0 ("FHsize").
void nlm_set_handle_size(uint32_t size);

size_t nlm_encode_res(uint8_t* dst, const void* res);
size_t nlm4_encode_test_res(uint8_t* dst, const void* res);
size_t nlm1_encode_test_res(uint8_t* dst, const void* res);
size_t nlm_encode_share_res(uint8_t* dst, const void* res);
// The arguments of NLM_GRANTED (a test-args record) in the version's form.
size_t nlm_encode_granted(uint8_t* dst, uint32_t version, const nlm_netobj& cookie, bool exclusive,
                          const nlm_lock& lock);
