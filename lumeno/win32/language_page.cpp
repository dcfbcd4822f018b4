#include "lumeno/win32/language_page.h"

#include "lumeno/core/language_file.h"
#include "lumeno/core/panel_dialog_ids.h"
#include "lumeno/core/panel_texts.h"
#include "lumeno/core/shell_verb.h"
#include "lumeno/win32/config_sheet.h"
#include "lumeno/win32/panel_language.h"
#include "lumeno/win32/panel_window.h"
#include "platform/os_version.h"

#include <commctrl.h>
#include <prsht.h>

#include <string>
#include <vector>

namespace {

constexpr int kReservedRows = 10;
std::vector<language_row> g_rows;   // the rows shown, by their item data

void set_wide(HWND page, int id, const std::wstring& text) { SetDlgItemTextW(page, id, text.c_str()); }

int selected(HWND list) { return int(SendMessageW(list, LVM_GETNEXTITEM, WPARAM(-1), LVNI_SELECTED)); }

const language_row* row_of(HWND list, int item) {
    if (item < 0) return nullptr;
    LVITEMW l{};
    l.mask = LVIF_PARAM;
    l.iItem = item;
    if (!SendMessageW(list, LVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&l))) return nullptr;
    const size_t index = size_t(l.lParam);
    return index < g_rows.size() ? &g_rows[index] : nullptr;
}

void set_cell(HWND list, int item, int column, const std::wstring& text) {
    std::wstring copy = text;
    LVITEMW l{};
    l.iSubItem = column;
    l.pszText = copy.data();
    SendMessageW(list, LVM_SETITEMTEXTW, WPARAM(item), reinterpret_cast<LPARAM>(&l));
}

void fill(HWND list) {
    SendMessageW(list, LVM_DELETEALLITEMS, 0, 0);
    SendMessageW(list, LVM_SETITEMCOUNT, kReservedRows, 0);
    g_rows = language_rows(panel_program_dir(), panel_language_files(), panel_language_read);
    for (size_t i = 0; i < g_rows.size(); ++i) {
        const language_row& r = g_rows[i];
        std::wstring module = panel_wide(r.module, CP_UTF8);
        LVITEMW l{};
        l.mask = LVIF_TEXT | LVIF_PARAM;
        l.iItem = int(i);
        l.pszText = module.data();
        l.lParam = LPARAM(i);
        const int item = int(SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&l)));
        if (item < 0) continue;
        // Only the language's own name is in the code page the file names;
        // a code page this system lacks shows it in the ANSI one.
        std::wstring language = panel_wide(r.language, r.code_page ? r.code_page : CP_ACP);
        if (language.empty()) language = panel_wide(r.language, CP_ACP);
        set_cell(list, item, 1, language);
        set_cell(list, item, 2, panel_wide(r.version, CP_ACP));
    }
}

}  // namespace

void language_page_init(HWND page) {
    set_wide(page, IDC_LANGUAGE_TEXT, panel_wide(language_current().name, CP_ACP));
    HWND list = GetDlgItem(page, IDC_PAGE_LIST);
    SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_FULLROWSELECT, LVS_EX_FULLROWSELECT);
    RECT r{};
    GetClientRect(list, &r);
    const int width = r.right - r.left - GetSystemMetrics(SM_CXVSCROLL);
    const struct {
        uint32_t title;
        int percent;
    } columns[] = {{IDS_MODULE, 36}, {IDS_LANGUAGE_COLUMN, 44}, {IDS_VERSION, 25}};
    for (int i = 0; i < 3; ++i) {
        std::wstring title = panel_wide(panel_text(columns[i].title), CP_ACP);
        LVCOLUMNW c{};
        c.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
        c.pszText = title.data();
        c.cx = width * columns[i].percent / 100;
        c.iSubItem = i;
        SendMessageW(list, LVM_INSERTCOLUMNW, WPARAM(i), reinterpret_cast<LPARAM>(&c));
    }
    fill(list);
}

void language_page_notify(HWND page, const NMHDR* n) {
    if (n->idFrom != IDC_PAGE_LIST) return;
    if (n->code == LVN_ITEMCHANGED) {
        const auto* change = reinterpret_cast<const NMLISTVIEW*>(n);
        if (!(change->uChanged & LVIF_STATE) || !(change->uNewState & LVIS_SELECTED) ||
            (change->uOldState & LVIS_SELECTED))
            return;
        const language_row* r = row_of(n->hwndFrom, change->iItem);
        set_wide(page, IDC_LANGUAGE_AUTHOR, r ? panel_wide(r->author, CP_ACP) : L"");
        PropSheet_Changed(GetParent(page), page);
    }
}

void language_page_apply(HWND page, control_client& pipe, bool admin) {
    HWND list = GetDlgItem(page, IDC_PAGE_LIST);
    const language_row* r = row_of(list, selected(list));
    if (!r) return;
    language_store(r->module);
    panel_language_load();
    set_wide(page, IDC_LANGUAGE_TEXT, panel_wide(language_current().name, CP_ACP));
    panel_window_rebuild();
    // The Explorer verb, when registered, takes the new menu text (its command lines stay).
    if (admin) shell_verb_rename(pipe, panel_text(IDS_SHELL_TEXT), os_get_version().major);
}
