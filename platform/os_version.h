// The version of Windows the program runs on, for the calls whose forms
// changed between versions (directory search levels, for one).
#pragma once
#include <cstdint>

struct os_version {
    uint32_t major;
    uint32_t minor;
};

// Win32: the version the system reports to this program (its manifest lists
// every version it supports, so no compatibility shim lowers it). The POSIX
// stand-in behaves as Windows 10, or as the version in the environment
// variable TERVALO_WINDOWS_VERSION ("5.1", "6.0"), so that the branches for
// older systems can be run.
os_version os_get_version();

// Windows 7 (6.1) and later: the basic search level and large fetches.
inline bool os_is_windows7_or_later(os_version v) { return v.major > 6 || (v.major == 6 && v.minor >= 1); }
