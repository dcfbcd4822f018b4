#include "lumeno/win32/config_sheet.h"

#include "lumeno/core/panel_dialog_ids.h"
#include "lumeno/core/panel_ids.h"
#include "lumeno/core/panel_rpc.h"
#include "lumeno/core/panel_texts.h"
#include "lumeno/core/exports_file.h"
#include "lumeno/core/settings_pages.h"
#include "lumeno/core/language_file.h"
#include "lumeno/core/shell_verb.h"
#include "lumeno/win32/exports_editor.h"
#include "lumeno/win32/language_page.h"
#include "lumeno/win32/panel_language.h"
#include "lumeno/win32/panel_local.h"
#include "platform/os_version.h"

#include <commctrl.h>
#include <prsht.h>

#include <string>
#include <vector>

namespace {

constexpr int kPageCount = 6;
constexpr UINT kRefreshMs = 2000;

enum page_kind { PAGE_NFS, PAGE_SERVER, PAGE_EXPORTS, PAGE_MOUNTS, PAGE_PORTMAP, PAGE_LANGUAGE };

struct page_param {
    config_sheet_context* context;
    page_kind kind;
    bool ready = false;     // filled: changes from now on are the user's
    bool timer = false;
};

int page_dialog(page_kind kind) {
    const int dialogs[] = {IDD_PAGE_NFS, IDD_PAGE_SERVER, IDD_PAGE_EXPORTS, IDD_PAGE_MOUNTS, IDD_PAGE_PORTMAP,
                           IDD_PAGE_LANGUAGE};
    return dialogs[kind];
}

page_param* param_of(HWND page) { return reinterpret_cast<page_param*>(GetWindowLongPtrA(page, DWLP_USER)); }

const settings_field* fields_of(page_kind kind, uint32_t* count) {
    return kind == PAGE_NFS ? settings_nfs_fields(count) : settings_server_fields(count);
}

bool editable(const config_sheet_context& c) { return c.admin && c.read_ok; }

// ---- lists ----

void set_columns(HWND list, const std::vector<std::pair<uint32_t, int>>& columns) {
    RECT r{};
    GetClientRect(list, &r);
    const int width = r.right - r.left - GetSystemMetrics(SM_CXVSCROLL);
    SendMessageA(list, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_FULLROWSELECT, LVS_EX_FULLROWSELECT);
    for (size_t i = 0; i < columns.size(); ++i) {
        const std::string title = panel_text(columns[i].first);
        wchar_t wide[256] = {};
        MultiByteToWideChar(CP_ACP, 0, title.c_str(), -1, wide, 255);
        LVCOLUMNW c{};
        c.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
        c.pszText = wide;
        c.cx = width * columns[i].second / 100;
        c.iSubItem = int(i);
        SendMessageW(list, LVM_INSERTCOLUMNW, i, reinterpret_cast<LPARAM>(&c));
    }
}

void add_row(HWND list, const std::vector<std::string>& cells) {
    LVITEMA item{};
    item.mask = LVIF_TEXT;
    item.iItem = int(SendMessageA(list, LVM_GETITEMCOUNT, 0, 0));
    item.pszText = const_cast<char*>(cells[0].c_str());
    const int row = int(SendMessageA(list, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item)));
    for (size_t i = 1; i < cells.size(); ++i) {
        LVITEMA sub{};
        sub.iSubItem = int(i);
        sub.pszText = const_cast<char*>(cells[i].c_str());
        SendMessageA(list, LVM_SETITEMTEXTA, row, reinterpret_cast<LPARAM>(&sub));
    }
}

uint16_t mount_port(const config_sheet_context& c) {
    return control_get16(c.settings->record + kSettingsMountPort);
}

// One query of the page's list; false when the call failed.
bool refresh_list(HWND page, page_param* p) {
    HWND list = GetDlgItem(page, IDC_PAGE_LIST);
    SendMessageA(list, LVM_DELETEALLITEMS, 0, 0);
    SendMessageA(list, LVM_SETITEMCOUNT, 30, 0);
    std::vector<uint8_t> result;
    if (p->kind == PAGE_PORTMAP) {
        if (panel_rpc_query(kRpcPortmap, 2, 4, 111, false, &result) != 1) return false;
        for (const panel_portmap_row& r : panel_decode_portmaps(result.data(), uint32_t(result.size())))
            add_row(list, {std::to_string(r.program), std::to_string(r.version), panel_protocol_text(r.protocol),
                           std::to_string(r.port)});
        return true;
    }
    const uint32_t procedure = p->kind == PAGE_MOUNTS ? 2 : 5;
    const uint16_t port = mount_port(*p->context);
    if (panel_rpc_query(kRpcMount, 2, procedure, port, false, &result) != 1 &&
        panel_rpc_query(kRpcMount, 2, procedure, port, true, &result) != 1)
        return false;
    if (p->kind == PAGE_MOUNTS) {
        for (const panel_mount_row& r : panel_decode_mounts(result.data(), uint32_t(result.size())))
            add_row(list, {r.host, r.folder});
    } else {
        for (const panel_export_view_row& r : panel_decode_exports(result.data(), uint32_t(result.size())))
            add_row(list, {r.folder, r.options, r.clients});
    }
    return true;
}

void refresh_page(HWND page, page_param* p) {
    if (p->kind == PAGE_EXPORTS)
        SetDlgItemTextA(page, IDC_EXPORTS_STATUS, exports_status_text_stored().c_str());
    const bool ok = refresh_list(page, p);
    if (ok && !p->timer) p->timer = SetTimer(page, PAGE_TIMER_ID, kRefreshMs, nullptr) != 0;
    if (!ok && p->timer) {
        KillTimer(page, PAGE_TIMER_ID);
        p->timer = false;
    }
}

void stop_timer(HWND page, page_param* p) {
    if (p->timer) KillTimer(page, PAGE_TIMER_ID);
    p->timer = false;
}

// ---- the settings pages ----

void fill_settings_page(HWND page, page_param* p) {
    config_sheet_context& c = *p->context;
    if (p->kind == PAGE_NFS) c.read_ok = panel_read_settings(*c.pipe, *c.settings) > 0;
    uint32_t count = 0;
    const settings_field* fields = fields_of(p->kind, &count);
    const uint32_t major = os_get_version().major;
    for (uint32_t i = 0; i < count; ++i) {
        const settings_field& f = fields[i];
        HWND control = GetDlgItem(page, f.id);
        if (f.kind == SETTING_PORT || f.kind == SETTING_CLAMPED) {
            SendMessageA(control, EM_LIMITTEXT, kSettingsEditMax, 0);
            SetWindowTextA(control, settings_text(f, c.settings->record).c_str());
        } else {
            CheckDlgButton(page, f.id, settings_checked(f, c.settings->record) ? BST_CHECKED : BST_UNCHECKED);
        }
        ShowWindow(control, settings_shown(f.id, c.settings->record, major) ? SW_SHOW : SW_HIDE);
        EnableWindow(control, settings_enabled(f.id, c.settings->record, c.admin, c.read_ok));
    }
}

void store_settings_page(HWND page, page_param* p) {
    uint32_t count = 0;
    const settings_field* fields = fields_of(p->kind, &count);
    uint8_t* record = p->context->settings->record;
    for (uint32_t i = 0; i < count; ++i)
        settings_store(fields[i], IsDlgButtonChecked(page, fields[i].id) == BST_CHECKED,
                       panel_item_text(page, fields[i].id, kSettingsEditMax), record);
}

void send_settings(config_sheet_context& c) {
    if (control_request(*c.pipe, CTL_SET_SETTINGS, kControlSettingsSize, c.settings->record) < 0)
        panel_show_pipe_error();
}

// ---- the Exports page ----

void register_verb(control_client& pipe, bool on) {
    char module[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, module, sizeof module);
    std::string dir = module;
    dir.resize(dir.find_last_of('\\') + 1);
    shell_verb_apply(pipe, on ? SHELL_VERB_REGISTER : SHELL_VERB_UNREGISTER, dir, panel_text(IDS_SHELL_TEXT),
                     os_get_version().major);
}

void fill_exports_page(HWND page, page_param* p) {
    config_sheet_context& c = *p->context;
    set_columns(GetDlgItem(page, IDC_PAGE_LIST), {{IDS_FOLDER, 30}, {IDS_OPTIONS, 30}, {IDS_CLIENTS, 40}});
    CheckDlgButton(page, IDC_FILTER_EXPORTS,
                   settings_word(c.settings->record, kSettingsFilterExports) ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(page, IDC_CONTEXT_MENU, shell_verb_registered() ? BST_CHECKED : BST_UNCHECKED);
    for (int id : {IDC_EXPORTS_EDIT_FILE, IDC_FILTER_EXPORTS, IDC_CONTEXT_MENU})
        EnableWindow(GetDlgItem(page, id), editable(c));
    // Without administrator rights the server opens no exports file for the panel.
    if (!c.admin) SetDlgItemTextA(page, IDC_EXPORTS_READ_ONLY, panel_text(IDS_READ_ONLY).c_str());
}

// ---- page procedure ----

void on_init(HWND page, page_param* p) {
    switch (p->kind) {
    case PAGE_NFS:
    case PAGE_SERVER: fill_settings_page(page, p); break;
    case PAGE_EXPORTS: fill_exports_page(page, p); break;
    case PAGE_MOUNTS: set_columns(GetDlgItem(page, IDC_PAGE_LIST), {{IDS_CLIENT, 50}, {IDS_MOUNT, 50}}); break;
    case PAGE_PORTMAP:
        set_columns(GetDlgItem(page, IDC_PAGE_LIST), {{IDS_PROGRAM, 25}, {IDS_VERSION, 25}, {IDS_PROT, 25}, {IDS_PORT, 25}});
        break;
    case PAGE_LANGUAGE: language_page_init(page); break;
    }
    p->ready = true;
}

void on_command(HWND page, page_param* p, int id, int code) {
    if (!p->ready) return;
    if (p->kind == PAGE_EXPORTS && id == IDC_EXPORTS_EDIT_FILE && code == BN_CLICKED) {
        exports_editor_open(p->context->instance, page, *p->context->pipe);
        return;
    }
    if (code == BN_CLICKED) {
        // Unchecking the last of an either-or pair checks the other.
        const int partner = settings_partner(id);
        if (partner && IsDlgButtonChecked(page, id) != BST_CHECKED && IsDlgButtonChecked(page, partner) != BST_CHECKED)
            CheckDlgButton(page, partner, BST_CHECKED);
        PropSheet_Changed(GetParent(page), page);
    } else if (code == EN_CHANGE) {
        PropSheet_Changed(GetParent(page), page);
    }
}

void on_apply(HWND page, page_param* p) {
    config_sheet_context& c = *p->context;
    // The language is the user's own choice: no rights or server needed.
    if (p->kind == PAGE_LANGUAGE) {
        language_page_apply(page, *c.pipe, c.admin);
        return;
    }
    if (!editable(c)) return;
    if (p->kind == PAGE_NFS || p->kind == PAGE_SERVER) {
        store_settings_page(page, p);
        send_settings(c);
    } else if (p->kind == PAGE_EXPORTS) {
        settings_put_word(c.settings->record, kSettingsFilterExports,
                          IsDlgButtonChecked(page, IDC_FILTER_EXPORTS) == BST_CHECKED ? 1 : 0);
        register_verb(*c.pipe, IsDlgButtonChecked(page, IDC_CONTEXT_MENU) == BST_CHECKED);
        send_settings(c);
    }
}

INT_PTR CALLBACK page_proc(HWND page, UINT message, WPARAM wp, LPARAM lp) {
    page_param* p = param_of(page);
    switch (message) {
    case WM_INITDIALOG: {
        p = reinterpret_cast<page_param*>(reinterpret_cast<const PROPSHEETPAGEA*>(lp)->lParam);
        SetWindowLongPtrA(page, DWLP_USER, reinterpret_cast<LONG_PTR>(p));
        panel_apply_control_texts(page, page_dialog(p->kind));
        on_init(page, p);
        return TRUE;
    }
    case WM_COMMAND:
        if (p) on_command(page, p, LOWORD(wp), HIWORD(wp));
        return TRUE;
    case WM_TIMER:
        if (p && wp == PAGE_TIMER_ID) refresh_page(page, p);
        return TRUE;
    case WM_NOTIFY: {
        const NMHDR* n = reinterpret_cast<const NMHDR*>(lp);
        if (!p) return FALSE;
        if (p->kind == PAGE_LANGUAGE) language_page_notify(page, n);
        const bool listed = p->kind == PAGE_EXPORTS || p->kind == PAGE_MOUNTS || p->kind == PAGE_PORTMAP;
        if (n->code == PSN_SETACTIVE && listed) refresh_page(page, p);
        else if (n->code == PSN_KILLACTIVE) stop_timer(page, p);
        else if (n->code == PSN_APPLY) on_apply(page, p);
        else return FALSE;
        SetWindowLongPtrA(page, DWLP_MSGRESULT, n->code == PSN_APPLY ? PSNRET_NOERROR : 0);
        return TRUE;
    }
    case WM_DESTROY:
        if (p) stop_timer(page, p);
        return FALSE;
    default: return FALSE;
    }
}

}  // namespace

void config_sheet_open(config_sheet_context& context) {
    const struct {
        page_kind kind;
        int dialog;
        uint32_t title;
    } pages[kPageCount] = {
        {PAGE_NFS, IDD_PAGE_NFS, IDS_PAGE_NFS},          {PAGE_SERVER, IDD_PAGE_SERVER, IDS_PAGE_SERVER},
        {PAGE_EXPORTS, IDD_PAGE_EXPORTS, IDS_PAGE_EXPORTS}, {PAGE_MOUNTS, IDD_PAGE_MOUNTS, IDS_PAGE_MOUNTS},
        {PAGE_PORTMAP, IDD_PAGE_PORTMAP, IDS_PAGE_PORTMAP}, {PAGE_LANGUAGE, IDD_PAGE_LANGUAGE, IDS_PAGE_LANGUAGE},
    };
    page_param params[kPageCount];
    std::string titles[kPageCount];
    PROPSHEETPAGEA sheet_pages[kPageCount] = {};
    for (int i = 0; i < kPageCount; ++i) {
        params[i] = page_param{&context, pages[i].kind};
        titles[i] = panel_text(pages[i].title);
        PROPSHEETPAGEA& s = sheet_pages[i];
        s.dwSize = sizeof s;
        s.dwFlags = PSP_USETITLE;
        s.hInstance = context.instance;
        s.pszTemplate = MAKEINTRESOURCEA(pages[i].dialog);
        s.pfnDlgProc = page_proc;
        s.pszTitle = titles[i].c_str();
        s.lParam = reinterpret_cast<LPARAM>(&params[i]);
    }
    PROPSHEETHEADERA h{};
    h.dwSize = sizeof h;
    h.dwFlags = PSH_PROPSHEETPAGE | PSH_NOCONTEXTHELP;
    h.hwndParent = context.owner;
    h.hInstance = context.instance;
    const std::string caption = language_current().title;
    h.pszCaption = caption.c_str();
    h.nPages = kPageCount;
    h.ppsp = sheet_pages;
    if (PropertySheetA(&h) < 0) panel_message(context.owner, panel_text(IDS_FAILED), MB_OK | MB_ICONERROR);
}
