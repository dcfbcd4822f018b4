#include "quen/fs/folder_facts.h"

#include "platform/file.h"
#include "quen/config/char_class.h"
#include "quen/fs/names.h"
#include "quen/fs/search_form.h"

#include <cstring>
#include <string>

namespace {

bool ends_in_backslash(const char* path) {
    const size_t n = std::strlen(path);
    return n > 0 && path[n - 1] == '\\';
}

}  // namespace

bool file_index_of(const char* path, uint64_t& index) {
    file_handle h(wp_create_file(path, 0, WP_FILE_SHARE_ALL, WP_OPEN_EXISTING,
                                 WP_FILE_FLAG_BACKUP_SEMANTICS | WP_FILE_FLAG_OPEN_REPARSE_POINT));
    wp_file_information info;
    if (!h.valid() || !wp_get_file_information_by_handle(h.get(), &info)) return false;
    index = info.file_index;
    return true;
}

uint32_t count_subdirectories(const char* path) {
    std::string pattern = path;
    if (!ends_in_backslash(path)) pattern += '\\';
    const uint32_t root_extra = ends_in_backslash(path) ? 2 : 0;
    pattern += '*';
    if (pattern.size() >= kNamePathSize) return root_extra;
    wp_find_data d;
    wp_find_handle h = wp_find_first(pattern.c_str(), search_form_of_system().level, &d,
                                     WP_FIND_EX_SEARCH_LIMIT_TO_DIRECTORIES, 0);
    if (h == WP_INVALID_FIND_HANDLE) return root_extra;
    uint32_t count = 0;
    // The search may return files too: the limit is only a hint.
    do {
        if (d.attributes & WP_FILE_ATTRIBUTE_DIRECTORY) ++count;
    } while (wp_find_next(h, &d));
    wp_find_close(h);
    return count + root_extra;
}
