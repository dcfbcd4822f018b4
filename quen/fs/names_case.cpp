// Names that differ only in case, in one Windows directory: all but one of
// them carry a suffix of the escape character and a digit.
#include "platform/file.h"
#include "platform/win_error.h"
#include "quen/fs/names.h"

#include <cstring>

namespace {

bool needs_case_decision(const char* s, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        const auto c = uint8_t(s[i]);
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c >= 128) return true;
    }
    return false;
}

bool is_suffix(const char* s, uint8_t escape) { return uint8_t(s[0]) == escape && s[1] >= '0' && s[1] <= '9'; }

bool ends_in_suffix(const char* s, size_t n, uint8_t escape) { return n >= 2 && is_suffix(s + n - 2, escape); }

// path_len + 2 < kNamePathSize is the caller's to ensure.
void append_suffix(char* path, size_t path_len, uint8_t escape, int digit) {
    path[path_len] = char(escape);
    path[path_len + 1] = char('0' + digit);   // '0' + 10 is ':', which no create accepts
    path[path_len + 2] = 0;
}

bool read_attributes(const char* path, const char* component, wp_find_data* found) {
    wp_attribute_data a{};
    if (!wp_get_file_attributes_ex(path, &a)) return false;
    *found = wp_find_data{};
    found->attributes = a.attributes;
    found->creation_time = a.creation_time;
    found->last_access_time = a.last_access_time;
    found->last_write_time = a.last_write_time;
    found->size = a.size;
    if (std::strlen(component) < sizeof found->name) std::strcpy(found->name, component);
    return true;
}

struct scan_state {
    const char* component;
    size_t n;
    uint8_t escape;
    wp_find_data* found;
    bool same_length = false;
    bool matched = false;
    bool taken[10] = {};
    char suffix[3] = {};   // of the matching entry, when it has one
};

// Runs one search; false when it found nothing at all.
bool scan(const char* pattern, scan_state& st) {
    wp_find_data entry{};
    wp_find_handle h = wp_find_first(pattern, WP_FIND_EX_INFO_STANDARD, &entry, WP_FIND_EX_SEARCH_NAME_MATCH, 0);
    if (h == WP_INVALID_FIND_HANDLE) return false;
    const size_t n = st.n;
    do {
        const size_t m = std::strlen(entry.name);
        bool exact = false;
        if (m == n) {
            st.same_length = true;
            exact = std::memcmp(entry.name, st.component, n) == 0;
        } else if (m == n + 2 && is_suffix(entry.name + n, st.escape)) {
            st.taken[entry.name[n + 1] - '0'] = true;
            if (std::memcmp(entry.name, st.component, n) == 0) {
                exact = true;
                std::memcpy(st.suffix, entry.name + n, 3);
            }
        }
        if (exact) {
            st.matched = true;
            if (st.found) *st.found = entry;
        }
    } while (!st.matched && wp_find_next(h, &entry));
    wp_find_close(h);
    return true;
}

}  // namespace

bool case_exact_lookup(char* path, wp_find_data* found) {
    const uint8_t e = g_name_tables.escape;
    const size_t path_len = strnlen(path, kNamePathSize);
    char* last = path_len == kNamePathSize ? nullptr : std::strrchr(path, '\\');
    if (!last) {
        file_set_last_error(WIN_ERROR_INVALID_NAME);
        return false;
    }
    char* component = last + 1;
    const size_t n = path_len - size_t(component - path);
    if (n == 0 || !needs_case_decision(component, n)) return found ? read_attributes(path, component, found) : true;

    if (path_len + 2 >= kNamePathSize) {
        file_set_last_error(WIN_ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    // Two searches: the name itself (matched without regard to case), then
    // the name and two more characters. Windows lets trailing '?' match
    // nothing as well, Wine does not; the first search makes both agree.
    scan_state st{component, n, e, found};
    bool any = scan(path, st);
    if (!st.matched) {
        const uint32_t first_error = file_last_error();
        std::memcpy(path + path_len, "??", 3);
        const bool suffixed = scan(path, st);
        path[path_len] = 0;
        // A name at the volume's length limit leaves no room for the
        // wildcards, nor for a suffixed entry: the first search has said
        // all there is to say.
        const uint32_t error = file_last_error();
        if (!suffixed && !any && (error == WIN_ERROR_INVALID_NAME || error == WIN_ERROR_FILENAME_EXCED_RANGE))
            file_set_last_error(first_error);
        any = suffixed || any;
    }
    if (!any) {
        // The searches' own error stays: only a missing name is "not found".
        if (n > 2 && ends_in_suffix(component, n, e)) append_suffix(path, path_len, e, 0);
        return false;
    }
    if (!st.matched) file_set_last_error(WIN_ERROR_FILE_NOT_FOUND);
    if (st.matched) {
        if (st.suffix[0]) std::memcpy(component + n, st.suffix, 3);   // the suffixed Windows name
        return true;
    }
    // Another case of the name exists, or the name itself ends like a suffix.
    if (!st.same_length && (n < 3 || !ends_in_suffix(component, n, e))) return false;
    int digit = 0;
    while (digit < 10 && st.taken[digit]) ++digit;
    append_suffix(path, path_len, e, digit);
    return false;
}
