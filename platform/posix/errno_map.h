// errno values as Win32 error numbers, so that callers above the seam see
// the numbers Windows would give for the same failure.
#pragma once
#include "platform/win_error.h"

#include <cstdint>

// A Win32 error that no errno maps to.
constexpr uint32_t kErrnoUnmappedDefault = WIN_ERROR_GEN_FAILURE;

// The Win32 number for errno `e`; 0 for 0. An errno without a counterpart
// gives `unmapped` (callers that know the operation pass a better one, e.g.
// ERROR_CANTWRITE for a failed registry write).
uint32_t errno_to_win32(int e, uint32_t unmapped = kErrnoUnmappedDefault);
