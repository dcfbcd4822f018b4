// The main window's rules that are not drawing: when the list is refreshed,
// what the status line says, how wide the columns are and where the window
// opens.
#pragma once
#include "control_client/control_client.h"

#include <cstdint>
#include <string>

// Pending list refreshes. The timer raises the count every second while
// mounts are shown, else every second tick; each refresh lowers it; a
// command sets it to have the list follow what it started.
struct panel_refresh {
    uint32_t counter = 1;
    bool toggle = false;
};
inline constexpr uint32_t kRefreshAfterStart = 60;
inline constexpr uint32_t kRefreshAfterStop = 4;
inline constexpr uint32_t kRefreshAfterEdit = 2;   // Insert or Edit
inline constexpr uint32_t kRefreshAfterPreferences = 1;

// One timer tick. Result: the refresh message's lParam (0: the status line only).
uint32_t panel_timer_tick(panel_refresh& r, uint32_t mount_rows);
// After a refresh was handled.
void panel_refresh_done(panel_refresh& r);

// The settings record the status line and the configuration pages use,
// re-read on every refresh. Result of the read: -1 pipe failure, 0 refused,
// 1 read (the record then replaced).
struct panel_settings {
    uint8_t record[kControlSettingsSize] = {};
    bool read_once = false;
};
int panel_read_settings(control_client& c, panel_settings& s);
// " Ready on Port 2049", or the pipe error text after a pipe failure.
std::string panel_status_text(int settings_result, const panel_settings& s);

// The three columns: 50 %, 25 %, 25 % of the client width less a vertical
// scroll bar; a width that comes out 0 is a third of that width.
void panel_column_widths(int client_width, int scroll_bar_width, int widths[3]);

// The per-user window settings under HKEY_CURRENT_USER.
struct panel_window_settings {
    int32_t left = -1, top = -1;   // -1: not stored
    int32_t width = 500, height = 250;
    int32_t tray_icon = 1;
};
panel_window_settings panel_window_settings_load();
// Writes left, top, width and height; a value of 0 is deleted, not stored.
void panel_window_settings_save(const panel_window_settings& s);

// Where the window opens: an edge that is not below the screen size less 5,
// compared as unsigned numbers (so also a negative one, or none stored), is
// 0; the size is at least the system's minimum window size.
struct panel_rect {
    int32_t left, top, width, height;
};
panel_rect panel_place(const panel_window_settings& s, int32_t screen_width, int32_t screen_height,
                       int32_t min_width, int32_t min_height);
