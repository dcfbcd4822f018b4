#include "lumeno/win32/panel_window.h"

#include "lumeno/core/language_file.h"
#include "lumeno/core/panel_ids.h"
#include "lumeno/core/panel_lists.h"
#include "lumeno/core/panel_state.h"
#include "lumeno/core/panel_texts.h"
#include "lumeno/win32/config_sheet.h"
#include "lumeno/win32/export_dialog.h"
#include "lumeno/win32/log_viewer.h"
#include "lumeno/win32/panel_about.h"
#include "lumeno/win32/panel_admin.h"
#include "lumeno/win32/panel_language.h"
#include "lumeno/win32/panel_local.h"
#include "lumeno/win32/panel_service.h"

#include <commctrl.h>
#include <shellapi.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char kClassName[] = "quen";
constexpr UINT kRefreshMessage = WM_USER + PANEL_MSG_REFRESH_OFFSET;
constexpr UINT kInsertMessage = WM_USER + PANEL_MSG_INSERT_OFFSET;
constexpr int kMinTrackWidth = 300, kMinTrackHeight = 160;
constexpr int kTipMax = 63;

struct panel_app {
    HINSTANCE instance = nullptr;
    HWND window = nullptr, header = nullptr, status = nullptr, list = nullptr;
    HMENU context = nullptr, tray_menu = nullptr;
    panel_view view = PANEL_VIEW_EXPORTS, previous_view = PANEL_VIEW_EXPORTS;
    bool resolve_names = true;
    bool admin = false;
    bool secondary = false;
    bool tray_present = false;
    bool drops = false;   // drops are accepted
    panel_refresh refresh;
    panel_settings settings;
    int settings_result = -1;
    uint32_t mount_rows = 0;
    int sheet_open = 0;   // re-entry count of the configuration sheet
    panel_window_settings user;
    control_client pipe;
};
panel_app g;

void set_bar_text(HWND bar, const std::string& text) {
    SendMessageA(bar, SB_SETTEXTA, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

void tray_icon(bool add) {
    NOTIFYICONDATAA n{};
    n.cbSize = NOTIFYICONDATAA_V2_SIZE;   // understood from Windows 2000 on
    n.hWnd = g.window;
    n.uID = PANEL_TRAY_ID;
    if (add) {
        n.uFlags = NIF_ICON | NIF_MESSAGE | NIF_TIP;
        n.uCallbackMessage = PANEL_TRAY_MESSAGE;
        n.hIcon = static_cast<HICON>(LoadImageA(g.instance, MAKEINTRESOURCEA(IDI_PANEL), IMAGE_ICON,
                                                GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0));
        char title[kTipMax + 1] = {};
        GetWindowTextA(g.window, title, sizeof title);
        std::memcpy(n.szTip, title, sizeof title);
        g.tray_present = Shell_NotifyIconA(NIM_ADD, &n) != FALSE;
        if (n.hIcon) DestroyIcon(n.hIcon);
    } else {
        Shell_NotifyIconA(NIM_DELETE, &n);
        g.tray_present = false;
    }
}

// The tip follows the window title (a language change renames it).
void tray_tip() {
    NOTIFYICONDATAA n{};
    n.cbSize = NOTIFYICONDATAA_V2_SIZE;
    n.hWnd = g.window;
    n.uID = PANEL_TRAY_ID;
    n.uFlags = NIF_TIP;
    GetWindowTextA(g.window, n.szTip, kTipMax + 1);
    Shell_NotifyIconA(NIM_MODIFY, &n);
}

void update_tray() {
    if (g.user.tray_icon == 1 && !g.tray_present && !g.secondary) tray_icon(true);
    else if (g.user.tray_icon == 0 && g.tray_present) tray_icon(false);
}

void set_columns() {
    const uint32_t titles[2][3] = {{IDS_FOLDER, IDS_OPTIONS, IDS_CLIENTS}, {IDS_FOLDER, IDS_TYPE, IDS_CLIENT}};
    RECT client{};
    GetClientRect(g.list, &client);
    int widths[3];
    panel_column_widths(client.right - client.left, GetSystemMetrics(SM_CXVSCROLL), widths);
    HWND columns = reinterpret_cast<HWND>(SendMessageA(g.list, LVM_GETHEADER, 0, 0));
    int present = columns ? int(SendMessageA(columns, HDM_GETITEMCOUNT, 0, 0)) : 0;
    for (int i = 0; i < 3; ++i) {
        std::string title = panel_text(titles[g.view][i]);
        LVCOLUMNA c{};
        c.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
        c.pszText = title.data();
        c.cx = widths[i];
        c.iSubItem = i;
        SendMessageA(g.list, i < present ? LVM_SETCOLUMNA : LVM_INSERTCOLUMNA, WPARAM(i), reinterpret_cast<LPARAM>(&c));
    }
    for (; present > 3; --present) SendMessageA(g.list, LVM_DELETECOLUMN, WPARAM(present - 1), 0);
}

HMENU popup(std::initializer_list<std::pair<UINT, uint32_t>> items) {
    HMENU m = CreatePopupMenu();
    for (const auto& [command, text] : items) AppendMenuA(m, MF_STRING, command, panel_text(text).c_str());
    return m;
}

// The menus, texts and columns of the current view.
void build_menus() {
    HMENU menu = LoadMenuA(g.instance, MAKEINTRESOURCEA(IDM_MAIN));
    if (menu) {
        panel_apply_menu_texts(menu);
        // Starting and stopping the service needs the rights themselves, not a filtered token.
        if (!panel_token_is_administrator()) DeleteMenu(GetSubMenu(menu, 0), 0, MF_BYPOSITION);
        CheckMenuItem(menu, CMD_EXPORTS, g.view == PANEL_VIEW_EXPORTS ? MF_CHECKED : MF_UNCHECKED);
        CheckMenuItem(menu, CMD_MOUNTS, g.view == PANEL_VIEW_MOUNTS ? MF_CHECKED : MF_UNCHECKED);
        CheckMenuItem(menu, CMD_NAMES, g.resolve_names ? MF_CHECKED : MF_UNCHECKED);
        HMENU old = GetMenu(g.window);
        SetMenu(g.window, menu);
        if (old) DestroyMenu(old);
    }
    set_columns();
    if (g.context) DestroyMenu(g.context);
    g.context = nullptr;
    if (g.admin)
        g.context = g.view == PANEL_VIEW_EXPORTS
                        ? popup({{CMD_INSERT, IDS_INSERT}, {CMD_EDIT, IDS_EDIT}, {CMD_REMOVE, IDS_REMOVE}})
                        : popup({{CMD_DISCONNECT, IDS_DISCONNECT}});
    if (g.tray_menu) DestroyMenu(g.tray_menu);
    g.tray_menu = popup({{CMD_EXIT, IDS_EXIT}});
    SetMenuDefaultItem(g.tray_menu, CMD_EXIT, FALSE);
    SetWindowTextA(g.window, language_current().title.c_str());
    if (g.tray_present) tray_tip();
    update_tray();
}

void set_cell(int row, int column, const std::string& text) {
    LVITEMA item{};
    item.iSubItem = column;
    item.pszText = const_cast<char*>(text.c_str());
    SendMessageA(g.list, LVM_SETITEMTEXTA, WPARAM(row), reinterpret_cast<LPARAM>(&item));
}

// Rows are updated in place, added, and those beyond the new count deleted.
void show_rows(const panel_list& list) {
    const int present = int(SendMessageA(g.list, LVM_GETITEMCOUNT, 0, 0));
    const int count = int(list.rows.size());
    for (int i = 0; i < count; ++i) {
        const panel_row& row = list.rows[size_t(i)];
        LVITEMA item{};
        item.mask = LVIF_TEXT | LVIF_PARAM;
        item.iItem = i;
        item.pszText = const_cast<char*>(row.text[0].c_str());
        item.lParam = LPARAM(row.ref);
        SendMessageA(g.list, i < present ? LVM_SETITEMA : LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item));
        set_cell(i, 1, row.text[1]);
        set_cell(i, 2, row.text[2]);
    }
    for (int i = present - 1; i >= count; --i) SendMessageA(g.list, LVM_DELETEITEM, WPARAM(i), 0);
    set_bar_text(g.header, list.header);
}

void on_refresh(LPARAM list_requested) {
    g.settings_result = panel_read_settings(g.pipe, g.settings);
    set_bar_text(g.status, panel_status_text(g.settings_result, g.settings));
    if (list_requested) {
        SendMessageA(g.list, LVM_SETITEMCOUNT, 256, 0);
        panel_list list;
        panel_list_refresh(g.pipe, g.view, g.resolve_names, !g.admin, &list);
        show_rows(list);
        g.mount_rows = g.view == PANEL_VIEW_MOUNTS ? list.entries : 0;
        const bool drops = g.view == PANEL_VIEW_EXPORTS && g.admin && g.settings_result > 0;
        if (drops != g.drops) DragAcceptFiles(g.window, drops);   // a style change, made only when it changes
        g.drops = drops;
    }
    if (g.view != g.previous_view) {
        build_menus();
        g.previous_view = g.view;
    }
    panel_refresh_done(g.refresh);
}

int selected_row() { return int(SendMessageA(g.list, LVM_GETNEXTITEM, WPARAM(-1), LVNI_SELECTED)); }

uint32_t row_ref(int row) {
    LVITEMA item{};
    item.mask = LVIF_PARAM;
    item.iItem = row;
    SendMessageA(g.list, LVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&item));
    return uint32_t(item.lParam);
}

// Remove (exports view) and Disconnect (mounts view) of the first selected row.
void remove_selected(panel_view view) {
    if (!g.admin || g.view != view) return;
    const int row = selected_row();
    if (row < 0) return;
    const int rc = panel_remove_row(g.pipe, view, row_ref(row));
    if (rc < 0) set_bar_text(g.status, panel_text(IDS_ERROR_PIPE));
    if (rc <= 0) return;
    SendMessageA(g.list, LVM_DELETEITEM, WPARAM(row), 0);
    const int rows = int(SendMessageA(g.list, LVM_GETITEMCOUNT, 0, 0));
    const uint32_t entries = uint32_t(view == PANEL_VIEW_EXPORTS ? (rows > 0 ? rows - 1 : 0) : rows);
    if (view == PANEL_VIEW_MOUNTS) g.mount_rows = entries;
    set_bar_text(g.header, panel_header(view, entries, !g.admin));
}

// The exports view's rows as shown, the source the exports file is rebuilt from.
std::vector<panel_row> shown_rows() {
    std::vector<panel_row> rows;
    const int count = int(SendMessageA(g.list, LVM_GETITEMCOUNT, 0, 0));
    for (int i = 0; i < count; ++i) {
        panel_row row;
        row.ref = row_ref(i);
        for (int column = 0; column < 3; ++column) {
            char text[4096 + 1] = {};
            LVITEMA item{};
            item.iSubItem = column;
            item.pszText = text;
            item.cchTextMax = sizeof text;
            SendMessageA(g.list, LVM_GETITEMTEXTA, WPARAM(i), reinterpret_cast<LPARAM>(&item));
            row.text[column] = text;
        }
        rows.push_back(row);
    }
    return rows;
}

// Insert (a folder handed in, or the selected row) and Edit (the selected row).
void open_entry(bool edit, const char* folder) {
    if (g.view != PANEL_VIEW_EXPORTS) return;
    export_dialog_args args;
    args.edit = edit;
    args.folder = folder;
    args.rows = shown_rows();
    if (!folder) {
        const int row = selected_row();
        if (row < 0 || (edit && row_ref(row) == 0)) return;
        args.row = size_t(row);
    }
    export_dialog_open(g.instance, g.window, g.pipe, args);
    g.refresh.counter = kRefreshAfterEdit;
    PostMessageA(g.window, kRefreshMessage, 1, 1);
}

void open_preferences() {
    if (g.sheet_open) return;
    ++g.sheet_open;
    config_sheet_context context{g.instance, g.window, &g.pipe, &g.settings, g.admin};
    config_sheet_open(context);
    --g.sheet_open;
    build_menus();   // the language may have changed
    g.refresh.counter = kRefreshAfterPreferences;
}

void switch_view(panel_view view) {
    g.view = view;
    build_menus();
    PostMessageA(g.window, kRefreshMessage, 1, 1);
}

void on_command(UINT command) {
    switch (command) {
    case CMD_START:
        panel_service_start();
        g.refresh.counter = kRefreshAfterStart;
        break;
    case CMD_STOP:
        panel_service_stop();
        g.refresh.counter = kRefreshAfterStop;
        break;
    case CMD_EXIT: DestroyWindow(g.window); break;
    case CMD_EXPORTS: switch_view(PANEL_VIEW_EXPORTS); break;
    case CMD_MOUNTS: switch_view(PANEL_VIEW_MOUNTS); break;
    case CMD_NAMES:
        g.resolve_names = !g.resolve_names;
        CheckMenuItem(GetMenu(g.window), CMD_NAMES, g.resolve_names ? MF_CHECKED : MF_UNCHECKED);
        PostMessageA(g.window, kRefreshMessage, 1, 1);
        break;
    case CMD_CONTENTS: panel_open_help(g.window); break;
    case CMD_ABOUT: panel_about(g.instance, g.window); break;
    case CMD_REMOVE: remove_selected(PANEL_VIEW_EXPORTS); break;
    case CMD_DISCONNECT: remove_selected(PANEL_VIEW_MOUNTS); break;
    case CMD_INSERT: open_entry(false, nullptr); break;
    case CMD_EDIT: open_entry(true, nullptr); break;
    case CMD_PREFERENCES: open_preferences(); break;
    case CMD_LOG: log_viewer_open(g.instance, g.window, g.pipe); break;
    default: break;
    }
}

// The status bar places itself at the bottom; the header bar is placed
// here, at the top at the same height (not every status bar implementation
// honours CCS_TOP), and the list fills the space between.
void layout() {
    SendMessageA(g.status, WM_SIZE, 0, 0);
    RECT client{}, bar{};
    GetClientRect(g.window, &client);
    GetWindowRect(g.status, &bar);
    const int bar_height = bar.bottom - bar.top;
    MoveWindow(g.header, 0, 0, client.right, bar_height, TRUE);
    MoveWindow(g.list, 0, bar_height + 1, client.right, client.bottom - 2 * bar_height - 1, TRUE);
}

void on_drop(HDROP drop) {
    char path[2048 + 1] = {};
    if (g.admin && DragQueryFileA(drop, 0, path, sizeof path)) {
        // A folder, or a path that cannot be found, is offered for export; files are not.
        const DWORD attributes = GetFileAttributesA(path);
        if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            const size_t n = std::strlen(path) + 1;
            if (char* block = static_cast<char*>(std::malloc(n))) {
                std::memcpy(block, path, n);
                if (!PostMessageA(g.window, kInsertMessage, 0, reinterpret_cast<LPARAM>(block))) std::free(block);
            }
        }
    }
    DragFinish(drop);
}

void on_destroy() {
    if (!IsIconic(g.window)) {
        RECT r{};
        GetWindowRect(g.window, &r);
        g.user.left = r.left;
        g.user.top = r.top;
        g.user.width = r.right - r.left;
        g.user.height = r.bottom - r.top;
        if (!g.secondary) panel_window_settings_save(g.user);
    }
    if (g.tray_present) tray_icon(false);
    KillTimer(g.window, PANEL_TIMER_ID);
    control_disconnect(g.pipe);
    Sleep(500);
    PostQuitMessage(0);
}

LRESULT CALLBACK window_proc(HWND w, UINT message, WPARAM wp, LPARAM lp) {
    switch (message) {
    case WM_COMMAND: on_command(LOWORD(wp)); return 0;
    case WM_TIMER:
        if (wp == PANEL_TIMER_ID) {
            update_tray();
            PostMessageA(w, kRefreshMessage, 1, LPARAM(panel_timer_tick(g.refresh, g.mount_rows)));
        }
        return 0;
    case kRefreshMessage: on_refresh(lp); return 0;
    case kInsertMessage:
        // A folder for the export entry dialog; a secondary instance lives only for it.
        if (lp) open_entry(false, reinterpret_cast<const char*>(lp));
        std::free(reinterpret_cast<void*>(lp));
        if (g.secondary) DestroyWindow(w);
        return 0;
    case WM_NOTIFY: {
        const NMHDR* n = reinterpret_cast<const NMHDR*>(lp);
        if (n->hwndFrom == g.list && n->code == NM_RCLICK && g.context && selected_row() >= 0) {
            POINT at{};
            GetCursorPos(&at);
            SetForegroundWindow(w);
            TrackPopupMenu(g.context, TPM_RIGHTBUTTON, at.x, at.y, 0, w, nullptr);
        }
        return 0;
    }
    case PANEL_TRAY_MESSAGE:
        if (lp == WM_LBUTTONDOWN) {
            ShowWindow(w, SW_RESTORE);
            SetForegroundWindow(w);
        } else if (lp == WM_RBUTTONDOWN) {
            POINT at{};
            GetCursorPos(&at);
            SetForegroundWindow(w);
            TrackPopupMenu(g.tray_menu, TPM_RIGHTBUTTON, at.x, at.y, 0, w, nullptr);
            PostMessageA(w, WM_NULL, 0, 0);
        }
        return 0;
    case WM_GETMINMAXINFO: {
        MINMAXINFO* m = reinterpret_cast<MINMAXINFO*>(lp);
        m->ptMinTrackSize.x = kMinTrackWidth;
        m->ptMinTrackSize.y = kMinTrackHeight;
        return 0;
    }
    case WM_SIZE:
        if (wp == SIZE_MINIMIZED && g.tray_present) ShowWindow(w, SW_HIDE);   // minimised to the tray
        else if (g.list) layout();
        return 0;
    case WM_DROPFILES: on_drop(reinterpret_cast<HDROP>(wp)); return 0;
    case WM_ENDSESSION:
        if (wp && g.tray_present) tray_icon(false);
        return 0;
    case WM_DESTROY: on_destroy(); return 0;
    default: return DefWindowProcA(w, message, wp, lp);
    }
}

}  // namespace

HWND panel_window_create(const panel_startup& s) {
    g.instance = s.instance;
    g.secondary = s.secondary;
    panel_language_load();
    WNDCLASSEXA c{};
    c.cbSize = sizeof c;
    c.style = CS_HREDRAW | CS_VREDRAW;
    c.lpfnWndProc = window_proc;
    c.hInstance = s.instance;
    c.hIcon = LoadIconA(s.instance, MAKEINTRESOURCEA(IDI_PANEL));
    c.hIconSm = static_cast<HICON>(LoadImageA(s.instance, MAKEINTRESOURCEA(IDI_PANEL), IMAGE_ICON,
                                              GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0));
    c.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));   // IDC_ARROW
    c.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    c.lpszClassName = kClassName;
    if (!RegisterClassExA(&c)) return nullptr;

    g.user = panel_window_settings_load();
    const panel_rect r = panel_place(g.user, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN),
                                     GetSystemMetrics(SM_CXMIN), GetSystemMetrics(SM_CYMIN));
    g.window = CreateWindowExA(0, kClassName, language_current().title.c_str(), WS_OVERLAPPEDWINDOW, r.left, r.top, r.width, r.height,
                               nullptr, nullptr, s.instance, nullptr);
    if (!g.window) return nullptr;
    panel_set_main_window(g.window);
    g.header = CreateWindowExA(0, STATUSCLASSNAMEA, "", WS_CHILD | WS_VISIBLE | CCS_TOP | CCS_NORESIZE | CCS_NOPARENTALIGN,
                               0, 0, 0, 0, g.window,
                               reinterpret_cast<HMENU>(IDC_HEADER_BAR), s.instance, nullptr);
    g.status = CreateWindowExA(0, STATUSCLASSNAMEA, "", WS_CHILD | WS_VISIBLE | SBARS_SIZEGRIP, 0, 0, 0, 0, g.window,
                               reinterpret_cast<HMENU>(IDC_STATUS_BAR), s.instance, nullptr);
    g.list = CreateWindowExA(WS_EX_CLIENTEDGE, WC_LISTVIEWA, "",
                             WS_CHILD | WS_VISIBLE | WS_TABSTOP | LVS_REPORT | LVS_SHOWSELALWAYS, 0, 0, 0, 0, g.window,
                             reinterpret_cast<HMENU>(IDC_LIST), s.instance, nullptr);
    if (!g.header || !g.status || !g.list) {
        DestroyWindow(g.window);
        return nullptr;
    }
    SendMessageA(g.list, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_FULLROWSELECT, LVS_EX_FULLROWSELECT);
    layout();
    return g.window;
}

void panel_window_start(int show) {
    g.admin = panel_is_administrator();
    g.settings_result = panel_read_settings(g.pipe, g.settings);
    build_menus();
    ShowWindow(g.window, g.secondary ? SW_HIDE : show);
    UpdateWindow(g.window);
    if (g.admin) panel_allow_drops(g.window);
    SetTimer(g.window, PANEL_TIMER_ID, 1000, nullptr);
    PostMessageA(g.window, kRefreshMessage, 1, 1);
}

void panel_window_insert(const char* folder) {
    const size_t n = std::strlen(folder) + 1;
    if (char* block = static_cast<char*>(std::malloc(n))) {
        std::memcpy(block, folder, n);
        if (!PostMessageA(g.window, kInsertMessage, 0, reinterpret_cast<LPARAM>(block))) std::free(block);
    }
}

HACCEL panel_accelerators() { return LoadAcceleratorsA(g.instance, MAKEINTRESOURCEA(IDA_MAIN)); }

void panel_window_rebuild() { build_menus(); }
