// The portmapper daemon's body: its settings, its log and the portmap service.
#pragma once
#include <cstddef>

// Runs the daemon until ostel_stop(); argv[1] "-debug" logs to standard output.
void ostel_run(int argc, char** argv);
// The stop callback of the service shell.
void ostel_stop();

// The log level: "Log" of the server's key as an unsigned decimal, 0 when absent.
int ostel_read_log_level();
// The data directory with a trailing backslash: "Directory" of the daemon's
// key, or the program directory when it is absent or empty. Result: length.
size_t ostel_data_directory(char* out, size_t size);
