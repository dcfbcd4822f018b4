#include "lumeno/win32/panel_language.h"

#include "lumeno/core/language_file.h"
#include "lumeno/core/language_keys.h"
#include "lumeno/core/panel_texts.h"

namespace {

constexpr DWORD kValueMax = 4096;   // characters of one value read

std::wstring from_utf8(const std::string& s) { return panel_wide(s, CP_UTF8); }

std::string to_code_page(const std::wstring& w, UINT code_page) {
    if (w.empty()) return "";
    const int n = WideCharToMultiByte(code_page, 0, w.c_str(), int(w.size()), nullptr, 0, nullptr, nullptr);
    if (n <= 0) return "";
    std::string s(size_t(n), '\0');
    WideCharToMultiByte(code_page, 0, w.c_str(), int(w.size()), s.data(), n, nullptr, nullptr);
    return s;
}

// A [Strings] text of the language, else the resource string table's.
bool strings_source(uint32_t id, std::string* out) {
    if (language_strings_source(id, out)) return true;
    char text[1024];
    const int n = LoadStringA(GetModuleHandleA(nullptr), id, text, sizeof text);
    if (n <= 0) return false;
    out->assign(text, size_t(n));
    return true;
}

}  // namespace

std::wstring panel_wide(const std::string& text, UINT code_page) {
    if (text.empty()) return L"";
    const int n = MultiByteToWideChar(code_page, 0, text.c_str(), int(text.size()), nullptr, 0);
    if (n <= 0) return L"";
    std::wstring w(size_t(n), L'\0');
    MultiByteToWideChar(code_page, 0, text.c_str(), int(text.size()), w.data(), n);
    return w;
}

std::string panel_program_dir() {
    wchar_t module[MAX_PATH + 1] = {};
    const DWORD n = GetModuleFileNameW(nullptr, module, MAX_PATH);
    std::wstring dir(module, n);
    dir.resize(dir.find_last_of(L'\\') + 1);
    return to_code_page(dir, CP_UTF8);
}

// The private-profile functions read the file in the ANSI code page (a
// file with a UTF-16 mark as such); the value is handed on in the ANSI
// code page, in which the panel shows its texts.
std::string panel_language_read(const std::string& path, const char* section, const char* key) {
    std::wstring value(kValueMax, L'\0');
    const DWORD n = GetPrivateProfileStringW(panel_wide(section, CP_ACP).c_str(), panel_wide(key, CP_ACP).c_str(), L"",
                                             value.data(), kValueMax, from_utf8(path).c_str());
    value.resize(n);
    return to_code_page(value, CP_ACP);
}

void panel_language_load() {
    std::string stored;
    const bool has = language_stored(&stored);
    const std::string file = language_file_name(has, stored, GetUserDefaultUILanguage());
    language_use(language_load(panel_program_dir(), file, panel_language_read), panel_language_read);
    panel_set_text_source(strings_source);
}

std::vector<std::string> panel_language_files() {
    std::vector<std::string> files;
    WIN32_FIND_DATAW found{};
    HANDLE find = FindFirstFileW(from_utf8(panel_program_dir() + "Languages\\*.ini").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return files;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) files.push_back(to_code_page(found.cFileName, CP_UTF8));
    } while (FindNextFileW(find, &found));
    FindClose(find);
    return files;
}

void panel_apply_control_texts(HWND dialog, int dialog_id) {
    uint32_t count = 0;
    const panel_control_key* keys = panel_control_keys(&count);
    for (uint32_t i = 0; i < count; ++i) {
        std::string text;
        if (keys[i].dialog == dialog_id && language_replacement("Control", keys[i].key, &text))
            SetDlgItemTextA(dialog, keys[i].control, text.c_str());
    }
}

void panel_apply_menu_texts(HMENU menu) {
    uint32_t count = 0;
    const panel_menu_key* keys = panel_menu_keys(&count);
    for (uint32_t i = 0; i < count; ++i) {
        std::string text;
        if (!language_replacement("Menu", keys[i].key, &text)) continue;
        MENUITEMINFOA item{};
        item.cbSize = sizeof item;
        item.fMask = MIIM_TYPE;   // MIIM_STRING is not known before Windows 2000
        item.fType = MFT_STRING;
        item.dwTypeData = text.data();
        if (keys[i].command) {
            SetMenuItemInfoA(menu, keys[i].command, FALSE, &item);
        } else {
            HMENU parent = keys[i].sub < 0 ? menu : GetSubMenu(menu, keys[i].top);
            SetMenuItemInfoA(parent, UINT(keys[i].sub < 0 ? keys[i].top : keys[i].sub), TRUE, &item);
        }
    }
}
