// The panel's rules that need no server: option texts of hand-made images,
// the mount type column, the refresh counter, column widths, placement and
// the per-user window settings.
#include "lumeno/core/panel_lists.h"
#include "lumeno/core/panel_state.h"
#include "lumeno/core/panel_texts.h"
#include "platform/registry.h"
#include "tests/config/test_env.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

struct image_field {
    uint32_t offset, value;
};

std::vector<uint8_t> export_image(std::initializer_list<image_field> fields) {
    std::vector<uint8_t> image(kControlExportImageSize, 0);
    control_put32(image.data() + 36, 3);   // automatic name encoding
    for (const image_field& f : fields) control_put32(image.data() + f.offset, f.value);
    return image;
}

}  // namespace

TEST(panel_rules, option_text_of_images) {
    struct {
        std::vector<uint8_t> image;
        const char* name;
        const char* text;
    } cases[] = {
        {export_image({}), "", ""},
        {export_image({}), "/second", " -name:second"},
        {export_image({{36, 0}}), "", " -a"},
        {export_image({{36, 2}}), "", " -u"},
        {export_image({{36, 7}}), "", ""},   // an encoding the panel does not know shows nothing
        {export_image({{28, 0x1 | 0x400 | 0x8}, {32, 002}, {48, 0}, {52, 0}}), "", " -readonly -umask:002 -maproot:0"},
        {export_image({{28, 0x8}, {48, 65534}, {52, 7}}), "", " -maproot:65534:7"},
        {export_image({{28, 0x10}, {56, 1000}, {60, 100}}), "", " -mapall:1000"},
        {export_image({{28, 0x10 | 0x40}, {56, 1000}, {60, 100}}), "", " -mapall:1000:100"},
        {export_image({{28, 0x60000}}), "", " -at"},
        {export_image({{28, 0x20000}}), "", " -sa"},
        {export_image({{28, 0x40000 | 0x2000 | 0x100}}), "", " -exec -i32 -cs"},
        {export_image({{28, 0x800 | 0x1000}, {40, 33}, {44, 44}}), "", " -uid:33:44"},
        {export_image({{28, 0x20}, {96, 95}}), "", " -sub:95"},
        {export_image({{28, 0x20}, {96, 58 | 63 << 8}}), "", " -sub:58,63"},
        {export_image({{24, 0xF}, {28, 0x2 | 0x8000 | 0x4000 | 0x80000 | 0x100000 | 0x10000}}), "",
         " -lowercase -dc -nosdc -rp -nd -ci -alldirs -hide -public -range"},
        {export_image({{28, 0x40000000}}), "", ""},   // a volume bit has no word
    };
    for (const auto& c : cases) EXPECT_EQ(panel_export_options(c.image.data(), c.name), c.text) << c.text;
}

TEST(panel_rules, mount_type_and_addresses) {
    struct {
        uint32_t origin;
        const char* text;
    } cases[] = {{6, "tcp"}, {17, "udp"}, {0, ""}, {17 | 0x100, "udp public"}, {6 | 0x200, "tcp auto"},
                 {0x300, " public auto"}, {99, ""}};
    for (const auto& c : cases) EXPECT_EQ(panel_mount_type(c.origin), c.text) << c.origin;
    const uint8_t addresses[] = {10, 0, 0, 1, 192, 168, 255, 254};
    EXPECT_EQ(panel_client_addresses(addresses, 2), " 10.0.0.1 192.168.255.254");
    EXPECT_EQ(panel_client_addresses(addresses, 0), "");
}

TEST(panel_rules, refresh_counter) {
    // Without mounts the list is refreshed every second tick, with mounts every tick.
    panel_refresh r;
    std::vector<uint32_t> seen;
    for (int i = 0; i < 4; ++i) {
        seen.push_back(panel_timer_tick(r, 0));
        panel_refresh_done(r);
    }
    EXPECT_EQ(seen, (std::vector<uint32_t>{2, 1, 1, 0})) << "the start's pending refresh, then every second tick";
    for (int i = 0; i < 3; ++i) {
        EXPECT_NE(panel_timer_tick(r, 1), 0u);
        panel_refresh_done(r);
    }
    // A command's count lasts: after Stop the list is refreshed on ten of the next twelve ticks.
    r = panel_refresh{kRefreshAfterStop, false};
    int refreshed = 0;
    for (int i = 0; i < 12; ++i) {
        refreshed += panel_timer_tick(r, 0) != 0;
        panel_refresh_done(r);
    }
    EXPECT_EQ(refreshed, 10);
    panel_refresh_done(r);
    panel_refresh_done(r);
    EXPECT_EQ(r.counter, 0u) << "never below 0";
}

TEST(panel_rules, status_and_header) {
    panel_settings s;
    control_put32(s.record + 24, 2049 | 1058u << 16);
    EXPECT_EQ(panel_status_text(1, s), " Ready on Port 2049");
    EXPECT_EQ(panel_status_text(0, s), " Ready on Port 2049") << "a refusal is not a dead server";
    EXPECT_EQ(panel_status_text(-1, s), "NFS Server service not active");
    EXPECT_EQ(panel_header(PANEL_VIEW_EXPORTS, 2, false), " 2 Entries");
    EXPECT_EQ(panel_header(PANEL_VIEW_MOUNTS, 0, true), " 0 Clients\t\t(view mode, no Administrator rights)");
}

TEST(panel_rules, texts_have_keys_and_a_source_may_replace_them) {
    uint32_t n = 0;
    const panel_text_entry* t = panel_text_table(&n);
    std::set<std::string> keys;
    for (uint32_t i = 0; i < n; ++i) {
        EXPECT_TRUE(keys.insert(t[i].key).second) << t[i].key;
        EXPECT_EQ(panel_text(t[i].id), t[i].builtin);
    }
    EXPECT_EQ(n, 15u) << "the texts of the main window and its lists";
    panel_set_text_source([](uint32_t id, std::string* out) {
        *out = id == IDS_READY ? "Bereit auf Port" : "";
        return true;
    });
    EXPECT_EQ(panel_text(IDS_READY), "Bereit auf Port");
    EXPECT_EQ(panel_text(IDS_FOLDER), "Folder") << "an empty text is the built-in one";
    panel_set_text_source(nullptr);
}

TEST(panel_rules, column_widths) {
    struct {
        int client, scroll;
        int w0, w1, w2;
    } cases[] = {{517, 17, 250, 125, 125}, {20, 17, 1, 1, 1}, {19, 17, 1, 0, 0}, {10, 17, 0, 0, 0}, {0, 0, 0, 0, 0}};
    for (const auto& c : cases) {
        int w[3];
        panel_column_widths(c.client, c.scroll, w);
        EXPECT_EQ(std::vector<int>(w, w + 3), (std::vector<int>{c.w0, c.w1, c.w2})) << c.client;
    }
}

TEST(panel_rules, placement) {
    struct {
        int32_t left, top, width, height;
        panel_rect want;
    } cases[] = {
        {-1, -1, 500, 250, {0, 0, 500, 250}},          // nothing stored: the screen origin
        {100, 50, 640, 480, {100, 50, 640, 480}},
        {-1280, 40, 500, 250, {0, 40, 500, 250}},      // a monitor left of the primary one
        {1915, 1075, 500, 250, {0, 0, 500, 250}},      // not below the screen size less 5
        {1914, 1074, 500, 250, {1914, 1074, 500, 250}},
        {10, 10, 50, 20, {10, 10, 136, 39}},           // raised to the minimum size
    };
    for (const auto& c : cases) {
        panel_window_settings s;
        s.left = c.left, s.top = c.top, s.width = c.width, s.height = c.height;
        const panel_rect r = panel_place(s, 1920, 1080, 136, 39);
        EXPECT_EQ(std::vector<int32_t>({r.left, r.top, r.width, r.height}),
                  std::vector<int32_t>({c.want.left, c.want.top, c.want.width, c.want.height}))
            << c.left << "," << c.top;
    }
}

TEST(panel_rules, window_settings_stored_per_user) {
    if (use_private_registry("panel").empty()) GTEST_SKIP() << "would change this user's own panel settings";
    EXPECT_EQ(panel_window_settings_load().left, -1) << "nothing stored";
    panel_window_settings s;
    s.left = 0, s.top = -20, s.width = 640, s.height = 480;
    panel_window_settings_save(s);
    const panel_window_settings back = panel_window_settings_load();
    EXPECT_EQ(std::vector<int32_t>({back.left, back.top, back.width, back.height, back.tray_icon}),
              std::vector<int32_t>({-1, -20, 640, 480, 1}));
    uint32_t type = 0, size = 0;
    EXPECT_NE(reg_query_value(REG_CURRENT_USER, "Software\\Tervalo\\quen", "left", &type, nullptr, &size), 0u)
        << "0 is deleted, not stored";
}
