#include "quen/server.h"

#include "platform/net.h"
#include "platform/path.h"
#include "platform/service.h"
#include "platform/thread.h"
#include "quen/config/registry_access.h"
#include "quen/config/settings.h"
#include "quen/control/control_server.h"
#include "quen/fs/names.h"
#include "quen/log/log_file.h"
#include "quen/file_service.h"
#include "rpc/log.h"
#include "rpc/transport.h"
#include "service/service_shell.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>

volatile int g_stop_flag = 0;

namespace {

constexpr const char* kTitle = "Tervalo NFS Server";
constexpr const char* kVersion = "1.2.70";

// Process arguments: the service main hands over the service's own, but the
// server reads the options of its command line.
int g_argc = 0;
char** g_argv = nullptr;

bool equals_ignoring_case(const char* a, const char* b) {
    for (; *a && *b; ++a, ++b)
        if (std::tolower(static_cast<unsigned char>(*a)) != std::tolower(static_cast<unsigned char>(*b))) return false;
    return *a == *b;
}

// Options from argv[1] on, up to the first argument not starting with '-'.
void scan_options(int argc, char** argv) {
    for (int i = 1; i < argc && argv[i][0] == '-'; ++i) {
        if (equals_ignoring_case(argv[i], "-debug")) {
            if (g_log_level < 2) g_log_level = 2;
        } else if (equals_ignoring_case(argv[i], "-portmap")) {
            g_settings.record.portmapper = 1;
        } else if (equals_ignoring_case(argv[i], "-cache")) {
            g_settings.record.cache = 0;
        }
    }
}

// What a start that failed lacked, for the console, the log and the event log.
const char* start_failure_text(int code) {
    switch (code) {
    case FILE_SERVICE_NO_SOCKETS: return "Windows Sockets 2.2 could not be started";
    case FILE_SERVICE_MOUNT_FAILED: return "the MOUNT service could not open its sockets (is its port in use?)";
    case FILE_SERVICE_PORTMAP_FAILED:
        return "the built-in portmapper could not bind port 111 (is another portmapper running?)";
    case FILE_SERVICE_NO_PORTMAPPER:
        return "no portmapper answers on 127.0.0.1 port 111; start the server with -portmap, or install and start "
               "the OstelDaemon service (ostel -install) first";
    case FILE_SERVICE_INODE_TABLE_IN_USE:
        return "the inode table file (inodes.nfs, see InodePath) is in use by another process: is a server already "
               "running?";
    default: return "the inode table could not be opened or created";
    }
}

crit_section& stop_lock() {
    static crit_section lock;
    static const bool ready = (crit_init(&lock), true);
    (void)ready;
    return lock;
}

// Set while the start sequence runs: a stop that arrives meanwhile (a POSIX
// service manager signals whenever it likes) only raises the flag, and the
// starting thread runs the sequence once its start has returned; running it
// alongside would close the inode table and sockets the start is using.
bool g_starting = false;

}  // namespace

void server_stop() {
    g_stop_flag = 1;
    // Only one thread runs the sequence at a time; a later run repeats it
    // harmlessly, every step being idempotent.
    crit_guard hold(&stop_lock());
    if (g_starting) return;
    control_server_stop();
    file_service_stop();
    rpc_close_all();
    file_service_shutdown();
}

int server_initialise(int argc, char** argv) {
    if (!net_startup()) return FILE_SERVICE_NO_SOCKETS;
    process_set_shutdown_level(0x100);

    char program_dir[896];
    if (program_directory(program_dir, sizeof program_dir) == 0) program_dir[0] = 0;
    config_write_string(kServerSection, "Path", program_dir, -1);
    config_read(g_settings, program_dir);
    names_setup(g_settings.escape_list, g_settings.char_map, g_settings.record.code_page);
    scan_options(argc, argv);
    log_open(g_settings.log_dir, int(g_settings.record.log), std::time(nullptr));
    log_event(1, "%s %s\n", kTitle, kVersion);
    config_apply_to_rpc(g_settings);

    // MOUNT's registrations may wait out a time-out each when no portmapper answers.
    service_report_status(SVC_START_PENDING, 0, 30000);
    {
        crit_guard hold(&stop_lock());
        g_starting = true;
    }
    const int started = file_service_start();
    {
        crit_guard hold(&stop_lock());
        g_starting = false;
        if (g_stop_flag == 0) g_stop_flag = started;
    }
    if (started != 0) {
        log_event(1, "quen: start failed: %s\n", start_failure_text(started));
    } else if (!service_report_status(SVC_RUNNING, 0, 0)) {
        g_stop_flag = 1;
    } else {
        // A stop may arrive meanwhile. Without the pipe the server still
        // serves; only the panel cannot reach it.
        control_server_start();
        if (g_stop_flag == 0) rpc_main_loop();
    }
    server_stop();
    if (log_stream() != stdout) log_close_file();
    net_cleanup();
    return started;
}

int server_run(int, char**) {
    // RUNNING follows once the start sequence has finished.
    if (!service_report_status(SVC_START_PENDING, 0, 3000)) {
        service_report_event("Unable to start service");
        return 1;  // the service controller refused the report
    }
    const int code = server_initialise(g_argc, g_argv);
    if (code != 0) {
        char text[400];
        std::snprintf(text, sizeof text, "Unable to start service: %s", start_failure_text(code));
        service_report_event(text);
    }
    return code;
}

void server_set_arguments(int argc, char** argv) {
    g_argc = argc;
    g_argv = argv;
}
