// The process shell shared by the server and the portmapper daemon: service
// installation and removal with their console messages, the service main
// routine, status reports with check points, the control handlers, and
// event-log reports.
#pragma once
#include <cstddef>
#include <cstdint>

struct service_program {
    const char* name;          // service name, e.g. "NFSserver"; also the event source
    const char* display_name;  // e.g. "NFS Server"
    const char* description;   // e.g. "Implements a NFS Version 2/3 Server"
    // The body run by the service main (after its first START_PENDING report)
    // and by -debug: returns when the program has stopped. Result: 0, or the
    // program's non-zero code of a start that failed (the service-specific
    // exit code, and the console's exit status).
    int (*run)(int argc, char** argv);
    // The idempotent stop sequence, run by the control handlers.
    void (*stop)();
};

// Set by -debug: status and event-log reports are skipped (and succeed).
extern bool g_service_debug;

// Reports a state. States other than RUNNING and STOPPED carry the next check
// point. A failed report writes the event "SetServiceStatus".
bool service_report_status(uint32_t state, uint32_t win32_exit_code, uint32_t wait_hint);
// STOPPED after a failed start: ERROR_SERVICE_SPECIFIC_ERROR with `code`.
bool service_report_start_failed(uint32_t code);
// Writes an error event: "<name> error: <last error>" and the text.
void service_report_event(const char* text);

// "-install": creates the service (own process, automatic start, LocalSystem)
// with the executable path plus `command_suffix` (may be empty), the
// dependency list (double-NUL-terminated) and the group (may be null), sets
// the description and starts it, printing the outcome. Result: installed and
// running.
bool service_install(const service_program& p, const char* command_suffix, const char* dependencies,
                     const char* group);
// "-remove": stops the service (waiting up to 30 s) and deletes it.
// Result: deleted.
bool service_remove(const service_program& p);

// "-debug": prints "Debugging <display>.", installs the console handler and
// runs the program on this thread. Result: the program's.
int service_run_console(const service_program& p, int argc, char** argv);
// Hands the process to the service controller with p as the service.
// Result: the dispatcher succeeded; a failure writes the event
// "StartServiceCtrlDispatcher failed.".
bool service_run_dispatcher(const service_program& p);
// The service's exit code once the dispatcher has returned: 0, or the code of
// a start that failed. The process ends with it, so that a service manager
// watching the process (systemd) tells a failed start from a stop.
int service_exit_code();

// "%s (0x%x)" with the system's message for `error`, or "" when there is none
// or it does not fit `size` with 14 characters to spare.
void service_error_text(uint32_t error, char* out, size_t size);
