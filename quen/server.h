// The server's life: initialisation, serving, and the stop sequence.
#pragma once

extern volatile int g_stop_flag;

// The initialisation routine: runs the server on this thread until it has
// stopped. `argv` are the process's arguments (options from argv[1] on).
// Result: 0, or the FILE_SERVICE_* code of a start that failed.
int server_initialise(int argc, char** argv);
// The stop sequence; safe to run more than once and from another thread.
void server_stop();
// The start routine run by the service main and by -debug. Result: as
// server_initialise's (1 when a status report failed).
int server_run(int argc, char** argv);
// Keeps the process's arguments for server_run.
void server_set_arguments(int argc, char** argv);
