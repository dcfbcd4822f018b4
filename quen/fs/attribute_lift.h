// Lifting the attributes that stand in the way of opening a file for
// writing, for the length of one operation.
#pragma once
#include "platform/file.h"

#include <cstdint>

// Windows refuses to open a read-only file for writing, and UNIX owners may
// write their read-only files: such a file loses its read-only, hidden and
// system bits for the write and gets them back after it, whatever happens.
struct attribute_lift {
    attribute_lift() = default;
    attribute_lift(const attribute_lift&) = delete;
    attribute_lift& operator=(const attribute_lift&) = delete;

    const char* path = nullptr;
    uint32_t saved = WP_INVALID_FILE_ATTRIBUTES;
    bool written = false;

    static constexpr uint32_t settable = 0x31A7;   // the bits SetFileAttributes keeps

    void lift(const char* p, uint32_t windows) {
        if (!wp_set_file_attributes(p, WP_FILE_ATTRIBUTE_NORMAL)) return;
        path = p;
        saved = windows & settable;
    }
    void restore() {
        if (saved == WP_INVALID_FILE_ATTRIBUTES) return;
        // A file that was written is due for backup again.
        uint32_t back = saved | (written ? uint32_t(WP_FILE_ATTRIBUTE_ARCHIVE) : 0u);
        wp_set_file_attributes(path, back ? back : WP_FILE_ATTRIBUTE_NORMAL);
        saved = WP_INVALID_FILE_ATTRIBUTES;
    }
    // The file keeps what it has now (a new mode wrote its own attributes).
    void keep() { saved = WP_INVALID_FILE_ATTRIBUTES; }
    ~attribute_lift() { restore(); }
};
