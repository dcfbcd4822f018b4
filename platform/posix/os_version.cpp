#include "platform/os_version.h"

#include <cstdio>
#include <cstdlib>

os_version os_get_version() {
    const char* forced = std::getenv("TERVALO_WINDOWS_VERSION");
    unsigned major = 0, minor = 0;
    if (forced && std::sscanf(forced, "%u.%u", &major, &minor) == 2) return {major, minor};
    return {10, 0};
}
