// Drives a running control panel from outside, as a person at the screen
// would, for the Wine harness: finds the window of class "quen", sends it
// commands, and reads back its list and status bars. The panel's list and
// bars answer only into their own process's memory, so the driver lends
// them a buffer there.
//
// usage: panel_driver COMMAND [ARGS]
//   wait SECONDS          until the window exists (exit 1 when it does not)
//   rows                  "row<TAB>data<TAB>col0<TAB>col1<TAB>col2" per row, then "header<TAB>..." and "status<TAB>..."
//   send N | post N       WM_COMMAND N, waiting for it or not
//   select ROW            selects one row (the others not)
//   rclick ROW            a right click on the row (opens the context menu)
//   menu                  "menu<TAB>items" when a popup menu is open
//   cancel-menu           closes an open popup menu
//   rect [TITLE]          "x y width height" of the main window or of a dialog with that title
//   close-dialog TITLE    presses OK in that dialog
//   tray                  "tray present" when the panel's tray icon exists, else "tray absent"
//   minimize              minimises the window (to the tray, when the icon is there)
//   tray-click            a left click on the tray icon, as the shell reports it
//   tray-rclick           a right click on it (opens the tray menu beside the window)
//   shown                 "shown" when the window is visible and not minimised, else "hidden"
//   count                 "windows N": the top-level windows of class "quen", hidden ones too
//   title                 the main window's title
//   menus                 "menu<TAB>position<TAB>command<TAB>text" per item of the menu bar, as
//                         GetMenuString reads it inside the panel (panel_probe.dll beside the driver)
//   menu-text ID          the text of the item of command ID
//   menu-top N [M]        the text of top-level popup N (or of popup M inside it)
// In a dialog by its title (a property sheet's controls on its visible page):
//   item-set TITLE ID TEXT   sets a control's text
//   item-text TITLE ID       prints it
//   item-click TITLE ID      clicks a button or check box and waits for it
//   item-post TITLE ID       presses a button without waiting (it may open a message box)
//   item-checked TITLE ID    "checked" or "unchecked"
//   item-shown TITLE ID      "shown" or "hidden"
//   list TITLE               "row<TAB>col0<TAB>col1..." of the dialog's visible list view
//   page TITLE N             shows page N of the property sheet
//   item-select TITLE ID ROW selects one row of a list view (as a click would)
//   combo-select TITLE ID N  chooses entry N of a drop-down list, as a click does
// Outside the panel:
//   add-printer NAME PORT PPD   a PostScript printer (Wine's driver, the PPD in the driver folder), the default
//   service-state NAME          "running", "stopped", "pending" or "absent"
//   record FILE ARG...          appends the arguments, one line, to FILE (a stand-in for a program the shell starts)
#include "lumeno/core/panel_ids.h"

#include <windows.h>
#include <commctrl.h>
#include <prsht.h>
#include <shellapi.h>
#include <winspool.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

HWND panel() { return FindWindowA("quen", nullptr); }

// A buffer in the panel's process.
struct remote {
    HANDLE process = nullptr;
    char* base = nullptr;
    static constexpr size_t kSize = 65536;
    explicit remote(HWND w) {
        DWORD pid = 0;
        GetWindowThreadProcessId(w, &pid);
        process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE | PROCESS_QUERY_INFORMATION,
                              FALSE, pid);
        if (process)
            base = static_cast<char*>(VirtualAllocEx(process, nullptr, kSize, MEM_COMMIT, PAGE_READWRITE));
    }
    ~remote() {
        if (base) VirtualFreeEx(process, base, 0, MEM_RELEASE);
        if (process) CloseHandle(process);
    }
    bool put(size_t offset, const void* data, size_t n) {
        return WriteProcessMemory(process, base + offset, data, n, nullptr) != FALSE;
    }
    std::string text(size_t offset, size_t n) {
        std::string s(n, '\0');
        SIZE_T got = 0;
        if (!ReadProcessMemory(process, base + offset, s.data(), n, &got)) return "";
        s.resize(std::strlen(s.c_str()));
        return s;
    }
};

constexpr size_t kTextAt = 4096;
constexpr int kTextMax = 8192;

std::string cell(HWND list, remote& r, int row, int column) {
    LVITEMA item{};
    item.iSubItem = column;
    item.pszText = r.base + kTextAt;
    item.cchTextMax = kTextMax;
    const char none = 0;
    r.put(kTextAt, &none, 1);
    r.put(0, &item, sizeof item);
    SendMessageA(list, LVM_GETITEMTEXTA, WPARAM(row), reinterpret_cast<LPARAM>(r.base));
    return r.text(kTextAt, kTextMax);
}

LPARAM item_data(HWND list, remote& r, int row) {
    LVITEMA item{};
    item.mask = LVIF_PARAM;
    item.iItem = row;
    r.put(0, &item, sizeof item);
    SendMessageA(list, LVM_GETITEMA, 0, reinterpret_cast<LPARAM>(r.base));
    LVITEMA back{};
    ReadProcessMemory(r.process, r.base, &back, sizeof back, nullptr);
    return back.lParam;
}

std::string bar_text(HWND bar, remote& r) {
    const char none = 0;
    r.put(kTextAt, &none, 1);
    SendMessageA(bar, SB_GETTEXTA, 0, reinterpret_cast<LPARAM>(r.base + kTextAt));
    return r.text(kTextAt, kTextMax);
}

int rows(HWND w) {
    HWND list = GetDlgItem(w, IDC_LIST);
    remote r(list);
    if (!r.base) return 2;
    const int n = int(SendMessageA(list, LVM_GETITEMCOUNT, 0, 0));
    for (int i = 0; i < n; ++i)
        // Item data is the entry's 32-bit reference, whatever the size of LPARAM.
        std::printf("row\t%lu\t%s\t%s\t%s\n", static_cast<unsigned long>(uint32_t(item_data(list, r, i))),
                    cell(list, r, i, 0).c_str(),
                    cell(list, r, i, 1).c_str(), cell(list, r, i, 2).c_str());
    std::printf("header\t%s\n", bar_text(GetDlgItem(w, IDC_HEADER_BAR), r).c_str());
    std::printf("status\t%s\n", bar_text(GetDlgItem(w, IDC_STATUS_BAR), r).c_str());
    return 0;
}

int select_row(HWND w, int row) {
    HWND list = GetDlgItem(w, IDC_LIST);
    remote r(list);
    if (!r.base) return 2;
    LVITEMA item{};
    item.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
    item.state = 0;
    r.put(0, &item, sizeof item);
    SendMessageA(list, LVM_SETITEMSTATE, WPARAM(-1), reinterpret_cast<LPARAM>(r.base));
    item.state = LVIS_SELECTED | LVIS_FOCUSED;
    r.put(0, &item, sizeof item);
    return SendMessageA(list, LVM_SETITEMSTATE, WPARAM(row), reinterpret_cast<LPARAM>(r.base)) ? 0 : 1;
}

int right_click(HWND w, int row) {
    HWND list = GetDlgItem(w, IDC_LIST);
    remote r(list);
    if (!r.base) return 2;
    RECT rect{};
    rect.left = LVIR_LABEL;
    r.put(0, &rect, sizeof rect);
    if (!SendMessageA(list, LVM_GETITEMRECT, WPARAM(row), reinterpret_cast<LPARAM>(r.base))) return 1;
    ReadProcessMemory(r.process, r.base, &rect, sizeof rect, nullptr);
    POINT at{rect.left + 10, (rect.top + rect.bottom) / 2};
    // The menu opens at the cursor: put it beside the window, where the
    // menu covers none of it (under Wine without a window manager a popup
    // over another window of its process stays unpainted on the screen).
    POINT screen = at;
    ClientToScreen(list, &screen);
    RECT frame{};
    GetWindowRect(w, &frame);
    SetCursorPos(frame.right + 4, screen.y);
    PostMessageA(list, WM_RBUTTONDOWN, MK_RBUTTON, MAKELPARAM(at.x, at.y));
    PostMessageA(list, WM_RBUTTONUP, 0, MAKELPARAM(at.x, at.y));
    return 0;
}

// The panel's menu bar, read inside its process: the probe library is
// loaded there by a thread of the driver's making, writes the menus to a
// file beside itself and unloads again.
bool menu_dump(HWND w, std::string* dump) {
    char probe[MAX_PATH + 32] = {};
    const DWORD n = GetModuleFileNameA(nullptr, probe, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return false;
    char* slash = std::strrchr(probe, '\\');
    if (!slash) return false;
    std::strcpy(slash + 1, "panel_probe.dll");
    const std::string out = std::string(probe) + ".txt";
    DeleteFileA(out.c_str());
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    HANDLE process = OpenProcess(PROCESS_CREATE_THREAD | PROCESS_QUERY_INFORMATION | PROCESS_VM_OPERATION |
                                     PROCESS_VM_WRITE | PROCESS_VM_READ, FALSE, pid);
    if (!process) return false;
    bool ok = false;
    const size_t size = std::strlen(probe) + 1;
    if (void* name = VirtualAllocEx(process, nullptr, size, MEM_COMMIT, PAGE_READWRITE)) {
        // kernel32 lies at the same address in every process of one bitness.
        auto load = reinterpret_cast<LPTHREAD_START_ROUTINE>(
            reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "LoadLibraryA")));
        if (load && WriteProcessMemory(process, name, probe, size, nullptr)) {
            if (HANDLE thread = CreateRemoteThread(process, nullptr, 0, load, name, 0, nullptr)) {
                ok = WaitForSingleObject(thread, 10000) == WAIT_OBJECT_0;
                CloseHandle(thread);
            }
        }
        VirtualFreeEx(process, name, 0, MEM_RELEASE);
    }
    CloseHandle(process);
    if (!ok) return false;
    FILE* f = std::fopen(out.c_str(), "r");
    if (!f) return false;
    char buffer[4096];
    size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, f)) > 0) dump->append(buffer, got);
    std::fclose(f);
    DeleteFileA(out.c_str());
    return !dump->empty();
}

HWND open_menu() { return FindWindowA("#32768", nullptr); }

HWND dialog(const char* title) { return FindWindowA("#32770", title); }

int print_rect(HWND w) {
    RECT r{};
    if (!w || !GetWindowRect(w, &r)) return 1;
    std::printf("%ld %ld %ld %ld\n", long(r.left), long(r.top), long(r.right - r.left), long(r.bottom - r.top));
    return 0;
}

int tray(HWND w) {
    // Changing the tip succeeds only for an icon the shell holds.
    NOTIFYICONDATAA n{};
    n.cbSize = NOTIFYICONDATAA_V2_SIZE;
    n.hWnd = w;
    n.uID = PANEL_TRAY_ID;
    n.uFlags = NIF_TIP;
    std::snprintf(n.szTip, sizeof n.szTip, "%s", PANEL_TITLE);
    const bool present = Shell_NotifyIconA(NIM_MODIFY, &n) != FALSE;
    std::printf("tray %s\n", present ? "present" : "absent");
    return present ? 0 : 1;
}

// Enumerators keep the system's calling convention: the 32-bit driver would corrupt its stack otherwise.
BOOL CALLBACK count_panels(HWND top, LPARAM count) {
    char name[16] = {};
    GetClassNameA(top, name, sizeof name);
    if (std::strcmp(name, "quen") == 0) ++*reinterpret_cast<int*>(count);
    return TRUE;
}

struct found_item {
    int id;
    HWND found;
};
BOOL CALLBACK find_item(HWND child, LPARAM arg) {
    auto* f = reinterpret_cast<found_item*>(arg);
    // On the dialog itself or on a property sheet's visible page; the control may be hidden.
    if (GetDlgCtrlID(child) == f->id && IsWindowVisible(GetParent(child))) {
        f->found = child;
        return FALSE;
    }
    return TRUE;
}

// A control of the dialog, on a property sheet's visible page too.
HWND dialog_item(const char* title, int id) {
    HWND d = dialog(title);
    if (!d) return nullptr;
    found_item f{id, nullptr};
    EnumChildWindows(d, find_item, reinterpret_cast<LPARAM>(&f));
    return f.found;
}

int list_rows(const char* title) {
    HWND list = dialog_item(title, 1007);
    if (!list) return 1;
    remote r(list);
    if (!r.base) return 2;
    const int n = int(SendMessageA(list, LVM_GETITEMCOUNT, 0, 0));
    HWND columns = reinterpret_cast<HWND>(SendMessageA(list, LVM_GETHEADER, 0, 0));
    const int count = columns ? int(SendMessageA(columns, HDM_GETITEMCOUNT, 0, 0)) : 1;
    for (int i = 0; i < n; ++i) {
        std::printf("row");
        for (int c = 0; c < count; ++c) std::printf("\t%s", cell(list, r, i, c).c_str());
        std::printf("\n");
    }
    return 0;
}

// The log viewer's rows: the image index, then the date, time and message.
int log_rows(const char* title) {
    HWND list = dialog_item(title, 1059);
    if (!list) return 1;
    remote r(list);
    if (!r.base) return 2;
    const int n = int(SendMessageA(list, LVM_GETITEMCOUNT, 0, 0));
    for (int i = 0; i < n; ++i) {
        LVITEMA item{};
        item.mask = LVIF_IMAGE;
        item.iItem = i;
        r.put(0, &item, sizeof item);
        SendMessageA(list, LVM_GETITEMA, 0, reinterpret_cast<LPARAM>(r.base));
        LVITEMA back{};
        ReadProcessMemory(r.process, r.base, &back, sizeof back, nullptr);
        std::printf("log\t%d\t%s\t%s\t%s\n", back.iImage, cell(list, r, i, 1).c_str(), cell(list, r, i, 2).c_str(),
                    cell(list, r, i, 3).c_str());
    }
    return 0;
}

// The entries of a drop-down list, the selected one marked "*" (the
// system carries CB_GETLBTEXT's text across processes).
int combo_items(const char* title, int id) {
    HWND combo = dialog_item(title, id);
    if (!combo) return 1;
    const int n = int(SendMessageA(combo, CB_GETCOUNT, 0, 0));
    const int chosen = int(SendMessageA(combo, CB_GETCURSEL, 0, 0));
    for (int i = 0; i < n; ++i) {
        const LRESULT length = SendMessageA(combo, CB_GETLBTEXTLEN, WPARAM(i), 0);
        if (length < 0 || length >= kTextMax) return 2;
        // Wide: Wine carries the narrow form's text across processes as wide characters.
        std::wstring wide(size_t(length) + 1, L'\0');
        SendMessageW(combo, CB_GETLBTEXT, WPARAM(i), reinterpret_cast<LPARAM>(wide.data()));
        char text[kTextMax] = {};
        WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, text, sizeof text - 1, nullptr, nullptr);
        std::printf("item\t%s%s\n", text, i == chosen ? "\t*" : "");
    }
    return 0;
}

int add_printer(const char* name, const char* port, const char* ppd) {
    DRIVER_INFO_3A driver{};
    driver.cVersion = 3;
    driver.pName = const_cast<char*>(name);
    driver.pDriverPath = const_cast<char*>("wineps.drv");
    driver.pDataFile = const_cast<char*>(ppd);
    driver.pConfigFile = const_cast<char*>("wineps.drv");
    if (!AddPrinterDriverExA(nullptr, 3, reinterpret_cast<BYTE*>(&driver), APD_COPY_NEW_FILES)) {
        std::fprintf(stderr, "panel_driver: AddPrinterDriverEx: %lu\n", GetLastError());
        return 1;
    }
    PRINTER_INFO_2A printer{};
    printer.pPrinterName = const_cast<char*>(name);
    printer.pPortName = const_cast<char*>(port);
    printer.pDriverName = const_cast<char*>(name);
    printer.pPrintProcessor = const_cast<char*>("WinPrint");
    printer.pDatatype = const_cast<char*>("RAW");
    // A prefix of an earlier run may have it already.
    HANDLE h = AddPrinterA(nullptr, 2, reinterpret_cast<BYTE*>(&printer));
    if (h) ClosePrinter(h);
    else if (GetLastError() != ERROR_PRINTER_ALREADY_EXISTS) {
        std::fprintf(stderr, "panel_driver: AddPrinter: %lu\n", GetLastError());
        return 1;
    }
    return SetDefaultPrinterA(name) ? 0 : 1;
}

int service_state(const char* name) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager) return 1;
    SC_HANDLE service = OpenServiceA(manager, name, SERVICE_QUERY_STATUS);
    SERVICE_STATUS status{};
    const char* state = "absent";
    if (service && QueryServiceStatus(service, &status))
        state = status.dwCurrentState == SERVICE_RUNNING   ? "running"
                : status.dwCurrentState == SERVICE_STOPPED ? "stopped"
                                                           : "pending";
    std::printf("%s\n", state);
    if (service) CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return 0;
}

int item_command(const std::string& cmd, int argc, char** argv) {
    if (argc < 4) return 64;
    const char* title = argv[2];
    const int id = std::atoi(argv[3]);
    if (cmd == "page") {
        HWND d = dialog(title);
        return d && SendMessageTimeoutA(d, PSM_SETCURSEL, WPARAM(id), 0, SMTO_NORMAL, 20000, nullptr) ? 0 : 1;
    }
    HWND item = dialog_item(title, id);
    if (!item) {
        std::fprintf(stderr, "panel_driver: no item %d in \"%s\"\n", id, title);
        return 1;
    }
    DWORD_PTR result = 0;
    if (cmd == "item-set") {
        const char* text = argc > 4 ? argv[4] : "";
        return SendMessageTimeoutA(item, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text), SMTO_NORMAL, 20000, &result) ? 0 : 1;
    }
    if (cmd == "item-text") {
        static char text[70000];
        text[0] = 0;
        SendMessageTimeoutA(item, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text), SMTO_NORMAL, 20000, &result);
        std::printf("%s\n", text);
        return 0;
    }
    if (cmd == "item-click") return SendMessageTimeoutA(item, BM_CLICK, 0, 0, SMTO_NORMAL, 20000, &result) ? 0 : 1;
    if (cmd == "item-post")
        return PostMessageA(GetParent(item), WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(item)) ? 0 : 1;
    if (cmd == "item-checked") {
        std::printf("%s\n", SendMessageA(item, BM_GETCHECK, 0, 0) == BST_CHECKED ? "checked" : "unchecked");
        return 0;
    }
    if (cmd == "item-select") {
        const int row = argc > 4 ? std::atoi(argv[4]) : 0;
        remote r(item);
        if (!r.base) return 2;
        LVITEMA state{};
        state.stateMask = LVIS_SELECTED | LVIS_FOCUSED;
        state.state = LVIS_SELECTED | LVIS_FOCUSED;
        r.put(0, &state, sizeof state);
        return SendMessageTimeoutA(item, LVM_SETITEMSTATE, WPARAM(row), reinterpret_cast<LPARAM>(r.base), SMTO_NORMAL,
                                   20000, &result) && result ? 0 : 1;
    }
    if (cmd == "combo-select") {
        const int index = argc > 4 ? std::atoi(argv[4]) : 0;
        if (SendMessageA(item, CB_SETCURSEL, WPARAM(index), 0) != index) return 1;
        return SendMessageTimeoutA(GetParent(item), WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE),
                                   reinterpret_cast<LPARAM>(item), SMTO_NORMAL, 20000, &result) ? 0 : 1;
    }
    if (cmd == "item-shown") {
        std::printf("%s\n", IsWindowVisible(item) ? "shown" : "hidden");
        return 0;
    }
    return 64;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string cmd = argc > 1 ? argv[1] : "";
    const char* arg = argc > 2 ? argv[2] : "";
    if (cmd == "wait") {
        const DWORD until = GetTickCount() + DWORD(std::atoi(arg) * 1000);
        while (!panel() && GetTickCount() < until) Sleep(100);
        return panel() ? 0 : 1;
    }
    if (cmd == "count") {
        int n = 0;
        EnumWindows(count_panels, reinterpret_cast<LPARAM>(&n));
        std::printf("windows %d\n", n);
        return 0;
    }
    if (cmd.rfind("item-", 0) == 0 || cmd == "page" || cmd == "combo-select") return item_command(cmd, argc, argv);
    if (cmd == "add-printer" && argc > 4) return add_printer(arg, argv[3], argv[4]);
    if (cmd == "service-state") return service_state(arg);
    if (cmd == "record" && argc > 2) {
        FILE* f = std::fopen(arg, "a");
        if (!f) return 1;
        for (int i = 3; i < argc; ++i) std::fprintf(f, "%s%s", i > 3 ? " " : "", argv[i]);
        std::fprintf(f, "\n");
        return std::fclose(f) == 0 ? 0 : 1;
    }
    if (cmd == "list") return list_rows(arg);
    if (cmd == "log-rows") return log_rows(arg);
    if (cmd == "combo" && argc > 3) return combo_items(arg, std::atoi(argv[3]));
    HWND w = panel();
    if (!w) {
        std::fprintf(stderr, "panel_driver: no window of class \"quen\"\n");
        return 2;
    }
    if (cmd == "rows") return rows(w);
    if (cmd == "send") return SendMessageTimeoutA(w, WM_COMMAND, WPARAM(std::atoi(arg)), 0, SMTO_NORMAL, 20000, nullptr) ? 0 : 1;
    if (cmd == "post") return PostMessageA(w, WM_COMMAND, WPARAM(std::atoi(arg)), 0) ? 0 : 1;
    if (cmd == "select") return select_row(w, std::atoi(arg));
    if (cmd == "rclick") return right_click(w, std::atoi(arg));
    if (cmd == "menu") {
        HWND m = open_menu();
        if (!m || !IsWindowVisible(m)) return 1;
        std::printf("menu open\n");
        return 0;
    }
    if (cmd == "cancel-menu") {
        HWND m = open_menu();
        if (m) PostMessageA(m, WM_KEYDOWN, VK_ESCAPE, 0);
        return m ? 0 : 1;
    }
    if (cmd == "rect") return print_rect(argc > 2 ? dialog(arg) : w);
    if (cmd == "close-dialog") {
        HWND d = dialog(arg);
        return d && PostMessageA(d, WM_COMMAND, IDOK, 0) ? 0 : 1;
    }
    if (cmd == "tray") return tray(w);
    if (cmd == "title") {
        char text[256] = {};
        SendMessageTimeoutA(w, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text), SMTO_NORMAL, 20000, nullptr);
        std::printf("%s\n", text);
        return 0;
    }
    if (cmd == "menus" || cmd == "menu-text" || cmd == "menu-top") {
        std::string dump;
        if (!menu_dump(w, &dump)) return 1;
        if (cmd == "menus") {
            std::printf("%s", dump.c_str());
            return 0;
        }
        // "menu\tposition\tcommand\ttext" lines: match on the position or the command.
        const std::string want = cmd == "menu-top" ? std::string(arg) + (argc > 3 ? std::string(".") + argv[3] : "")
                                                   : std::string(arg);
        size_t at = 0;
        while (at < dump.size()) {
            const size_t end = dump.find('\n', at);
            const std::string line = dump.substr(at, end - at);
            at = end == std::string::npos ? dump.size() : end + 1;
            const size_t a = line.find('\t'), b = line.find('\t', a + 1), c = line.find('\t', b + 1);
            if (c == std::string::npos) continue;
            const std::string key = cmd == "menu-top" ? line.substr(a + 1, b - a - 1) : line.substr(b + 1, c - b - 1);
            if (key == want) {
                std::printf("%s\n", line.substr(c + 1).c_str());
                return 0;
            }
        }
        return 1;
    }
    if (cmd == "tray-click") return PostMessageA(w, PANEL_TRAY_MESSAGE, PANEL_TRAY_ID, WM_LBUTTONDOWN) ? 0 : 1;
    if (cmd == "tray-rclick") {
        RECT frame{};
        GetWindowRect(w, &frame);
        SetCursorPos(frame.right + 4, frame.top + 40);
        return PostMessageA(w, PANEL_TRAY_MESSAGE, PANEL_TRAY_ID, WM_RBUTTONDOWN) ? 0 : 1;
    }
    if (cmd == "minimize") return PostMessageA(w, WM_SYSCOMMAND, SC_MINIMIZE, 0) ? 0 : 1;
    if (cmd == "shown") {
        const bool shown = IsWindowVisible(w) && !IsIconic(w);
        std::printf("%s\n", shown ? "shown" : "hidden");
        return 0;
    }
    std::fprintf(stderr, "panel_driver: unknown command %s\n", cmd.c_str());
    return 64;
}
