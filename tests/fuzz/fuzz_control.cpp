// Fuzzes the control pipe's command decoder with a run of messages on one
// connection (each a 16-bit size and its bytes; the first byte of the input
// says whether the caller is an administrator). Files and settings go to a
// private folder and registry. Checked: every reply is 4 to 4096 bytes, its
// status is 0, a refusal or the command's own failure, and a success's
// length word stays within the reply where it counts bytes.
#include "control_client/control_protocol.h"
#include "platform/file.h"
#include "quen/config/settings.h"
#include "quen/control/control_commands.h"
#include "quen/mount/exports.h"
#include "quen/mount/mount_table.h"
#include "rpc/log.h"
#include "tests/fuzz/fuzz_check.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace {

int no_resolver(const char*, uint32_t*, int) { return 0; }

std::string g_private;   // the folder and registry file of this run, removed at exit

void remove_private() {
    std::error_code ec;
    std::filesystem::remove_all(g_private, ec);
    std::filesystem::remove(g_private + ".reg", ec);
    std::filesystem::remove(g_private + ".reg.lock", ec);
}

void set_up() {
    char dir[64];
    std::snprintf(dir, sizeof dir, "/tmp/quen-fuzz-control-%d", int(getpid()));
    g_private = dir;
    std::atexit(remove_private);
    const std::string registry = std::string(dir) + ".reg";
    setenv("TERVALO_REGISTRY", registry.c_str(), 1);
    const std::string windows = std::string("Z:") + dir;
    std::string w = windows;
    for (char& ch : w)
        if (ch == '/') ch = '\\';
    wp_create_directory(w.c_str());
    std::snprintf(g_settings.data_dir, sizeof g_settings.data_dir, "%s\\", w.c_str());
    std::snprintf(g_settings.log_dir, sizeof g_settings.log_dir, "%s\\", w.c_str());
    exports_set_resolver(no_resolver);
    const char text[] = "C:\\one\nC:\\two -name:two 10.0.0.1\n";
    exports_load_text(text, sizeof text - 1);
    mount_table_init();
}

// Commands whose success carries a length word that is not a byte count.
bool length_not_bytes(uint32_t code) {
    return code == CTL_FIND_NEXT || code == CTL_FIND_CLOSE || code == CTL_CLOSE_FILE || code == CTL_WRITE_FILE ||
           code == CTL_SHELL_MENU;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = (set_up(), true);
    (void)ready;
    g_log_level = 0;
    if (size < 1) return 0;
    control_session s;
    s.admin = data[0] & 1;
    static uint8_t reply[kControlMessageMax];
    size_t at = 1;
    while (at + 2 <= size) {
        size_t n = size_t(data[at]) | size_t(data[at + 1]) << 8;
        at += 2;
        if (n > size - at) n = size - at;
        const uint32_t code = n >= 4 ? control_get32(data + at) : 0;
        const uint32_t got = control_process(s, data + at, uint32_t(n), reply);
        at += n;
        if (got == 0) break;   // the connection ends
        FUZZ_CHECK(got >= 4 && got <= kControlMessageMax);
        const uint32_t status = control_get32(reply);
        FUZZ_CHECK(status == CTL_OK || status == CTL_UNKNOWN || status == CTL_DENIED || status == code);
        if (status == CTL_OK && got >= 8 && !length_not_bytes(code))
            FUZZ_CHECK(kControlHeaderSize + control_get32(reply + 4) <= got);
    }
    control_session_close(s);
    return 0;
}
