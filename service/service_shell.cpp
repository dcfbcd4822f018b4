#include "service/service_shell.h"

#include "platform/console.h"
#include "platform/registry.h"
#include "platform/service.h"
#include "platform/thread.h"
#include "platform/win_error.h"

#include <cstdio>
#include <cstring>

bool g_service_debug = false;

namespace {

const service_program* g_program = nullptr;
uintptr_t g_status_handle = 0;
uint32_t g_check_point = 1;
int g_exit_code = 0;

void control_handler(uint32_t control) {
    if (control != SVC_CONTROL_STOP && control != SVC_CONTROL_SHUTDOWN) return;
    g_program->stop();
    service_report_status(SVC_STOP_PENDING, 0, 3000);
}

bool console_handler(uint32_t event) {
    if (event != CONSOLE_CTRL_C && event != CONSOLE_CTRL_BREAK) return false;
    console_printf("Stopping %s.\n", g_program->display_name);
    std::fflush(stdout);
    g_program->stop();
    return true;
}

void service_main(int argc, char** argv) {
    g_status_handle = svc_register_handler(g_program->name, control_handler);
    if (!g_status_handle) return;
    const int code = service_report_status(SVC_START_PENDING, 0, 3000) ? g_program->run(argc, argv) : 0;
    g_exit_code = code;
    if (code == 0 || !service_report_start_failed(uint32_t(code))) service_report_status(SVC_STOPPED, 0, 0);
}

// "Stopping NFS Server....": asks the service to stop and waits up to 30 s.
void stop_installed(const service_program& p, svc_service* s) {
    uint32_t state = 0;
    if (!svc_stop(s, &state)) return;
    console_printf("Stopping %s.", p.display_name);
    std::fflush(stdout);
    sleep_ms(1000);
    for (int i = 0; i < 30 && svc_query_state(s, &state) && state == SVC_STOP_PENDING; ++i) {
        console_printf(".");
        std::fflush(stdout);
        sleep_ms(1000);
    }
    if (state == SVC_STOPPED) console_printf("\n%s stopped.\n", p.display_name);
    else console_printf("\n%s failed to stop.\n", p.display_name);
}

// Event Viewer finds the texts of the source's events in the program's
// message table.
void event_source_key(const service_program& p, char* key, size_t size) {
    std::snprintf(key, size, "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\%s", p.name);
}

void register_event_source(const service_program& p, const char* program_path) {
    char key[200];
    event_source_key(p, key, sizeof key);
    const uint32_t types = 7;  // error, warning, information
    reg_set_value(REG_LOCAL_MACHINE, key, "EventMessageFile", REG_VALUE_SZ, program_path,
                  uint32_t(std::strlen(program_path) + 1));
    reg_set_value(REG_LOCAL_MACHINE, key, "TypesSupported", REG_VALUE_DWORD, &types, sizeof types);
}

// A service reports RUNNING only once its start has finished: until then it
// is START_PENDING. Result: it came to RUNNING within 60 s.
bool wait_while_starting(svc_service* s) {
    uint32_t state = SVC_START_PENDING;
    for (int i = 0; i < 120 && svc_query_state(s, &state) && state == SVC_START_PENDING; ++i) sleep_ms(500);
    return state == SVC_RUNNING;
}

}  // namespace

void service_error_text(uint32_t error, char* out, size_t size) {
    if (!out || size == 0) return;
    out[0] = 0;
    char message[256];
    const size_t n = sys_error_message(error, message, sizeof message);
    if (n == 0 || n + 14 > sizeof message || n + 14 > size) return;
    std::snprintf(out, size, "%s (0x%x)", message, unsigned(error));
}

namespace {

bool report(uint32_t state, uint32_t win32_exit_code, uint32_t service_exit_code, uint32_t wait_hint) {
    if (g_service_debug) return true;
    svc_status st{};
    st.service_type = SVC_WIN32_OWN_PROCESS;
    st.current_state = state;
    st.controls_accepted = state == SVC_START_PENDING ? 0u : uint32_t(SVC_ACCEPT_STOP);
    st.win32_exit_code = win32_exit_code;
    st.service_exit_code = service_exit_code;
    st.check_point = (state == SVC_RUNNING || state == SVC_STOPPED) ? 0 : g_check_point++;
    st.wait_hint = wait_hint;
    if (svc_set_status(g_status_handle, st)) return true;
    service_report_event("SetServiceStatus");
    return false;
}

}  // namespace

bool service_report_status(uint32_t state, uint32_t win32_exit_code, uint32_t wait_hint) {
    return report(state, win32_exit_code, 0, wait_hint);
}

bool service_report_start_failed(uint32_t code) {
    return report(SVC_STOPPED, WIN_ERROR_SERVICE_SPECIFIC_ERROR, code, 0);
}

void service_report_event(const char* text) {
    if (g_service_debug) return;
    const uint32_t error = sys_last_error();
    const char* source = g_program ? g_program->name : "service";
    char first[160];
    std::snprintf(first, sizeof first, "%s error: %d", source, int(error));
    const char* strings[2] = {first, text};
    event_log_error(source, strings, 2);
}

bool service_install(const service_program& p, const char* command_suffix, const char* dependencies,
                     const char* group) {
    char path[512];
    char text[256];
    if (executable_path(path, sizeof path) == 0) {
        service_error_text(sys_last_error(), text, sizeof text);
        console_printf("Unable to install %s - %s\n", p.display_name, text);
        return false;
    }
    char command[600];
    std::snprintf(command, sizeof command, "%s%s", path, command_suffix ? command_suffix : "");
    uint32_t error = 0;
    svc_manager* m = svc_open_manager(&error);
    if (!m) {
        service_error_text(error, text, sizeof text);
        console_printf("OpenSCManager failed - %s\n", text);
        return false;
    }
    const svc_config config{p.name, p.display_name, command, group, dependencies};
    bool running = false;
    if (svc_service* s = svc_create(m, config, &error)) {
        console_printf("%s installed.\n", p.display_name);
        svc_set_description(s, p.description);
        register_event_source(p, path);
        error = svc_start(s);
        running = error == 0 && wait_while_starting(s);
        if (running) {
            console_printf("%s started.\n", p.display_name);
        } else {
            service_error_text(error ? error : WIN_ERROR_SERVICE_SPECIFIC_ERROR, text, sizeof text);
            console_printf("%s failed to start - %s\n", p.display_name, text);
        }
        svc_close(s);
    } else {
        service_error_text(error, text, sizeof text);
        console_printf("%s service installation failed - %s\n", p.display_name, text);
    }
    svc_close_manager(m);
    return running;
}

bool service_remove(const service_program& p) {
    char text[256];
    uint32_t error = 0;
    svc_manager* m = svc_open_manager(&error);
    if (!m) {
        service_error_text(error, text, sizeof text);
        console_printf("OpenSCManager failed - %s\n", text);
        return false;
    }
    bool deleted = false;
    if (svc_service* s = svc_open(m, p.name, &error)) {
        stop_installed(p, s);
        error = svc_delete(s);
        deleted = error == 0;
        if (deleted) {
            console_printf("%s deleted.\n", p.display_name);
            char key[200];
            event_source_key(p, key, sizeof key);
            reg_delete_key(REG_LOCAL_MACHINE, key);
        } else {
            service_error_text(error, text, sizeof text);
            console_printf("%s failed to delete service - %s\n", p.display_name, text);
        }
        svc_close(s);
    } else {
        service_error_text(error, text, sizeof text);
        console_printf("%s failed to access service - %s\n", p.display_name, text);
    }
    svc_close_manager(m);
    return deleted;
}

int service_run_console(const service_program& p, int argc, char** argv) {
    g_program = &p;
    g_service_debug = true;
    console_printf("Debugging %s.\n", p.display_name);
    std::fflush(stdout);
    console_set_handler(console_handler);
    return p.run(argc, argv);
}

int service_exit_code() { return g_exit_code; }

bool service_run_dispatcher(const service_program& p) {
    g_program = &p;
    std::fflush(stdout);
    if (svc_run_dispatcher(p.name, service_main) == 0) return true;
    service_report_event("StartServiceCtrlDispatcher failed.");
    return false;
}
