#include "lumeno/win32/exports_editor.h"

#include "lumeno/core/exports_file.h"
#include "lumeno/core/panel_dialog_ids.h"
#include "lumeno/core/panel_texts.h"
#include "lumeno/win32/panel_local.h"

#include <commctrl.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace {

constexpr int kMinWidthDlu = 300, kMinHeightDlu = 175, kMarginDlu = 5;

INT_PTR CALLBACK editor_proc(HWND d, UINT message, WPARAM wp, LPARAM lp) {
    auto* pipe = reinterpret_cast<control_client*>(GetWindowLongPtrA(d, DWLP_USER));
    switch (message) {
    case WM_INITDIALOG: {
        SetWindowLongPtrA(d, DWLP_USER, lp);
        pipe = reinterpret_cast<control_client*>(lp);
        SetWindowTextA(d, panel_text(IDS_EDIT).c_str());
        CreateWindowExA(0, STATUSCLASSNAMEA, "", WS_CHILD | WS_VISIBLE | SBARS_SIZEGRIP, 0, 0, 0, 0, d,
                        reinterpret_cast<HMENU>(IDC_EDITOR_STATUS), GetModuleHandleA(nullptr), nullptr);
        SendDlgItemMessageA(d, IDC_EDITOR_TEXT, EM_LIMITTEXT, kExportsEditorMax, 0);
        std::string file;
        if (exports_read(*pipe, &file, kExportsFileMax) < 0) panel_show_pipe_error();
        SetDlgItemTextA(d, IDC_EDITOR_TEXT, exports_editor_text(file, kExportsEditorMax).c_str());
        if (!exports_editor_fits(file, kExportsEditorMax)) {
            // Only a part is shown: saving it would drop the rest of the file.
            EnableWindow(GetDlgItem(d, IDOK), FALSE);
            SendDlgItemMessageA(d, IDC_EDITOR_STATUS, SB_SETTEXTA, 0,
                                reinterpret_cast<LPARAM>(panel_text(IDS_TOO_LARGE).c_str()));
        }
        RECT r{};
        GetClientRect(d, &r);
        SendMessageA(d, WM_SIZE, 0, MAKELPARAM(r.right, r.bottom));
        // The caret at the start, the text not selected (a typed key would replace it all).
        SetFocus(GetDlgItem(d, IDC_EDITOR_TEXT));
        SendDlgItemMessageA(d, IDC_EDITOR_TEXT, EM_SETSEL, 0, 0);
        return FALSE;
    }
    case WM_GETMINMAXINFO: {
        RECT r{0, 0, kMinWidthDlu, kMinHeightDlu};
        MapDialogRect(d, &r);
        auto* m = reinterpret_cast<MINMAXINFO*>(lp);
        m->ptMinTrackSize.x = r.right;
        m->ptMinTrackSize.y = r.bottom;
        return TRUE;
    }
    case WM_SIZE: {
        HWND bar = GetDlgItem(d, IDC_EDITOR_STATUS), edit = GetDlgItem(d, IDC_EDITOR_TEXT), save = GetDlgItem(d, IDOK);
        if (!bar || !edit || !save) return FALSE;
        SendMessageA(bar, WM_SIZE, 0, 0);
        RECT client{}, b{}, button{};
        GetClientRect(d, &client);
        GetWindowRect(bar, &b);
        GetWindowRect(save, &button);
        RECT margin{0, 0, kMarginDlu, kMarginDlu};
        MapDialogRect(d, &margin);
        const int m = margin.right, bar_h = b.bottom - b.top;
        const int bw = button.right - button.left, bh = button.bottom - button.top;
        const int button_top = client.bottom - bar_h - m - bh;
        MoveWindow(save, client.right - m - bw, button_top, bw, bh, TRUE);
        MoveWindow(edit, m, m, client.right - 2 * m, button_top - 2 * m, TRUE);
        return TRUE;
    }
    case WM_COMMAND:
        if (LOWORD(wp) == IDOK) {
            const int length = GetWindowTextLengthA(GetDlgItem(d, IDC_EDITOR_TEXT));
            std::string text(size_t(length) + 1, '\0');
            GetDlgItemTextA(d, IDC_EDITOR_TEXT, text.data(), length + 1);
            text.resize(std::min<size_t>(std::strlen(text.c_str()), kExportsEditorMax));
            const int written = exports_write(*pipe, text, "wb");
            if (written < 0 || (written > 0 && exports_reload(*pipe) < 0)) panel_show_pipe_error();
            EndDialog(d, 1);
            return TRUE;
        }
        if (LOWORD(wp) == IDCANCEL) {
            EndDialog(d, 0);
            return TRUE;
        }
        return FALSE;
    default: return FALSE;
    }
}

}  // namespace

void exports_editor_open(HINSTANCE instance, HWND owner, control_client& pipe) {
    panel_modal(instance, owner, IDD_EXPORTS_EDITOR, editor_proc, reinterpret_cast<LPARAM>(&pipe));
}
