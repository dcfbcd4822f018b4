// lumeno: the control panel of the NFS server.
#include <winsock2.h>   // before windows.h, which the panel's headers include

#include "lumeno/core/command_line.h"
#include "lumeno/core/panel_ids.h"
#include "lumeno/core/panel_texts.h"
#include "lumeno/win32/panel_admin.h"
#include "lumeno/win32/panel_local.h"
#include "lumeno/win32/panel_window.h"

#include <commctrl.h>
#include <shellapi.h>

#include <clocale>
#include <cstdlib>
#include <string>

namespace {

void fail(const char* text) {
    MessageBoxExA(nullptr, text, PANEL_TITLE, MB_OK | MB_TASKMODAL | MB_ICONERROR, GetUserDefaultUILanguage());
}

// One panel per session: a second start without a folder brings the first forward.
bool activate_first(HWND first) {
    HWND shown = GetLastActivePopup(first);
    if (IsIconic(first) || !IsWindowVisible(first)) ShowWindow(first, SW_RESTORE);
    BringWindowToTop(first);
    if (shown && shown != first) BringWindowToTop(shown);
    SetForegroundWindow(shown ? shown : first);
    return true;
}

// The panel again, asking for elevation; the user may decline, and this
// process ends either way.
void restart_elevated(const std::string& parameters) {
    char self[MAX_PATH + 1] = {};
    const DWORD n = GetModuleFileNameA(nullptr, self, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return;
    ShellExecuteA(nullptr, "runas", self, parameters.c_str(), nullptr, SW_SHOWNORMAL);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show) {
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_LISTVIEW_CLASSES | ICC_BAR_CLASSES};
    InitCommonControlsEx(&controls);
    const panel_start_plan plan = panel_command_line(__argc > 1 ? __argv[1] : nullptr, panel_is_administrator(),
                                                     panel_local());
    if (plan.kind == PANEL_START_END) return 1;   // too long to be a folder, or a file
    if (plan.kind == PANEL_START_ELEVATE) {
        restart_elevated(plan.parameters);
        return 0;
    }
    const char* folder = plan.kind == PANEL_START_INSERT ? plan.folder.c_str() : nullptr;
    HWND first = FindWindowA("quen", nullptr);
    if (first && !folder) return activate_first(first) ? 0 : 1;

    const panel_startup startup{instance, first != nullptr, folder};
    HWND window = panel_window_create(startup);
    if (!window) {
        fail(panel_text(IDS_NFS_ERROR_1).c_str());
        return 1;
    }
    std::setlocale(LC_TIME, "");
    SetProcessShutdownParameters(0x100, SHUTDOWN_NORETRY);
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) {
        fail(panel_text(IDS_NFS_ERROR_1).c_str());
        DestroyWindow(window);
        return 1;
    }
    panel_window_start(show);
    if (folder) panel_window_insert(folder);
    HACCEL accelerators = panel_accelerators();
    MSG m;
    while (GetMessageA(&m, nullptr, 0, 0) > 0) {
        if (accelerators && TranslateAcceleratorA(window, accelerators, &m)) continue;
        TranslateMessage(&m);
        DispatchMessageA(&m);
    }
    WSACleanup();
    return 0;
}
