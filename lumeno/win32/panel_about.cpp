#include "lumeno/win32/panel_about.h"

#include "lumeno/core/panel_ids.h"

#include <shellapi.h>

#include <cstdio>

namespace {

INT_PTR CALLBACK about_proc(HWND dialog, UINT message, WPARAM wp, LPARAM) {
    switch (message) {
    case WM_INITDIALOG: {
        char line[128];
        std::snprintf(line, sizeof line, "%s %s", PANEL_TITLE, PANEL_VERSION_TEXT);
        SetDlgItemTextA(dialog, IDC_ABOUT_PRODUCT, line);
        SetWindowTextA(dialog, PANEL_TITLE);
        return TRUE;
    }
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSTATIC:
        // A white box, its texts on white.
        SetBkColor(reinterpret_cast<HDC>(wp), RGB(255, 255, 255));
        return reinterpret_cast<INT_PTR>(GetStockObject(WHITE_BRUSH));
    case WM_COMMAND:
        if (LOWORD(wp) == IDC_ABOUT_LINK) {
            ShellExecuteA(dialog, "open", PANEL_VENDOR_PAGE, nullptr, nullptr, SW_SHOWNORMAL);
        } else if (LOWORD(wp) == IDOK || LOWORD(wp) == IDCANCEL) {
            EndDialog(dialog, LOWORD(wp));
        }
        return TRUE;
    default: return FALSE;
    }
}

}  // namespace

void panel_about(HINSTANCE instance, HWND owner) {
    DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_ABOUT), owner, about_proc, 0);
}
