#include "lumeno/win32/log_viewer.h"

#include "lumeno/core/log_print.h"
#include "lumeno/core/log_view.h"
#include "lumeno/core/panel_dialog_ids.h"
#include "lumeno/core/panel_ids.h"
#include "lumeno/core/panel_texts.h"
#include "lumeno/win32/panel_local.h"

#include <commctrl.h>
#include <commdlg.h>

#include <string>
#include <vector>

namespace {

constexpr int kMinWidthDlu = 380, kMinHeightDlu = 100, kMarginDlu = 5;
constexpr int kReservedRows = 1000;

struct viewer {
    control_client* pipe = nullptr;
    HINSTANCE instance = nullptr;
};

std::string current_month() {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    return log_month_name(now.wYear, now.wMonth);
}

void add_column(HWND list, int index, const std::string& title, int width) {
    std::string text = title;
    LVCOLUMNA c{};
    c.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
    c.pszText = text.data();
    c.cx = width;
    c.iSubItem = index;
    SendMessageA(list, LVM_INSERTCOLUMNA, WPARAM(index), reinterpret_cast<LPARAM>(&c));
}

void set_column_widths(HWND list) {
    RECT client{};
    GetClientRect(list, &client);
    int widths[4];
    log_column_widths(client.right - client.left, GetSystemMetrics(SM_CXVSCROLL), widths);
    for (int i = 0; i < 4; ++i) SendMessageA(list, LVM_SETCOLUMNWIDTH, WPARAM(i), MAKELPARAM(widths[i], 0));
}

void set_images(HINSTANCE instance, HWND list) {
    const int sizes[2][2] = {{GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON)},
                             {GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON)}};
    const WPARAM kinds[2] = {LVSIL_NORMAL, LVSIL_SMALL};
    for (int k = 0; k < 2; ++k) {
        HIMAGELIST images = ImageList_Create(sizes[k][0], sizes[k][1], ILC_COLOR32 | ILC_MASK, 2, 0);
        if (!images) continue;
        // Image 0 an ordinary line, image 1 an error line.
        for (int id : {IDI_LOG_LINE, IDI_LOG_ERROR}) {
            HICON icon = static_cast<HICON>(
                LoadImageA(instance, MAKEINTRESOURCEA(id), IMAGE_ICON, sizes[k][0], sizes[k][1], 0));
            ImageList_AddIcon(images, icon);
            if (icon) DestroyIcon(icon);
        }
        SendMessageA(list, LVM_SETIMAGELIST, kinds[k], reinterpret_cast<LPARAM>(images));
    }
}

void set_cell(HWND list, int row, int column, const std::string& text) {
    std::string copy = text;
    LVITEMA item{};
    item.iSubItem = column;
    item.pszText = copy.data();
    SendMessageA(list, LVM_SETITEMTEXTA, WPARAM(row), reinterpret_cast<LPARAM>(&item));
}

void load(HWND d, viewer& v, const std::string& name) {
    HWND list = GetDlgItem(d, IDC_LOG_LIST);
    SendMessageA(list, WM_SETREDRAW, FALSE, 0);
    SendMessageA(list, LVM_DELETEALLITEMS, 0, 0);
    SendMessageA(list, LVM_SETITEMCOUNT, kReservedRows, 0);
    std::vector<log_row> rows;
    if (log_load(*v.pipe, name, &rows) < 0) panel_show_pipe_error();
    int row = 0;
    for (const log_row& r : rows) {
        LVITEMA item{};
        item.mask = LVIF_IMAGE;
        item.iItem = row;
        item.iImage = r.mark;
        row = int(SendMessageA(list, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item)));
        if (row < 0) break;
        set_cell(list, row, 1, r.date);
        set_cell(list, row, 2, r.time);
        set_cell(list, row, 3, r.message);
        ++row;
    }
    SendMessageA(list, WM_SETREDRAW, TRUE, 0);
    if (row > 0) SendMessageA(list, LVM_ENSUREVISIBLE, WPARAM(row - 1), FALSE);
    InvalidateRect(list, nullptr, TRUE);
}

void load_chosen(HWND d, viewer& v) {
    load(d, v, panel_item_text(d, IDC_LOG_FILE, kLogFileNameMax));
}

void init(HWND d, viewer& v) {
    SetWindowTextA(d, panel_text(IDS_PROTOCOL).c_str());
    HWND list = GetDlgItem(d, IDC_LOG_LIST);
    SendMessageA(list, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_FULLROWSELECT, LVS_EX_FULLROWSELECT);
    set_images(v.instance, list);
    add_column(list, 0, "", 0);
    add_column(list, 1, panel_text(IDS_DATE), 0);
    add_column(list, 2, panel_text(IDS_TIME), 0);
    add_column(list, 3, "", 0);

    const std::string current = current_month();
    std::vector<std::string> names;
    if (log_list_files(*v.pipe, current, &names) < 0) panel_show_pipe_error();
    HWND files = GetDlgItem(d, IDC_LOG_FILE);
    for (const std::string& name : names) SendMessageA(files, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name.c_str()));
    const std::string& first = names[log_choose(names, current)];
    const LRESULT at = SendMessageA(files, CB_FINDSTRINGEXACT, WPARAM(-1), reinterpret_cast<LPARAM>(first.c_str()));
    SendMessageA(files, CB_SETCURSEL, at == CB_ERR ? 0 : WPARAM(at), 0);

    CreateWindowExA(0, STATUSCLASSNAMEA, "", WS_CHILD | WS_VISIBLE | SBARS_SIZEGRIP, 0, 0, 0, 0, d,
                    reinterpret_cast<HMENU>(IDC_LOG_STATUS), GetModuleHandleA(nullptr), nullptr);
    RECT r{};
    GetClientRect(d, &r);
    SendMessageA(d, WM_SIZE, 0, MAKELPARAM(r.right, r.bottom));
    load_chosen(d, v);
}

struct page_context {
    HDC dc;
    int line_height;
};

// Printing to the device context of the system print dialog: the header at
// the top left, the lines from two line heights down.
bool start_page(void* p, const std::string& header) {
    auto* c = static_cast<page_context*>(p);
    if (StartPage(c->dc) <= 0) return false;
    TextOutA(c->dc, 0, 0, header.data(), int(header.size()));
    return true;
}
void print_line(void* p, int row, const std::string& text) {
    auto* c = static_cast<page_context*>(p);
    TextOutA(c->dc, 0, (row + 2) * c->line_height, text.data(), int(text.size()));
}
bool end_page(void* p) { return EndPage(static_cast<page_context*>(p)->dc) > 0; }

}  // namespace

bool log_print_file(HWND owner, control_client& pipe, const std::string& name) {
    PRINTDLGA dialog{};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = owner;
    dialog.Flags = PD_RETURNDC | PD_COLLATE | PD_NOPAGENUMS | PD_NOSELECTION;
    dialog.nCopies = 1;
    if (!PrintDlgA(&dialog) || !dialog.hDC) return false;
    if (dialog.hDevMode) GlobalFree(dialog.hDevMode);
    if (dialog.hDevNames) GlobalFree(dialog.hDevNames);
    HDC dc = dialog.hDC;
    TEXTMETRICA metrics{};
    GetTextMetricsA(dc, &metrics);
    page_context context{dc, int(metrics.tmHeight + metrics.tmExternalLeading)};
    const int per_page = log_lines_per_page(GetDeviceCaps(dc, VERTRES), context.line_height);
    DOCINFOA document{};
    document.cbSize = sizeof document;
    document.lpszDocName = name.c_str();
    int printed = 0;
    if (StartDocA(dc, &document) > 0) {
        printed = log_print(pipe, name, per_page, {&context, start_page, print_line, end_page});
        // A failed page, an unreadable file or a broken pipe: the job is dropped.
        if (printed > 0) EndDoc(dc);
        else AbortDoc(dc);
        if (printed < 0) panel_show_pipe_error();
    }
    DeleteDC(dc);
    return printed > 0;
}

namespace {

// The status bar at the bottom; above it one row of the label, the file
// list (ten margins from the left) and Print (at the right); the list
// fills the rest, a margin all round.
void layout(HWND d) {
    HWND bar = GetDlgItem(d, IDC_LOG_STATUS), list = GetDlgItem(d, IDC_LOG_LIST);
    HWND label = GetDlgItem(d, IDC_LOG_FILE_LABEL), files = GetDlgItem(d, IDC_LOG_FILE);
    HWND print = GetDlgItem(d, IDC_LOG_PRINT);
    if (!bar || !list || !label || !files || !print) return;
    SendMessageA(bar, WM_SIZE, 0, 0);
    RECT client{}, b{}, button{}, combo{}, text{};
    GetClientRect(d, &client);
    GetWindowRect(bar, &b);
    GetWindowRect(print, &button);
    GetWindowRect(files, &combo);
    GetWindowRect(label, &text);
    RECT margin{0, 0, kMarginDlu, kMarginDlu};
    MapDialogRect(d, &margin);
    const int m = margin.right, bar_h = b.bottom - b.top;
    const int bw = button.right - button.left, bh = button.bottom - button.top;
    const int cw = combo.right - combo.left, ch = combo.bottom - combo.top;
    const int lw = text.right - text.left, lh = text.bottom - text.top;
    const int row_h = bh > ch ? bh : ch;
    const int row_top = client.bottom - bar_h - m - row_h;
    MoveWindow(print, client.right - m - bw, row_top + (row_h - bh) / 2, bw, bh, TRUE);
    MoveWindow(files, 10 * m, row_top + (row_h - ch) / 2, cw, ch, TRUE);
    MoveWindow(label, m, row_top + (row_h - lh) / 2, lw, lh, TRUE);
    const int list_h = row_top - 2 * m;
    MoveWindow(list, m, m, client.right - 2 * m, list_h > 0 ? list_h : 0, TRUE);
    set_column_widths(list);
}

INT_PTR CALLBACK log_proc(HWND d, UINT message, WPARAM wp, LPARAM lp) {
    auto* v = reinterpret_cast<viewer*>(GetWindowLongPtrA(d, DWLP_USER));
    switch (message) {
    case WM_INITDIALOG:
        SetWindowLongPtrA(d, DWLP_USER, lp);
        init(d, *reinterpret_cast<viewer*>(lp));
        return TRUE;
    case WM_GETMINMAXINFO: {
        RECT r{0, 0, kMinWidthDlu, kMinHeightDlu};
        MapDialogRect(d, &r);
        auto* m = reinterpret_cast<MINMAXINFO*>(lp);
        m->ptMinTrackSize.x = r.right;
        m->ptMinTrackSize.y = r.bottom;
        return TRUE;
    }
    case WM_SIZE: layout(d); return TRUE;
    case WM_COMMAND:
        if (!v) return FALSE;
        if (LOWORD(wp) == IDC_LOG_FILE && HIWORD(wp) == CBN_SELCHANGE) {
            load_chosen(d, *v);
            return TRUE;
        }
        if (LOWORD(wp) == IDC_LOG_PRINT) {
            log_print_file(d, *v->pipe, panel_item_text(d, IDC_LOG_FILE, kLogFileNameMax));
            return TRUE;
        }
        if (LOWORD(wp) == IDCANCEL || LOWORD(wp) == IDOK) {
            EndDialog(d, 0);
            return TRUE;
        }
        return FALSE;
    default: return FALSE;
    }
}

}  // namespace

void log_viewer_open(HINSTANCE instance, HWND owner, control_client& pipe) {
    viewer v{&pipe, instance};
    panel_modal(instance, owner, IDD_LOG, log_proc, reinterpret_cast<LPARAM>(&v));
}
