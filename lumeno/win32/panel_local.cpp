#include "lumeno/win32/panel_local.h"

#include "lumeno/core/language_file.h"
#include "lumeno/core/panel_ids.h"
#include "lumeno/core/panel_texts.h"
#include "lumeno/win32/panel_language.h"

#include <commctrl.h>
#include <winnetwk.h>

#include <vector>

namespace {

uint32_t attributes(const char* path) { return GetFileAttributesA(path); }

bool on_remote_drive(const char* path) {
    char root[MAX_PATH + 1] = {};
    if (!GetVolumePathNameA(path, root, sizeof root)) return false;
    return GetDriveTypeA(root) == DRIVE_REMOTE;
}

bool universal_name(const char* path, std::string* unc) {
    std::vector<char> buffer(4096);
    DWORD size = DWORD(buffer.size());
    if (WNetGetUniversalNameA(path, UNIVERSAL_NAME_INFO_LEVEL, buffer.data(), &size) != NO_ERROR) return false;
    const auto* info = reinterpret_cast<const UNIVERSAL_NAME_INFOA*>(buffer.data());
    if (!info->lpUniversalName) return false;
    *unc = info->lpUniversalName;
    return true;
}

const panel_local_files kLocal{attributes, on_remote_drive, universal_name};
HWND g_main = nullptr;

// A modal dialog's own procedure and parameter, and its resource number.
struct modal_call {
    DLGPROC proc;
    LPARAM param;
    int id;
};
const char kModalProperty[] = "lumeno.modal";

// Every modal dialog gets its [Control] texts before its own initialisation.
INT_PTR CALLBACK translated_proc(HWND d, UINT message, WPARAM wp, LPARAM lp) {
    if (message == WM_INITDIALOG) {
        auto* call = reinterpret_cast<modal_call*>(lp);
        SetPropA(d, kModalProperty, reinterpret_cast<HANDLE>(call));
        panel_apply_control_texts(d, call->id);
        return call->proc(d, message, wp, call->param);
    }
    auto* call = reinterpret_cast<modal_call*>(GetPropA(d, kModalProperty));
    if (!call) return FALSE;   // before WM_INITDIALOG
    const INT_PTR rc = call->proc(d, message, wp, lp);
    if (message == WM_NCDESTROY) RemovePropA(d, kModalProperty);
    return rc;
}

}  // namespace

const panel_local_files& panel_local() { return kLocal; }

int panel_message(HWND owner, const std::string& text, UINT type) {
    return MessageBoxExA(owner, text.c_str(), language_current().title.c_str(), type | MB_TASKMODAL,
                         GetUserDefaultUILanguage());
}

INT_PTR panel_modal(HINSTANCE instance, HWND owner, int id, DLGPROC proc, LPARAM param) {
    modal_call call{proc, param, id};
    const INT_PTR rc = DialogBoxParamA(instance, MAKEINTRESOURCEA(id), owner, translated_proc,
                                       reinterpret_cast<LPARAM>(&call));
    if (rc == -1) panel_message(owner, panel_text(IDS_FAILED), MB_OK | MB_ICONERROR);
    return rc;
}

void panel_set_main_window(HWND main) { g_main = main; }

void panel_show_pipe_error() {
    if (HWND bar = g_main ? GetDlgItem(g_main, IDC_STATUS_BAR) : nullptr)
        SendMessageA(bar, SB_SETTEXTA, 0, reinterpret_cast<LPARAM>(panel_text(IDS_ERROR_PIPE).c_str()));
}

std::string panel_item_text(HWND dialog, int id, size_t limit) {
    std::string text(limit + 1, '\0');
    const int n = GetDlgItemTextA(dialog, id, text.data(), int(text.size()));
    text.resize(n > 0 ? size_t(n) : 0);
    return text;
}
