// Every NFS argument decoder over any bytes: a decoder reads only what it
// was given and leaves the cursor alone when it fails; what decodes says
// the same thing when libnfs encodes the record again (the input's bytes,
// but for padding, which comes back zero), and that encoding decodes to
// itself.
#include <cstdint>
#include <cstring>

#include "tests/fuzz/fuzz_check.h"
#include "tests/nfs/libnfs_args.h"

namespace {

void check_case(const nfs_arg_case& k, const uint8_t* data, size_t size) {
    static uint8_t again[2 * 65536], third[2 * 65536];
    size_t consumed = 0;
    const int n = reencode(k, data, size, again, sizeof again, &consumed);
    if (n == -1) {
        alignas(8) static uint8_t record[kRecordStorage];
        xdr_cursor c{0, int32_t(size), data};
        FUZZ_CHECK(!k.decode(&c, record) && c.pos == 0);
        return;
    }
    FUZZ_CHECK(consumed <= size);
    if (n == -2) return;   // a value libnfs has no encoding for (MKNOD of another type)
    FUZZ_CHECK(size_t(n) == consumed);
    for (size_t i = 0; i < consumed; ++i) FUZZ_CHECK(again[i] == data[i] || again[i] == 0);
    size_t consumed_again = 0;
    FUZZ_CHECK(reencode(k, again, size_t(n), third, sizeof third, &consumed_again) == n);
    FUZZ_CHECK(consumed_again == size_t(n) && std::memcmp(again, third, size_t(n)) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 65536) return 0;
    for (size_t i = 0; i < kNfsArgCaseCount; ++i) check_case(kNfsArgCases[i], data, size);
    return 0;
}
