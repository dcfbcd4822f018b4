// Fuzzes the exports parser with any file content. Host names never reach a
// name service: a stand-in resolves a few fixed names. Checked: the error
// code is one the parser reports, every accepted entry is whole (address
// count, range pairs, identifier), and its text form reads back into the
// same entry.
#include <cstdint>
#include <cstring>
#include <string>

#include "tests/fuzz/fuzz_check.h"
#include "quen/mount/export_text.h"
#include "quen/mount/exports.h"
#include "rpc/log.h"

namespace {

int stand_in_resolver(const char* name, uint32_t* out, int max) {
    if (max < 1 || std::strlen(name) != 1) return 0;  // one-letter names resolve
    out[0] = 0x0100000Au + (uint32_t(uint8_t(name[0])) << 24);
    return 1;
}

bool known_error(uint32_t code) {
    return code == EXPORTS_OK || (code >= EXPORTS_EXPECTED_PATH && code <= EXPORTS_DUPLICATE);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    g_log_level = 0;   // rejected lines are expected here, by the thousand
    exports_set_resolver(stand_in_resolver);
    exports_free_all();
    const exports_report r = exports_load_text(reinterpret_cast<const char*>(data), size);
    FUZZ_CHECK(known_error(r.error));
    FUZZ_CHECK(r.error == EXPORTS_OK || r.line >= 1);
    // Written as the rewrite writes them.
    const bool utf8 = exports_need_utf8();
    std::string text = utf8 ? "\xEF\xBB\xBF" : "";
    size_t count = 0;
    for (export_entry* e = exports_active(); e; e = e->next) {
        FUZZ_CHECK(e->addresses.size() <= EXPORT_MAX_ADDRESSES);
        FUZZ_CHECK(e->fixed.address_count == e->addresses.size());
        if ((e->fixed.entry_options & EXPORT_RANGE) && e->addresses.size() < EXPORT_MAX_ADDRESSES)
            FUZZ_CHECK(e->addresses.size() % 2 == 0 && !e->addresses.empty());
        FUZZ_CHECK(e->fixed.export_id == export_identifier(*e));
        FUZZ_CHECK(e->fixed.umask <= 077);
        FUZZ_CHECK(e->fixed.volume_prefix_length > 0 && e->fixed.volume_prefix_length <= e->folder.size());
        text += export_line_text(*e, false, utf8);
        ++count;
    }
    // The entries as text read back into as many entries, with the same text.
    exports_free_all();
    const exports_report again = exports_load_text(text.data(), text.size());
    size_t count_again = 0;
    std::string text_again = utf8 ? "\xEF\xBB\xBF" : "";
    for (export_entry* e = exports_active(); e; e = e->next) {
        text_again += export_line_text(*e, false, utf8);
        ++count_again;
    }
    FUZZ_CHECK(again.error == EXPORTS_OK || again.error == EXPORTS_TOO_MANY_CLIENTS);
    FUZZ_CHECK(count_again == count);
    FUZZ_CHECK(text_again == text);
    exports_free_all();
    return 0;
}
