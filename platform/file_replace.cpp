#include "platform/file_replace.h"

#include "platform/file.h"

#include <cstdint>

bool file_replace_contents(const char* path, const std::string& text) {
    if (text.size() > UINT32_MAX) return false;
    const std::string temporary = std::string(path) + ".tmp";
    {
        file_handle h(wp_create_file(temporary.c_str(), WP_GENERIC_WRITE, 0, WP_CREATE_ALWAYS,
                                     WP_FILE_ATTRIBUTE_NORMAL));
        if (!h.valid()) return false;
        uint32_t done = 0;
        const bool written = text.empty() || (wp_write_file(h.get(), text.data(), uint32_t(text.size()), &done) &&
                                              done == text.size());
        if (!written || !wp_flush_file_buffers(h.get())) {
            h.reset();
            wp_delete_file(temporary.c_str());
            return false;
        }
    }
    if (!wp_move_file_ex(temporary.c_str(), path, WP_MOVEFILE_REPLACE_EXISTING | WP_MOVEFILE_WRITE_THROUGH)) {
        wp_delete_file(temporary.c_str());
        return false;
    }
    return true;
}
