// The service control manager, the console's control events and the event
// log of Windows, called straight.
#include "platform/service.h"

#include "platform/utf16.h"
#include "platform/win_error.h"

#include <windows.h>

#include <cstring>
#include <string>
#include <string_view>

namespace {

void (*g_service_main)(int, char**) = nullptr;
void (*g_control_handler)(uint32_t) = nullptr;
bool (*g_console_handler)(uint32_t) = nullptr;

void WINAPI service_main_entry(DWORD argc, LPSTR* argv) {
    if (g_service_main) g_service_main(int(argc), argv);
}

void WINAPI control_handler_entry(DWORD control) {
    if (g_control_handler) g_control_handler(control);
}

BOOL WINAPI console_handler_entry(DWORD event) {
    return g_console_handler && g_console_handler(event) ? TRUE : FALSE;
}

// ChangeServiceConfig2A, which old systems lack.
using change_config2_fn = BOOL(WINAPI*)(SC_HANDLE, DWORD, LPVOID);

change_config2_fn change_config2() {
    HMODULE advapi = GetModuleHandleA("advapi32.dll");
    if (!advapi) advapi = LoadLibraryA("advapi32.dll");
    if (!advapi) return nullptr;
    // Through void(*)(), which converts to any function type without warning.
    return reinterpret_cast<change_config2_fn>(
        reinterpret_cast<void (*)()>(GetProcAddress(advapi, "ChangeServiceConfig2A")));
}

void set_error(uint32_t* error, uint32_t value) {
    if (error) *error = value;
}

}  // namespace

struct svc_manager {
    SC_HANDLE handle;
};

struct svc_service {
    SC_HANDLE handle;
};

// ---- Running as a service ----------------------------------------------

uint32_t svc_run_dispatcher(const char* name, void (*service_main)(int argc, char** argv)) {
    if (!name || !service_main) return WIN_ERROR_INVALID_PARAMETER;
    g_service_main = service_main;
    std::string service_name = name;
    SERVICE_TABLE_ENTRYA table[] = {
        {service_name.data(), service_main_entry},
        {nullptr, nullptr},
    };
    return StartServiceCtrlDispatcherA(table) ? WIN_ERROR_SUCCESS : uint32_t(GetLastError());
}

uintptr_t svc_register_handler(const char* name, void (*handler)(uint32_t control)) {
    g_control_handler = handler;
    return uintptr_t(RegisterServiceCtrlHandlerA(name, control_handler_entry));
}

bool svc_set_status(uintptr_t status_handle, const svc_status& status) {
    SERVICE_STATUS s{};
    s.dwServiceType = status.service_type;
    s.dwCurrentState = status.current_state;
    s.dwControlsAccepted = status.controls_accepted;
    s.dwWin32ExitCode = status.win32_exit_code;
    s.dwServiceSpecificExitCode = status.service_exit_code;
    s.dwCheckPoint = status.check_point;
    s.dwWaitHint = status.wait_hint;
    return SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(status_handle), &s) != FALSE;
}

bool console_set_handler(bool (*handler)(uint32_t event)) {
    g_console_handler = handler;
    return SetConsoleCtrlHandler(console_handler_entry, TRUE) != FALSE;
}

void process_set_shutdown_level(uint32_t level) { SetProcessShutdownParameters(level, SHUTDOWN_NORETRY); }

// ---- Installing and controlling --------------------------------------------

svc_manager* svc_open_manager(uint32_t* error) {
    SC_HANDLE h = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!h) {
        set_error(error, GetLastError());
        return nullptr;
    }
    set_error(error, WIN_ERROR_SUCCESS);
    return new svc_manager{h};
}

void svc_close_manager(svc_manager* m) {
    if (!m) return;
    CloseServiceHandle(m->handle);
    delete m;
}

svc_service* svc_create(svc_manager* m, const svc_config& config, uint32_t* error) {
    if (!m) {
        set_error(error, WIN_ERROR_INVALID_HANDLE);
        return nullptr;
    }
    SC_HANDLE h = CreateServiceA(m->handle, config.name, config.display_name, SERVICE_ALL_ACCESS,
                                 SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                 config.command_line, config.group, nullptr, config.dependencies,
                                 nullptr /* LocalSystem */, nullptr);
    if (!h) {
        set_error(error, GetLastError());
        return nullptr;
    }
    set_error(error, WIN_ERROR_SUCCESS);
    return new svc_service{h};
}

svc_service* svc_open(svc_manager* m, const char* name, uint32_t* error) {
    if (!m) {
        set_error(error, WIN_ERROR_INVALID_HANDLE);
        return nullptr;
    }
    SC_HANDLE h = OpenServiceA(m->handle, name, SERVICE_ALL_ACCESS);
    if (!h) {
        set_error(error, GetLastError());
        return nullptr;
    }
    set_error(error, WIN_ERROR_SUCCESS);
    return new svc_service{h};
}

void svc_close(svc_service* s) {
    if (!s) return;
    CloseServiceHandle(s->handle);
    delete s;
}

bool svc_set_description(svc_service* s, const char* description) {
    const change_config2_fn change = change_config2();
    if (!s || !change) return false;
    SERVICE_DESCRIPTIONA d{};
    d.lpDescription = const_cast<char*>(description);
    return change(s->handle, SERVICE_CONFIG_DESCRIPTION, &d) != FALSE;
}

uint32_t svc_start(svc_service* s) {
    if (!s) return WIN_ERROR_INVALID_HANDLE;
    return StartServiceA(s->handle, 0, nullptr) ? WIN_ERROR_SUCCESS : uint32_t(GetLastError());
}

bool svc_stop(svc_service* s, uint32_t* state) {
    if (!s) return false;
    SERVICE_STATUS st{};
    const bool sent = ControlService(s->handle, SERVICE_CONTROL_STOP, &st) != FALSE;
    if (!sent) {
        // The status is filled in for some failures only: ask for it, keeping
        // the reason of the failure as the last error.
        const DWORD reason = GetLastError();
        if (!QueryServiceStatus(s->handle, &st)) st.dwCurrentState = 0;
        SetLastError(reason);
    }
    if (state && st.dwCurrentState != 0) *state = st.dwCurrentState;
    return sent;
}

bool svc_query_state(svc_service* s, uint32_t* state) {
    if (!s) return false;
    SERVICE_STATUS st{};
    if (!QueryServiceStatus(s->handle, &st)) return false;
    if (state) *state = st.dwCurrentState;
    return true;
}

uint32_t svc_delete(svc_service* s) {
    if (!s) return WIN_ERROR_INVALID_HANDLE;
    return DeleteService(s->handle) ? WIN_ERROR_SUCCESS : uint32_t(GetLastError());
}

// ---- Errors and the event log ------------------------------------------

uint32_t sys_last_error() { return GetLastError(); }

size_t sys_error_message(uint32_t error, char* out, size_t size) {
    if (!out || size == 0) return 0;
    out[0] = 0;
    // Wide, then UTF-8: the text goes to the console and the log, which take UTF-8.
    wchar_t wide[512];
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, wide,
                             DWORD(sizeof wide / sizeof wide[0]), nullptr);
    while (n > 0 && (wide[n - 1] == L'\n' || wide[n - 1] == L'\r')) --n;
    std::string text;
    if (n == 0 || !utf16_to_utf8(std::u16string_view(reinterpret_cast<const char16_t*>(wide), n), text) ||
        text.size() >= size)
        return 0;
    std::memcpy(out, text.c_str(), text.size() + 1);
    return text.size();
}

bool event_log_error(const char* source, const char* const* strings, unsigned count) {
    std::u16string name;
    if (!utf8_to_utf16(source ? source : "", name)) return false;
    HANDLE h = RegisterEventSourceW(nullptr, reinterpret_cast<const wchar_t*>(name.c_str()));
    if (!h) return false;
    // The texts are UTF-8; a text that does not convert is reported empty.
    std::u16string wide[8];
    const wchar_t* texts[8];
    if (count > 8) count = 8;
    for (unsigned i = 0; i < count; ++i) {
        if (!strings || !strings[i] || !utf8_to_utf16(strings[i], wide[i])) wide[i].clear();
        texts[i] = reinterpret_cast<const wchar_t*>(wide[i].c_str());
    }
    const BOOL ok = ReportEventW(h, EVENTLOG_ERROR_TYPE, 0, 0, nullptr, WORD(count), 0, texts, nullptr);
    DeregisterEventSource(h);
    return ok != FALSE;
}

size_t executable_path(char* out, size_t size) {
    if (!out || size == 0) return 0;
    const DWORD capacity = size > 0xFFFF ? 0xFFFF : DWORD(size);
    const DWORD n = GetModuleFileNameA(nullptr, out, capacity);
    // A path cut to fit ends at the buffer's end.
    if (n == 0 || n >= capacity) {
        out[0] = 0;
        return 0;
    }
    return n;
}
