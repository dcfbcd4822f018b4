// The exports editor against the server's own control pipe, served in this
// process over a private program folder: a save keeps every other line of
// the file and leaves the previous one as "exports.old", the server sees
// the new entry after the reload, the Save checks ask the server about the
// folder, and the raw editor's text goes back as it was typed.
#include "lumeno/core/export_folder.h"
#include "lumeno/core/exports_file.h"
#include "lumeno/core/panel_dialog_ids.h"
#include "lumeno/core/panel_lists.h"
#include "lumeno/core/panel_state.h"
#include "lumeno/core/settings_pages.h"
#include "platform/file.h"
#include "quen/config/registry_access.h"
#include "quen/config/settings.h"
#include "quen/control/control_server.h"
#include "tests/config/test_env.h"
#include "tests/exports/exports_env.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct editor_server_test : exports_file_test {
    static void SetUpTestSuite() {
        static std::string variable;
        variable = "TERVALO_PIPE=" + make_temp_folder("editorpipe").native + "/pipe";
        putenv(variable.data());
        ASSERT_TRUE(control_server_start());
    }
    static void TearDownTestSuite() { control_server_stop(); }
    void SetUp() override {
        exports_file_test::SetUp();
        for (const char* name : {"one", "two", "three"}) ASSERT_TRUE(wp_create_directory((dir + name).c_str()));
    }
    void TearDown() override {
        control_disconnect(client);
        for (const char* name : {"one", "two", "three"}) wp_remove_directory((dir + name).c_str());
        exports_file_test::TearDown();
    }
    bool admin() {   // whether this process may administer the server
        uint32_t attributes = 0;
        return export_server_attributes(client, dir, &attributes) == 1;
    }
    std::vector<panel_row> rows() {
        panel_list list;
        EXPECT_GT(panel_list_refresh(client, PANEL_VIEW_EXPORTS, true, false, &list), 0);
        return list.rows;
    }
    // A file written in text mode, its line ends as the panel sent them.
    std::string plain(const std::string& name) {
        std::string t = read(name);
        t.erase(std::remove(t.begin(), t.end(), '\r'), t.end());
        return t;
    }
    control_client client;
};

uint32_t no_local_file(const char*) { return kPanelNoFile; }
uint32_t local_folder(const char*) { return kPanelDirectoryAttribute; }
bool remote(const char*) { return true; }
bool no_unc(const char*, std::string*) { return false; }

}  // namespace

TEST_F(editor_server_test, a_save_keeps_comments_and_ignored_lines_and_the_old_file) {
    if (!admin()) GTEST_SKIP() << "this process is not an administrator of the server";
    const std::string one = dir + "one", two = dir + "two", three = dir + "three";
    const std::string old_text = "# exports\n" + one + " -ro\n\n# kept further down\n" + dir +
                                 "gone -exec\n" + two + " -nosuchoption\n";
    write("exports", old_text);
    ASSERT_EQ(exports_reload(client), 1);
    std::vector<panel_row> r = rows();
    ASSERT_EQ(r.size(), 3u) << "one and the missing folder; the unknown option is ignored";

    ASSERT_EQ(exports_save_change(client, r, {false, r.size() - 1, three, " -readonly", ""}), 1);
    EXPECT_EQ(plain("exports"), old_text + three + " -readonly\n");
    EXPECT_EQ(plain("exports.old"), old_text);
    r = rows();
    ASSERT_EQ(r.size(), 4u);
    EXPECT_EQ(r[2].text[0], three);
    EXPECT_EQ(r[2].text[1], " -readonly");

    ASSERT_EQ(exports_save_change(client, r, {true, 0, one, r[0].text[1] + " -name:first", ""}), 1);
    EXPECT_EQ(plain("exports"), "# exports\n" + one + " -readonly -name:first\n\n# kept further down\n" + dir +
                                   "gone -exec\n" + two + " -nosuchoption\n" + three + " -readonly\n");
    EXPECT_EQ(plain("exports.old"), old_text + three + " -readonly\n");
    r = rows();
    EXPECT_EQ(r[0].text[1], " -name:first -readonly");
    EXPECT_EQ(exports_status_text_stored(), "Line 6 ignored, unknown option");
}

TEST_F(editor_server_test, save_checks_ask_the_server_about_the_folder) {
    if (!admin()) GTEST_SKIP() << "this process is not an administrator of the server";
    write("plain", "x");
    const panel_local_files nothing_here{no_local_file, remote, no_unc};
    const panel_local_files mapped{local_folder, remote, no_unc};
    struct {
        std::string options, folder;
        const panel_local_files* local;
        export_save_verdict verdict;
        std::string folder_after;
    } cases[] = {
        {" -ro ", dir + "one\\", &nothing_here, EXPORT_SAVE_GO, dir + "one"},
        {" -name:", dir + "one", &nothing_here, EXPORT_SAVE_NO_ARGUMENT, dir + "one"},
        {" -nonsense", dir + "one", &nothing_here, EXPORT_SAVE_STAY, dir + "one"},
        {"", "  ", &nothing_here, EXPORT_SAVE_STAY, ""},
        {"", "one", &nothing_here, EXPORT_SAVE_STAY, "one"},
        {"", dir + "plain", &nothing_here, EXPORT_SAVE_STAY, dir + "plain"},
        {"", dir + "absent", &nothing_here, EXPORT_SAVE_ASK, dir + "absent"},
        {"", dir + "absent", &mapped, EXPORT_SAVE_NOT_UNC, dir + "absent"},
    };
    for (auto& c : cases) {
        std::string options = c.options, folder = c.folder;
        EXPECT_EQ(export_save_check(client, *c.local, &options, &folder), c.verdict) << c.folder;
        EXPECT_EQ(folder, c.folder_after);
    }
    wp_delete_file((dir + "plain").c_str());
}

TEST_F(editor_server_test, the_raw_editor_writes_back_what_it_shows) {
    if (!admin()) GTEST_SKIP() << "this process is not an administrator of the server";
    write("exports", "# one\n" + dir + "one\n");
    std::string file;
    ASSERT_EQ(exports_read(client, &file, kExportsEditorMax), 1);
    std::string text = exports_editor_text(file, kExportsEditorMax);
    EXPECT_EQ(text, "# one\r\n" + dir + "one\r\n");
    text += std::string(5000, '#') + "\r\n";   // more than one piece
    ASSERT_EQ(exports_write(client, text, "wb"), 1);
    EXPECT_EQ(read("exports"), text);
    EXPECT_EQ(read("exports.old"), "# one\n" + dir + "one\n");
    ASSERT_EQ(exports_reload(client), 1);
}

TEST_F(editor_server_test, a_page_applied_sends_the_whole_record) {
    // Windows has no private registry for a test: the server would store this record as the machine's settings.
    if (running_on_windows()) GTEST_SKIP() << "would write the machine's own server settings";
    if (!admin()) GTEST_SKIP() << "this process is not an administrator of the server";
    panel_settings s;
    ASSERT_EQ(panel_read_settings(client, s), 1);
    uint32_t count = 0;
    const settings_field* fields = settings_nfs_fields(&count);
    const auto apply = [&](int id, const char* text) {
        for (uint32_t i = 0; i < count; ++i)
            if (fields[i].id == id) settings_store(fields[i], false, text, s.record);
        return control_request(client, CTL_SET_SETTINGS, kControlSettingsSize, s.record);
    };
    // The port is stored for the next start; the running server keeps its own.
    const uint16_t running = g_settings.record.port;
    ASSERT_GT(apply(IDC_NFS_PORT, "2050"), 0);
    int32_t stored = 0;
    EXPECT_TRUE(config_read_number(kServerSection, "Port", stored));
    EXPECT_EQ(stored, 2050);
    EXPECT_EQ(g_settings.record.port, running);
    ASSERT_GT(apply(IDC_NFS_PORT, ""), 0);
    EXPECT_FALSE(config_read_number(kServerSection, "Port", stored)) << "2049, the default, is not stored";
}
