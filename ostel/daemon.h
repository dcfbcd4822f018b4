// The portmapper daemon's body: its settings, its log and the portmap service.
#pragma once
#include <cstddef>

// Results of a run: the exit status of the console, the service-specific exit
// code of the service.
enum : int {
    OSTEL_STOPPED = 0,
    OSTEL_REPORT_FAILED = 1,  // the service controller refused a status report
    OSTEL_NO_SOCKETS = 2,     // Windows Sockets could not be started
    OSTEL_BIND_FAILED = 3,    // port 111 is taken
};

// Runs the daemon until ostel_stop(); argv[1] "-debug" logs to standard output.
int ostel_run(int argc, char** argv);
// The stop callback of the service shell.
void ostel_stop();

// The log level: "Log" of the server's key as an unsigned decimal, 0 when absent.
int ostel_read_log_level();
// The data directory with a trailing backslash: "Directory" of the daemon's
// key, or the program directory when it is absent or empty. Result: length.
size_t ostel_data_directory(char* out, size_t size);
