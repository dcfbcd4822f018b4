// Loaded into a running control panel by panel_driver ("menus"): writes the
// panel's menu bar, as its own process reads it with GetMenuString, to a
// file beside this library ("panel_probe.dll.txt"), then declines to stay
// loaded. Wine keeps a menu's items in the process that owns it, so no
// other process can read them.
#include <windows.h>

#include <cstdio>

namespace {

void dump(FILE* out, HMENU menu, const char* path) {
    const int count = GetMenuItemCount(menu);
    for (int i = 0; i < count; ++i) {
        char text[256] = {};
        GetMenuStringA(menu, UINT(i), text, sizeof text, MF_BYPOSITION);
        char here[64];
        std::snprintf(here, sizeof here, "%s%s%d", path, path[0] ? "." : "", i);
        HMENU sub = GetSubMenu(menu, i);
        const UINT id = sub ? 0 : GetMenuItemID(menu, i);
        std::fprintf(out, "menu\t%s\t%u\t%s\n", here, id, text);
        if (sub) dump(out, sub, here);
    }
}

void write_menus(HINSTANCE self) {
    HWND w = FindWindowA("quen", nullptr);
    DWORD pid = 0;
    if (!w || !GetWindowThreadProcessId(w, &pid) || pid != GetCurrentProcessId()) return;
    char path[MAX_PATH + 8] = {};
    const DWORD n = GetModuleFileNameA(self, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return;
    lstrcatA(path, ".txt");
    FILE* out = std::fopen(path, "w");
    if (!out) return;
    dump(out, GetMenu(w), "");
    std::fclose(out);
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    write_menus(self);
    return FALSE;   // done: not kept loaded
}
