#include "ostel/daemon.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/net.h"
#include "platform/path.h"
#include "platform/registry.h"
#include "platform/service.h"
#include "portmap/portmap.h"
#include "rpc/log.h"
#include "service/service_shell.h"

namespace {

constexpr const char* kTitle = "Tervalo SunRPC Portmap Daemon 1.3";
constexpr const char* kServerKey = "Software\\Tervalo\\quen";
constexpr const char* kProductKey = "Software\\Tervalo";
constexpr const char* kDaemonSubkey = "ostel";
constexpr size_t kProgramDirMax = 260;

bool is_debug_argument(const char* arg) {
    const char* word = "-debug";
    for (; *arg && *word; ++arg, ++word)
        if (std::tolower(static_cast<unsigned char>(*arg)) != *word) return false;
    return *arg == *word;
}

// A string value of HKEY_LOCAL_MACHINE, NUL-terminated; false when absent.
bool read_string(const char* key, const char* name, char* out, uint32_t size) {
    uint32_t type = 0, got = size - 1;
    if (reg_query_value(REG_LOCAL_MACHINE, key, name, &type, out, &got) != 0 || type != REG_VALUE_SZ) return false;
    out[got < size ? got : size - 1] = 0;
    return true;
}

// The monthly file in the data directory; false leaves logging off.
bool open_log_file(const char* dir) {
    char name[32];
    const std::time_t now = std::time(nullptr);
    const std::tm* t = std::localtime(&now);
    if (!t || std::strftime(name, sizeof name, "pmap%y%m.log", t) == 0) return false;
    char path[1024];
    if (std::snprintf(path, sizeof path, "%s%s", dir, name) >= int(sizeof path)) return false;
    FILE* f = path_fopen(path, "a+");
    if (!f) return false;
    log_set_stream(f);
    return true;
}

// Sockets are up: opens the log, serves, and tells whether the service started.
// Result: OSTEL_STOPPED after serving, or why the start failed.
int serve(bool debug, const char* data_dir) {
    bool file = false;
    if (debug) {
        if (g_log_level < 2) g_log_level = 2;
        log_set_stream(stdout);
    } else if (g_log_level > 0) {
        file = open_log_file(data_dir);
        if (!file) g_log_level = 0;
    }
    // Nothing else runs yet, so the shared time stamp needs no lock here.
    if (file) log_printf(2, "\n%s %s log started\n", log_timestamp(), kTitle);
    log_event(2, "%s\n", kTitle);
    log_flush();
    if (!pmap_daemon_start()) return OSTEL_BIND_FAILED;
    // RUNNING once the sockets are bound: until then the start may still fail.
    const bool reported = service_report_status(SVC_RUNNING, 0, 0);
    if (!reported) pmap_daemon_stop();  // the loop then only closes the sockets
    pmap_daemon_serve();
    return reported ? OSTEL_STOPPED : OSTEL_REPORT_FAILED;
}

}  // namespace

int ostel_read_log_level() {
    char text[64];
    unsigned level = 0;
    if (!read_string(kServerKey, "Log", text, sizeof text) || std::sscanf(text, "%u", &level) != 1) return 0;
    return level > unsigned(INT_MAX) ? INT_MAX : int(level);
}

size_t ostel_data_directory(char* out, size_t size) {
    if (size < 2) return 0;
    char key[128];
    std::snprintf(key, sizeof key, "%s\\%s", kProductKey, kDaemonSubkey);
    char text[1024];
    size_t n = 0;
    if (read_string(key, "Directory", text, sizeof text) && text[0]) n = path_from_setting(text, out, size - 1);
    if (n == 0) {
        char dir[kProgramDirMax + 1];
        n = program_directory(dir, sizeof dir);
        if (n == 0 || n >= size) {
            out[0] = 0;
            return 0;
        }
        std::memcpy(out, dir, n + 1);
    }
    // The file name is appended directly.
    if (out[n - 1] != '\\' && out[n - 1] != '/') {
        out[n++] = '\\';
        out[n] = 0;
    }
    return n;
}

int ostel_run(int argc, char** argv) {
    // Both reports are skipped (and succeed) in the console; a failed one has
    // written its own event.
    if (!service_report_status(SVC_START_PENDING, 0, 3000)) return OSTEL_REPORT_FAILED;
    g_log_level = ostel_read_log_level();
    char data_dir[1024];
    ostel_data_directory(data_dir, sizeof data_dir);
    int code = OSTEL_NO_SOCKETS;
    if (net_startup()) {
        process_set_shutdown_level(0x100);
        code = serve(argc > 1 && is_debug_argument(argv[1]), data_dir);
        net_cleanup();
    }
    if (code == OSTEL_NO_SOCKETS || code == OSTEL_BIND_FAILED) {
        char text[160];
        std::snprintf(text, sizeof text, "Unable to start service: %s",
                      code == OSTEL_BIND_FAILED ? "port 111 is in use (is another portmapper running?)"
                                                : "Windows Sockets 2.2 could not be started");
        service_report_event(text);
    }
    log_flush();
    log_set_stream(stderr);
    return code;
}

void ostel_stop() { pmap_daemon_stop(); }
