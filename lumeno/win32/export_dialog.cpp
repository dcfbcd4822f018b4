#include "lumeno/win32/export_dialog.h"

#include "lumeno/core/export_folder.h"
#include "lumeno/core/export_options.h"
#include "lumeno/core/exports_file.h"
#include "lumeno/core/panel_dialog_ids.h"
#include "lumeno/core/panel_texts.h"
#include "lumeno/win32/panel_local.h"

#include <shlobj.h>

#include <string>

namespace {

constexpr size_t kFolderMax = 2048, kOptionsMax = 2560, kClientsMax = 2048;
constexpr size_t kBrowseStatusMax = 48;

struct dialog_state {
    control_client* pipe;
    export_dialog_args* args;
    bool ready = false;   // the fields are filled: changes from now on are the user's
};

uint32_t checked_boxes(HWND d) {
    uint32_t count = 0, mask = 0;
    const export_option_box* boxes = export_option_boxes(&count);
    for (uint32_t i = 0; i < count; ++i)
        if (IsDlgButtonChecked(d, boxes[i].id) == BST_CHECKED) mask |= 1u << i;
    return mask;
}

void check_boxes(HWND d, uint32_t mask) {
    uint32_t count = 0;
    const export_option_box* boxes = export_option_boxes(&count);
    for (uint32_t i = 0; i < count; ++i) CheckDlgButton(d, boxes[i].id, (mask >> i) & 1 ? BST_CHECKED : BST_UNCHECKED);
}

void resync(HWND d, int clicked) {
    const std::string clients = panel_item_text(d, IDC_ENTRY_CLIENTS, kClientsMax);
    const std::string text = export_options_sync(panel_item_text(d, IDC_ENTRY_OPTIONS, kOptionsMax),
                                                 checked_boxes(d), clicked, clients.empty());
    SetDlgItemTextA(d, IDC_ENTRY_OPTIONS, text.c_str());
}

int CALLBACK browse_callback(HWND w, UINT message, LPARAM lp, LPARAM data) {
    if (message == BFFM_INITIALIZED && data) {
        SendMessageA(w, BFFM_SETSELECTIONA, TRUE, data);
    } else if (message == BFFM_SELCHANGED) {
        char path[MAX_PATH] = {};
        if (SHGetPathFromIDListA(reinterpret_cast<LPCITEMIDLIST>(lp), path)) {
            std::string shown = path;
            if (shown.size() > kBrowseStatusMax) shown = "..." + shown.substr(shown.size() - kBrowseStatusMax);
            SendMessageA(w, BFFM_SETSTATUSTEXTA, 0, reinterpret_cast<LPARAM>(shown.c_str()));
        }
    }
    return 0;
}

void browse(HWND d) {
    std::string folder = panel_item_text(d, IDC_ENTRY_FOLDER, kFolderMax);
    if (folder.size() > 3 && folder.back() == '\\') folder.pop_back();
    std::string title = panel_text(IDS_DIR_TITLE).substr(0, 255);
    BROWSEINFOA b{};
    b.hwndOwner = d;
    b.lpszTitle = title.c_str();
    b.ulFlags = BIF_RETURNONLYFSDIRS | BIF_STATUSTEXT | BIF_NEWDIALOGSTYLE;
    b.lpfn = browse_callback;
    b.lParam = reinterpret_cast<LPARAM>(folder.c_str());
    LPITEMIDLIST chosen = SHBrowseForFolderA(&b);
    if (!chosen) return;
    char path[MAX_PATH] = {};
    if (SHGetPathFromIDListA(chosen, path))
        SetDlgItemTextA(d, IDC_ENTRY_FOLDER, export_folder_with_unc(path, panel_local()).c_str());
    CoTaskMemFree(chosen);
}

void init(HWND d, dialog_state* s) {
    SetWindowTextA(d, panel_text(IDS_CONTEXT).c_str());
    SendDlgItemMessageA(d, IDC_ENTRY_FOLDER, EM_LIMITTEXT, kFolderMax, 0);
    SendDlgItemMessageA(d, IDC_ENTRY_OPTIONS, EM_LIMITTEXT, kOptionsMax, 0);
    SendDlgItemMessageA(d, IDC_ENTRY_CLIENTS, EM_LIMITTEXT, kClientsMax, 0);
    export_dialog_args& a = *s->args;
    std::string options;
    if (a.edit && a.row < a.rows.size()) {
        const panel_row& r = a.rows[a.row];
        SetDlgItemTextA(d, IDC_ENTRY_FOLDER, r.text[0].substr(0, kFolderMax).c_str());
        options = r.text[1].substr(0, kOptionsMax);
        SetDlgItemTextA(d, IDC_ENTRY_CLIENTS, r.text[2].substr(0, kClientsMax).c_str());
    } else if (a.folder) {
        SetDlgItemTextA(d, IDC_ENTRY_FOLDER, export_folder_with_unc(a.folder, panel_local()).c_str());
        a.row = a.rows.empty() ? 0 : a.rows.size() - 1;
    }
    SetDlgItemTextA(d, IDC_ENTRY_OPTIONS, options.c_str());
    check_boxes(d, export_options_checked(options));
    s->ready = true;
}

void save(HWND d, dialog_state* s) {
    std::string options = panel_item_text(d, IDC_ENTRY_OPTIONS, kOptionsMax);
    std::string folder = panel_item_text(d, IDC_ENTRY_FOLDER, kFolderMax);
    switch (export_save_check(*s->pipe, panel_local(), &options, &folder)) {
    case EXPORT_SAVE_GO: break;
    case EXPORT_SAVE_STAY: return;
    case EXPORT_SAVE_NO_ARGUMENT: panel_message(d, panel_text(IDS_NOOPTARG), MB_OK | MB_ICONERROR); return;
    case EXPORT_SAVE_PIPE: panel_message(d, panel_text(IDS_ERROR_PIPE), MB_OK | MB_ICONERROR); return;
    case EXPORT_SAVE_NOT_UNC: panel_message(d, panel_text(IDS_NOTUNC), MB_OK | MB_ICONERROR); return;
    case EXPORT_SAVE_ASK:
        if (panel_message(d, panel_text(IDS_NOTEXISTS), MB_OKCANCEL | MB_ICONEXCLAMATION) != IDOK) return;
        break;
    }
    exports_change change;
    change.edit = s->args->edit;
    change.row = s->args->row;
    change.folder = folder;
    change.options = options;
    change.clients = panel_item_text(d, IDC_ENTRY_CLIENTS, kClientsMax);
    const int saved = exports_save_change(*s->pipe, s->args->rows, change);
    if (saved < 0) panel_show_pipe_error();
    if (saved == 0) return;   // the server wrote nothing: what was typed stays in the dialog
    EndDialog(d, 1);
}

INT_PTR CALLBACK dialog_proc(HWND d, UINT message, WPARAM wp, LPARAM lp) {
    auto* s = reinterpret_cast<dialog_state*>(GetWindowLongPtrA(d, DWLP_USER));
    switch (message) {
    case WM_INITDIALOG:
        SetWindowLongPtrA(d, DWLP_USER, lp);
        init(d, reinterpret_cast<dialog_state*>(lp));
        return TRUE;
    case WM_COMMAND: {
        const int id = LOWORD(wp), code = HIWORD(wp);
        if (!s) return FALSE;
        if (id == IDOK) save(d, s);
        else if (id == IDCANCEL) EndDialog(d, 0);
        else if (id == IDC_ENTRY_BROWSE && code == BN_CLICKED) browse(d);
        else if (id == IDC_ENTRY_CLIENTS && code == EN_CHANGE && s->ready) resync(d, 0);
        else if (export_option_bit(id) && code == BN_CLICKED && s->ready) resync(d, id);
        else return FALSE;
        return TRUE;
    }
    default: return FALSE;
    }
}

}  // namespace

int export_dialog_open(HINSTANCE instance, HWND owner, control_client& pipe, export_dialog_args& args) {
    dialog_state state{&pipe, &args};
    const INT_PTR rc = panel_modal(instance, owner, IDD_EXPORT_ENTRY, dialog_proc, reinterpret_cast<LPARAM>(&state));
    return rc == -1 ? -1 : rc == 1 ? 1 : 0;
}
