// Every lock manager argument decoder over any bytes: a decoder reads only
// what it was given and leaves the cursor alone when it fails; what decodes
// keeps every length within its limit, and a test-args record (the form
// NLM_GRANTED sends back) encodes again to the bytes it came from.
#include <cstdint>
#include <cstring>

#include "quen/nlm/nlm_wire.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

struct decoder_case {
    bool (*decode)(xdr_cursor*, void*);
    uint32_t version;
};

const decoder_case k_cases[] = {
    {nlm4_decode_test, 4},   {nlm4_decode_lock, 4},   {nlm4_decode_cancel, 4}, {nlm4_decode_unlock, 4},
    {nlm4_decode_share, 4},  {nlm1_decode_test, 1},   {nlm1_decode_lock, 1},   {nlm1_decode_cancel, 1},
    {nlm1_decode_unlock, 1}, {nlm1_decode_share, 1},  {nlm_decode_notify, 0},  {nlm_decode_res, 0},
};

void check_fh(const nlm_fh& fh, uint32_t version) {
    FUZZ_CHECK(version >= 4 ? fh.length == 0 || fh.length == 32 : fh.length == 32);
}

void check_lock(const nlm_lock& l, uint32_t version) {
    FUZZ_CHECK(l.caller.length <= kNlmCallerMax && l.owner.length <= kNlmNetobjMax);
    check_fh(l.fh, version);
    if (version < 4) FUZZ_CHECK(l.offset <= 0xFFFFFFFFu && l.length <= 0xFFFFFFFFu);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 16384) return 0;
    nlm_set_handle_size(32);
    alignas(8) static uint8_t record[RPC_RECORD_MAX];
    for (const decoder_case& k : k_cases) {
        std::memset(record, 0, sizeof record);
        xdr_cursor c{0, int32_t(size), data};
        if (!k.decode(&c, record)) {
            FUZZ_CHECK(c.pos == 0);
            continue;
        }
        FUZZ_CHECK(c.pos >= 0 && size_t(c.pos) * 4 <= size);
        if (k.decode == nlm4_decode_test || k.decode == nlm1_decode_test) {
            const auto* a = reinterpret_cast<const nlm_test_args*>(record);
            FUZZ_CHECK(a->cookie.length <= kNlmNetobjMax);
            check_lock(a->lock, k.version);
            static uint8_t again[8192];
            const size_t n = nlm_encode_granted(again, k.version, a->cookie, a->exclusive != 0, a->lock);
            FUZZ_CHECK(n == size_t(c.pos) * 4);
            // The bytes come back but for padding (zero) and a true flag other than 1.
            for (size_t i = 0; i < n; ++i) FUZZ_CHECK(again[i] == data[i] || again[i] <= 1);
        } else if (k.decode == nlm4_decode_lock || k.decode == nlm1_decode_lock) {
            check_lock(reinterpret_cast<const nlm_lock_args*>(record)->lock, k.version);
        } else if (k.decode == nlm4_decode_share || k.decode == nlm1_decode_share) {
            const auto* a = reinterpret_cast<const nlm_share_args*>(record);
            FUZZ_CHECK(a->caller.length <= kNlmCallerMax && a->owner.length <= kNlmNetobjMax);
            check_fh(a->fh, k.version);
        } else if (k.decode == nlm_decode_notify) {
            FUZZ_CHECK(reinterpret_cast<const nlm_notify_args*>(record)->name.length <= kNlmNetobjMax);
        }
    }
    return 0;
}
