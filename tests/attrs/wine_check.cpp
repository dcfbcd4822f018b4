// Apart from the other test sources: <windows.h> clashes with the RPC
// layer's names.
#ifdef _WIN32
#include <windows.h>
#endif

bool running_under_wine() {
#ifdef _WIN32
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
#else
    return false;
#endif
}
