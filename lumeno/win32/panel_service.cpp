#include "lumeno/win32/panel_service.h"

#include <shellapi.h>

#include <cstdio>
#include <cstring>

namespace {
const char kService[] = "NFSserver";

// The program's directory with its trailing backslash.
void program_directory(char* out, size_t size) {
    DWORD n = GetModuleFileNameA(nullptr, out, DWORD(size));
    if (n == 0 || n >= size) n = 0;
    out[n] = 0;
    if (char* slash = std::strrchr(out, '\\')) slash[1] = 0;
    else out[0] = 0;
}
}  // namespace

void panel_service_start() {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager) return;
    if (SC_HANDLE service = OpenServiceA(manager, kService, SERVICE_ALL_ACCESS)) {
        StartServiceA(service, 0, nullptr);
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
}

void panel_service_stop() {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager) return;
    if (SC_HANDLE service = OpenServiceA(manager, kService, SERVICE_STOP)) {
        SERVICE_STATUS status{};
        ControlService(service, SERVICE_CONTROL_STOP, &status);
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
}

void panel_open_help(HWND owner) {
    char dir[MAX_PATH], path[MAX_PATH + 32];
    program_directory(dir, sizeof dir);
    const bool german = PRIMARYLANGID(GetUserDefaultUILanguage()) == LANG_GERMAN;
    std::snprintf(path, sizeof path, "%sdoc\\%s", dir, german ? "quen-d.htm" : "quen.htm");
    // Where no German help is installed, the English one rather than nothing.
    if (german && GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES)
        std::snprintf(path, sizeof path, "%sdoc\\quen.htm", dir);
    ShellExecuteA(owner, "open", path, nullptr, nullptr, SW_SHOWNORMAL);
}

void panel_allow_drops(HWND window) {
    // Both calls are looked up by name: Windows XP has neither.
    using per_window = BOOL(WINAPI*)(HWND, UINT, DWORD, void*);
    using per_process = BOOL(WINAPI*)(UINT, DWORD);
    HMODULE user = GetModuleHandleA("user32.dll");
    if (!user) return;
    const UINT messages[] = {0x233, 0x49, 0x4A};   // WM_DROPFILES, WM_COPYGLOBALDATA, WM_COPYDATA
    if (auto f = reinterpret_cast<per_window>(reinterpret_cast<void*>(GetProcAddress(user, "ChangeWindowMessageFilterEx")))) {
        for (UINT m : messages)
            if (!f(window, m, 1, nullptr)) break;   // MSGFLT_ALLOW
    } else if (auto p = reinterpret_cast<per_process>(reinterpret_cast<void*>(GetProcAddress(user, "ChangeWindowMessageFilter")))) {
        for (UINT m : messages)
            if (!p(m, 1)) break;   // MSGFLT_ADD
    }
}
