#include "lumeno/core/panel_state.h"

#include "lumeno/core/panel_texts.h"
#include "platform/registry.h"
#include "platform/win_error.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
const char kUserKey[] = "Software\\Tervalo\\quen";
constexpr uint32_t kPortOffset = 24;

bool read_number(const char* name, int32_t* out) {
    char text[32] = {};
    uint32_t type = 0, size = sizeof text - 1;
    if (reg_query_value(REG_CURRENT_USER, kUserKey, name, &type, text, &size) != WIN_ERROR_SUCCESS ||
        type != REG_VALUE_SZ)
        return false;
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (end == text) return false;
    *out = int32_t(v);
    return true;
}

void write_number(const char* name, int32_t v) {
    if (v == 0) {
        reg_delete_value(REG_CURRENT_USER, kUserKey, name);
        return;
    }
    char text[16];
    const int n = std::snprintf(text, sizeof text, "%d", int(v));
    reg_set_value(REG_CURRENT_USER, kUserKey, name, REG_VALUE_SZ, text, uint32_t(n + 1));
}

}  // namespace

uint32_t panel_timer_tick(panel_refresh& r, uint32_t mount_rows) {
    if (mount_rows > 0) {
        ++r.counter;
    } else {
        r.toggle = !r.toggle;
        if (r.toggle) ++r.counter;
    }
    return r.counter;
}

void panel_refresh_done(panel_refresh& r) {
    if (r.counter > 0) --r.counter;
}

int panel_read_settings(control_client& c, panel_settings& s) {
    uint8_t record[kControlSettingsSize];
    const int rc = control_request_result(c, CTL_GET_SETTINGS, 0, nullptr, kControlSettingsSize, record, sizeof record);
    if (rc > 0) {
        std::memcpy(s.record, record, sizeof record);
        s.read_once = true;
    }
    return rc;
}

std::string panel_status_text(int settings_result, const panel_settings& s) {
    if (settings_result < 0) return panel_text(IDS_ERROR_PIPE);
    std::string text = " ";   // appended: GCC 12 warns falsely about operator+ of strings
    text += panel_text(IDS_READY);
    text += ' ';
    text += std::to_string(control_get16(s.record + kPortOffset));
    return text;
}

void panel_column_widths(int client_width, int scroll_bar_width, int widths[3]) {
    int w = client_width - scroll_bar_width;
    if (w < 0) w = 0;
    static const int kPercent[3] = {50, 25, 25};
    for (int i = 0; i < 3; ++i) {
        widths[i] = w * kPercent[i] / 100;
        if (widths[i] == 0) widths[i] = w / 3;
    }
}

panel_window_settings panel_window_settings_load() {
    panel_window_settings s;
    read_number("left", &s.left);
    read_number("top", &s.top);
    read_number("width", &s.width);
    read_number("height", &s.height);
    read_number("TrayIcon", &s.tray_icon);
    return s;
}

void panel_window_settings_save(const panel_window_settings& s) {
    reg_create_key(REG_CURRENT_USER, kUserKey);
    write_number("left", s.left);
    write_number("top", s.top);
    write_number("width", s.width);
    write_number("height", s.height);
}

panel_rect panel_place(const panel_window_settings& s, int32_t screen_width, int32_t screen_height,
                       int32_t min_width, int32_t min_height) {
    panel_rect r{s.left, s.top, s.width, s.height};
    if (uint32_t(r.left) >= uint32_t(screen_width - 5)) r.left = 0;
    if (uint32_t(r.top) >= uint32_t(screen_height - 5)) r.top = 0;
    if (r.width < min_width) r.width = min_width;
    if (r.height < min_height) r.height = min_height;
    return r;
}
