// The panel's lists against the server's own control pipe, served in this
// process by the server's listener over its export list and mount table:
// rows and headers of both views, the options text the exports file would
// hold, removal and disconnection, and a server that is gone.
#include "lumeno/core/panel_lists.h"
#include "lumeno/core/panel_state.h"
#include "platform/file.h"
#include "quen/config/settings.h"
#include "quen/control/control_server.h"
#include "quen/mount/export_text.h"
#include "quen/mount/mount_table.h"
#include "tests/config/test_env.h"
#include "tests/exports/exports_env.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <set>
#include <string>

namespace {

struct panel_server_test : exports_file_test {
    static void SetUpTestSuite() {
        // A socket of the suite's own on POSIX; Windows has the one pipe name.
        static std::string variable;
        variable = "TERVALO_PIPE=" + make_temp_folder("panelpipe").native + "/pipe";
        putenv(variable.data());
        ASSERT_TRUE(control_server_start());
    }
    static void TearDownTestSuite() { control_server_stop(); }
    void SetUp() override {
        exports_file_test::SetUp();
        mount_table_init();
    }
    void TearDown() override {
        control_disconnect(client);
        mount_table_clear();
        wp_delete_file((dir + "mounttab").c_str());   // written by a disconnection
        exports_file_test::TearDown();
    }
    uint32_t mount(export_entry* e, const char* ip_text, uint32_t origin, const std::string& path = "") {
        mount_request r;
        r.client = ip(ip_text);
        r.path = path.empty() ? e->folder : path;
        r.exp = e;
        r.origin = origin;
        uint32_t id = 0;
        EXPECT_EQ(mount_record(r, &id), MOUNT_RECORD_NEW);
        return id;
    }
    bool admin() {   // whether this process may administer the server
        const int rc = panel_remove_row(client, PANEL_VIEW_MOUNTS, 0x7FFFFFF1);
        return !(rc == 0 && control_get32(client.reply) == CTL_DENIED);
    }
    control_client client;
};

}  // namespace

TEST_F(panel_server_test, exports_rows_hold_the_exports_file_notation) {
    struct {
        const char* line;
        const char* folder;
        const char* options;
        const char* clients;
    } cases[] = {
        {"C:\\one", "C:\\one", "", ""},
        {"C:\\two -name:second 10.0.0.1 10.0.0.2", "C:\\two", " -name:second", " 10.0.0.1 10.0.0.2"},
        {"C:\\three -ro -umask:002 -maproot:0:0 -w", "C:\\three", " -w -readonly -umask:002 -maproot:0", ""},
        {"C:\\four -public -alldirs -mapall:1000:100 -sa", "C:\\four", " -sa -mapall:1000:100 -alldirs -public", ""},
        {"\"C:\\with blank\" -range -exec -at -i32 10.0.0.0 10.0.0.255", "C:\\with blank", " -exec -i32 -at -range",
         " 10.0.0.0 10.0.0.255"},
        {"C:\\six -hide -uid:5:6 -sub:95,33 -u", "C:\\six", " -u -sub:95,33 -uid:5:6 -hide", ""},
    };
    std::string text;
    for (const auto& c : cases) text += std::string(c.line) + "\n";
    load(text);
    panel_list list;
    ASSERT_EQ(panel_list_refresh(client, PANEL_VIEW_EXPORTS, true, false, &list), 7);
    EXPECT_EQ(list.header, " 6 Entries");
    const std::vector<export_entry*> exports = active();
    for (size_t i = 0; i < std::size(cases); ++i) {
        const panel_row& row = list.rows[i];
        EXPECT_EQ(row.text[0], cases[i].folder);
        EXPECT_EQ(row.text[1], cases[i].options) << cases[i].line;
        EXPECT_EQ(row.text[2], cases[i].clients) << cases[i].line;
        // Written back as the server writes its own exports file.
        std::string folder = row.text[0].find(' ') != std::string::npos ? "\"" + row.text[0] + "\"" : row.text[0];
        folder.resize(std::max<size_t>(folder.size(), 16), ' ');
        EXPECT_EQ(folder + row.text[1] + (row.text[2].empty() ? "" : " " + row.text[2]) + "\n",
                  export_line_text(*exports[i], false));
        EXPECT_NE(row.ref, 0u);
    }
    EXPECT_EQ(list.rows.back().ref, 0u) << "the empty last row";
    EXPECT_EQ(list.rows.back().text[0], "");
    ASSERT_EQ(panel_list_refresh(client, PANEL_VIEW_EXPORTS, true, true, &list), 7);
    EXPECT_EQ(list.header, " 6 Entries\t\t(view mode, no Administrator rights)");
}

TEST_F(panel_server_test, mounts_rows_show_transport_origin_and_client) {
    load("C:\\data\nC:\\pub -public\n");
    const std::vector<export_entry*> e = active();
    mount(e[0], "10.0.0.7", 6, "C:\\data\\sub");
    mount(e[1], "10.0.0.8", 17 | 0x100);
    mount(e[0], "10.0.0.9", 6 | 0x200);
    panel_list list;
    ASSERT_EQ(panel_list_refresh(client, PANEL_VIEW_MOUNTS, false, false, &list), 3);
    EXPECT_EQ(list.header, " 3 Clients");
    std::set<std::vector<std::string>> rows;
    for (const panel_row& r : list.rows) rows.insert({r.text[0], r.text[1], r.text[2]});
    EXPECT_EQ(rows, (std::set<std::vector<std::string>>{{"C:\\data\\sub", "tcp", "10.0.0.7"},
                                                        {"C:\\pub", "udp public", "10.0.0.8"},
                                                        {"C:\\data", "tcp auto", "10.0.0.9"}}));
    // With Resolve Addresses the host name as the server has it: empty until resolved.
    ASSERT_TRUE(mount_set_host_name(list.rows[0].ref, "client.example"));
    ASSERT_EQ(panel_list_refresh(client, PANEL_VIEW_MOUNTS, true, false, &list), 3);
    size_t named = 0;
    for (const panel_row& r : list.rows) named += r.text[2] == "client.example";
    EXPECT_EQ(named, 1u);
}

TEST_F(panel_server_test, remove_and_disconnect) {
    write("exports", "# kept\nC:\\one\nC:\\two 10.0.0.1\n");
    load("C:\\one\nC:\\two 10.0.0.1\n");
    mount(active()[1], "10.0.0.1", 17);
    if (!admin()) GTEST_SKIP() << "this process is not an administrator of the server";
    panel_list list;
    ASSERT_EQ(panel_list_refresh(client, PANEL_VIEW_EXPORTS, true, false, &list), 3);
    EXPECT_EQ(panel_remove_row(client, PANEL_VIEW_EXPORTS, 0), 0) << "the empty row";
    EXPECT_EQ(panel_remove_row(client, PANEL_VIEW_EXPORTS, list.rows[0].ref), 1);
    EXPECT_EQ(panel_remove_row(client, PANEL_VIEW_EXPORTS, list.rows[0].ref), 0) << "gone already";
    ASSERT_EQ(panel_list_refresh(client, PANEL_VIEW_EXPORTS, true, false, &list), 2);
    EXPECT_EQ(list.rows[0].text[0], "C:\\two");
    EXPECT_EQ(read("exports").find("C:\\one"), std::string::npos) << read("exports");
    EXPECT_EQ(read("exports").rfind("# kept\n", 0), 0u);

    ASSERT_EQ(panel_list_refresh(client, PANEL_VIEW_MOUNTS, false, false, &list), 1);
    EXPECT_EQ(panel_remove_row(client, PANEL_VIEW_MOUNTS, list.rows[0].ref), 1);
    EXPECT_EQ(panel_remove_row(client, PANEL_VIEW_MOUNTS, list.rows[0].ref), 0);
    EXPECT_EQ(panel_list_refresh(client, PANEL_VIEW_MOUNTS, false, false, &list), 0);
    EXPECT_EQ(list.header, " 0 Clients");
}

TEST_F(panel_server_test, status_line_and_a_server_that_is_gone) {
    load("C:\\one\n");
    panel_settings s;
    ASSERT_EQ(panel_read_settings(client, s), 1);
    EXPECT_EQ(panel_status_text(1, s), " Ready on Port " + std::to_string(g_settings.record.port));
    if (running_on_windows()) GTEST_SKIP() << "the one pipe name is served by this test's own server";
    const std::string saved = std::getenv("TERVALO_PIPE");
    static std::string dead;
    dead = "TERVALO_PIPE=" + saved + ".gone";
    putenv(dead.data());
    control_disconnect(client);
    panel_list list;
    EXPECT_EQ(panel_list_refresh(client, PANEL_VIEW_EXPORTS, true, false, &list), -1);
    EXPECT_EQ(list.rows.size(), 1u) << "only the empty row";
    EXPECT_EQ(list.header, " 0 Entries");
    EXPECT_EQ(panel_list_refresh(client, PANEL_VIEW_MOUNTS, true, false, &list), -1);
    EXPECT_TRUE(list.rows.empty());
    EXPECT_EQ(panel_status_text(panel_read_settings(client, s), s), "NFS Server service not active");
    static std::string back;
    back = "TERVALO_PIPE=" + saved;
    putenv(back.data());
}
