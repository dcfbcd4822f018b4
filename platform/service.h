// Service control, the console's control events and the event log.
// Windows: the service control manager and the event log themselves.
// POSIX: systemd units written and driven through systemctl, SIGTERM as the
// STOP control, SIGINT/SIGQUIT as the console's Ctrl+C/Ctrl+Break, syslog as
// the event log. Results are Win32 error numbers unless said otherwise.
#pragma once
#include "platform/win_error.h"

#include <cstddef>
#include <cstdint>

// Service states and controls, with their Win32 values.
enum : uint32_t {
    SVC_STOPPED = 1,
    SVC_START_PENDING = 2,
    SVC_STOP_PENDING = 3,
    SVC_RUNNING = 4,
};
enum : uint32_t {
    SVC_CONTROL_STOP = 1,
    SVC_CONTROL_INTERROGATE = 4,
    SVC_CONTROL_SHUTDOWN = 5,
};
enum : uint32_t {
    SVC_ACCEPT_STOP = 1,
    SVC_WIN32_OWN_PROCESS = 16,
};
enum : uint32_t {
    CONSOLE_CTRL_C = 0,
    CONSOLE_CTRL_BREAK = 1,
};
// The Win32 SERVICE_STATUS.
struct svc_status {
    uint32_t service_type;
    uint32_t current_state;
    uint32_t controls_accepted;
    uint32_t win32_exit_code;
    uint32_t service_exit_code;
    uint32_t check_point;
    uint32_t wait_hint;
};

// ---- Running as a service ----------------------------------------------

// Hands the process to the service controller, which calls service_main on a
// thread of its own and returns when it has ended. Fails with
// WIN_ERROR_FAILED_SERVICE_CONTROLLER_CONNECT when the process was not
// started by the controller (on POSIX: not by systemd, which sets
// INVOCATION_ID, nor with TERVALO_SERVICE=1 in the environment).
uint32_t svc_run_dispatcher(const char* name, void (*service_main)(int argc, char** argv));
// Registers the control handler of the running service. Result: a status
// handle, 0 on failure. POSIX: SIGTERM arrives as SVC_CONTROL_STOP; the
// signals are blocked in the calling thread, so call it before other threads
// start (they inherit the mask). Handlers run on a thread of their own.
uintptr_t svc_register_handler(const char* name, void (*handler)(uint32_t control));
// POSIX: RUNNING and STOP_PENDING are told to systemd (NOTIFY_SOCKET) if it asks.
bool svc_set_status(uintptr_t status_handle, const svc_status& status);
// Installs the console control handler; it returns whether it handled the
// event, and an event it did not handle ends the process. POSIX: SIGINT is
// CONSOLE_CTRL_C, SIGQUIT CONSOLE_CTRL_BREAK, blocked as for svc_register_handler.
bool console_set_handler(bool (*handler)(uint32_t event));
// SetProcessShutdownParameters(level, SHUTDOWN_NORETRY); nothing on POSIX.
void process_set_shutdown_level(uint32_t level);

// ---- Installing and controlling --------------------------------------------

struct svc_manager;   // the service control manager (opaque)
struct svc_service;   // an installed service (opaque)

svc_manager* svc_open_manager(uint32_t* error);
void svc_close_manager(svc_manager* m);

struct svc_config {
    const char* name;          // e.g. "NFSserver"
    const char* display_name;  // e.g. "NFS Server"
    const char* command_line;  // the executable's full path, with options
    const char* group;         // load-order group, or null
    const char* dependencies;  // double-NUL-terminated list of service names
};
svc_service* svc_create(svc_manager* m, const svc_config& config, uint32_t* error);
svc_service* svc_open(svc_manager* m, const char* name, uint32_t* error);
void svc_close(svc_service* s);
// Result: whether the description could be set (absent on old systems).
bool svc_set_description(svc_service* s, const char* description);
uint32_t svc_start(svc_service* s);
// Sends STOP. Result: sent (the service accepted it); state receives the state
// after it. A service that does not run takes no STOP: WIN_ERROR_SERVICE_NOT_ACTIVE.
bool svc_stop(svc_service* s, uint32_t* state);
bool svc_query_state(svc_service* s, uint32_t* state);
uint32_t svc_delete(svc_service* s);

// ---- Errors and the event log ------------------------------------------

// The calling thread's last system error as a Win32 number.
uint32_t sys_last_error();
// The system's message for an error, without its trailing line break.
// Result: the length, 0 when there is no message or it does not fit.
size_t sys_error_message(uint32_t error, char* out, size_t size);
// Writes an error-type event (category 0, id 0) with the given strings.
bool event_log_error(const char* source, const char* const* strings, unsigned count);

// The full path of the running executable. Result: length, 0 on failure.
size_t executable_path(char* out, size_t size);
