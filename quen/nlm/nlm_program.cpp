// The procedure tables of versions 1, 3 and 4, run with callbacks held while a call is answered.
#include "quen/nlm/nlmd.h"
#include "quen/nlm/nlm_callback.h"
#include "quen/nlm/nlm_procs.h"
#include "quen/nlm/nlm_wire.h"
#include "rpc/proc_table.h"

namespace {

// Version 1 (procedures 0-15) and version 3 (with 20-23) share the 32-bit forms.
#define NLM_NARROW_PROCS \
    rpc_proc_null("nlm_null"), \
    rpc_proc_entry<nlm_test_args, nlm_test_res>(1, "nlm_test", nlm1_decode_test, nlm_test, nlm1_encode_test_res), \
    rpc_proc_entry<nlm_lock_args, nlm_res>(2, "nlm_lock", nlm1_decode_lock, nlm_lock_proc, nlm_encode_res), \
    rpc_proc_entry<nlm_cancel_args, nlm_res>(3, "nlm_cancel", nlm1_decode_cancel, nlm_cancel, nlm_encode_res), \
    rpc_proc_entry<nlm_unlock_args, nlm_res>(4, "nlm_unlock", nlm1_decode_unlock, nlm_unlock, nlm_encode_res), \
    rpc_proc_absent(5), \
    rpc_proc_entry<nlm_test_args, nlm_test_res>(6, "nlm_test_msg", nlm1_decode_test, nlm_test_msg, nullptr), \
    rpc_proc_entry<nlm_lock_args, nlm_res>(7, "nlm_lock_msg", nlm1_decode_lock, nlm_lock_msg, nullptr), \
    rpc_proc_entry<nlm_cancel_args, nlm_res>(8, "nlm_cancel_msg", nlm1_decode_cancel, nlm_cancel_msg, nullptr), \
    rpc_proc_entry<nlm_unlock_args, nlm_res>(9, "nlm_unlock_msg", nlm1_decode_unlock, nlm_unlock_msg, nullptr), \
    rpc_proc_absent(10), \
    rpc_proc_absent(11), \
    rpc_proc_absent(12), \
    rpc_proc_absent(13), \
    rpc_proc_absent(14), \
    rpc_proc_entry<nlm_res_args, nlm_res>(15, "nlm_granted_res", nlm_decode_res, nlm_ignore_res, nullptr)

constexpr rpc_proc k_v1[] = {NLM_NARROW_PROCS};
static_assert(rpc_procs_numbered(k_v1));

constexpr rpc_proc k_v3[] = {
    NLM_NARROW_PROCS,
    rpc_proc_absent(16),
    rpc_proc_absent(17),
    rpc_proc_absent(18),
    rpc_proc_absent(19),
    rpc_proc_entry<nlm_share_args, nlm_share_res>(20, "nlm_share", nlm1_decode_share, nlm_share, nlm_encode_share_res),
    rpc_proc_entry<nlm_share_args, nlm_share_res>(21, "nlm_unshare", nlm1_decode_share, nlm_share, nlm_encode_share_res),
    rpc_proc_entry<nlm_lock_args, nlm_res>(22, "nlm_nm_lock", nlm1_decode_lock, nlm_lock_proc, nlm_encode_res),
    rpc_proc_entry<nlm_notify_args, nlm_res>(23, "nlm_free_all", nlm_decode_notify, nlm_free_all, nullptr),
};
static_assert(rpc_procs_numbered(k_v3));

constexpr rpc_proc k_v4[] = {
    rpc_proc_null("nlm4_null"),
    rpc_proc_entry<nlm_test_args, nlm_test_res>(1, "nlm4_test", nlm4_decode_test, nlm_test, nlm4_encode_test_res),
    rpc_proc_entry<nlm_lock_args, nlm_res>(2, "nlm4_lock", nlm4_decode_lock, nlm_lock_proc, nlm_encode_res),
    rpc_proc_entry<nlm_cancel_args, nlm_res>(3, "nlm4_cancel", nlm4_decode_cancel, nlm_cancel, nlm_encode_res),
    rpc_proc_entry<nlm_unlock_args, nlm_res>(4, "nlm4_unlock", nlm4_decode_unlock, nlm_unlock, nlm_encode_res),
    rpc_proc_absent(5),
    rpc_proc_entry<nlm_test_args, nlm_test_res>(6, "nlm4_test_msg", nlm4_decode_test, nlm_test_msg, nullptr),
    rpc_proc_entry<nlm_lock_args, nlm_res>(7, "nlm4_lock_msg", nlm4_decode_lock, nlm_lock_msg, nullptr),
    rpc_proc_entry<nlm_cancel_args, nlm_res>(8, "nlm4_cancel_msg", nlm4_decode_cancel, nlm_cancel_msg, nullptr),
    rpc_proc_entry<nlm_unlock_args, nlm_res>(9, "nlm4_unlock_msg", nlm4_decode_unlock, nlm_unlock_msg, nullptr),
    rpc_proc_absent(10),
    rpc_proc_absent(11),
    rpc_proc_absent(12),
    rpc_proc_absent(13),
    rpc_proc_absent(14),
    rpc_proc_entry<nlm_res_args, nlm_res>(15, "nlm4_granted_res", nlm_decode_res, nlm_ignore_res, nullptr),
    rpc_proc_absent(16),
    rpc_proc_absent(17),
    rpc_proc_absent(18),
    rpc_proc_absent(19),
    rpc_proc_entry<nlm_share_args, nlm_share_res>(20, "nlm4_share", nlm4_decode_share, nlm_share, nlm_encode_share_res),
    rpc_proc_entry<nlm_share_args, nlm_share_res>(21, "nlm4_unshare", nlm4_decode_share, nlm_share, nlm_encode_share_res),
    rpc_proc_entry<nlm_lock_args, nlm_res>(22, "nlm4_nm_lock", nlm4_decode_lock, nlm_lock_proc, nlm_encode_res),
    rpc_proc_entry<nlm_notify_args, nlm_res>(23, "nlm4_free_all", nlm_decode_notify, nlm_free_all, nullptr),
};
static_assert(rpc_procs_numbered(k_v4));

#undef NLM_NARROW_PROCS




// Callbacks wait while a call runs and is answered: a GRANTED must not
// overtake the reply to the LOCK that queued it.
int run_holding_callbacks(const rpc_program* prog, rpc_handle* h, rpc_call* call) {
    const nlm_callback_hold until_replied;
    return rpc_run_program(prog, h, call);
}

const rpc_program k_programs[] = {
    {NLM_PROGRAM, 1, k_v1, uint32_t(sizeof k_v1 / sizeof k_v1[0]), nullptr, nullptr, nullptr, run_holding_callbacks},
    {NLM_PROGRAM, 3, k_v3, uint32_t(sizeof k_v3 / sizeof k_v3[0]), nullptr, nullptr, nullptr, run_holding_callbacks},
    {NLM_PROGRAM, 4, k_v4, uint32_t(sizeof k_v4 / sizeof k_v4[0]), nullptr, nullptr, nullptr, run_holding_callbacks},
};

static_assert(sizeof k_v1 / sizeof k_v1[0] == 16 && sizeof k_v3 / sizeof k_v3[0] == 24 &&
              sizeof k_v4 / sizeof k_v4[0] == 24);

}  // namespace

const rpc_program* nlm_program(uint32_t version) {
    for (const rpc_program& p : k_programs)
        if (p.version == version) return &p;
    return nullptr;
}
