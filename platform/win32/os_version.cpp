#include "platform/os_version.h"

#include <windows.h>

os_version os_get_version() {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;
    if (!GetVersionExA(&info)) return {5, 0};
    return {uint32_t(info.dwMajorVersion), uint32_t(info.dwMinorVersion)};
}
