// The directory search form the running Windows knows: the basic level (no
// 8.3 names) and large fetches came with Windows 7; before it, the standard
// level without flags.
#pragma once
#include "platform/file.h"
#include "platform/os_version.h"

#include <cstdint>

struct search_form {
    uint32_t level;
    uint32_t flags;
};

inline search_form search_form_of_system() {
    if (os_is_windows7_or_later(os_get_version())) return {WP_FIND_EX_INFO_BASIC, WP_FIND_FIRST_EX_LARGE_FETCH};
    return {WP_FIND_EX_INFO_STANDARD, 0};
}
