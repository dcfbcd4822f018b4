// The exports editor's and the configuration pages' rules alone: the
// options text and its boxes, the Save checks' folder rules, the exports
// file rebuilt around one entry, the settings record's clamps and
// encodings, and the RPC lists as the pages decode them.
#include "lumeno/core/export_folder.h"
#include "lumeno/core/export_options.h"
#include "lumeno/core/exports_file.h"
#include "lumeno/core/panel_dialog_ids.h"
#include "lumeno/core/panel_rpc.h"
#include "lumeno/core/settings_pages.h"

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

namespace {

uint32_t boxes(std::initializer_list<int> ids) {
    uint32_t mask = 0;
    for (int id : ids) mask |= export_option_bit(id);
    return mask;
}

}  // namespace

TEST(export_options, checks_follow_the_words_of_the_text) {
    struct {
        const char* text;
        uint32_t checked;
    } cases[] = {
        {" -ro", boxes({IDC_OPT_READONLY})},
        {" -readonly -w", boxes({IDC_OPT_READONLY, IDC_OPT_ANSI})},
        {" -umask:022 -name:x -range", boxes({IDC_OPT_UMASK, IDC_OPT_NAME, IDC_OPT_RANGE})},
        // Words inside an argument or a longer word are not words of their own.
        {" -name:my-public -at -alldirs", boxes({IDC_OPT_NAME, IDC_OPT_ALLDIRS})},
        {"", 0},
    };
    for (const auto& c : cases) EXPECT_EQ(export_options_checked(c.text), c.checked) << c.text;
}

TEST(export_options, a_click_brings_the_text_in_step_with_the_boxes) {
    struct {
        const char* text;
        uint32_t checked;
        int clicked;
        bool clients_empty;
        const char* expected;
    } cases[] = {
        {"", boxes({IDC_OPT_READONLY}), IDC_OPT_READONLY, true, " -readonly"},
        {" -ro -exec", boxes({IDC_OPT_READONLY, IDC_OPT_EXEC}), IDC_OPT_EXEC, true, " -exec -readonly"},
        {" -ro", 0, IDC_OPT_READONLY, true, ""},
        {" -umask:022 -exec", boxes({IDC_OPT_EXEC}), IDC_OPT_UMASK, true, " -exec"},
        {" -a -u -alldirs", boxes({IDC_OPT_ANSI, IDC_OPT_ALLDIRS}), IDC_OPT_ANSI, true, " -alldirs -w"},
        // -a and -u go only when the click was on -w.
        {" -a -w", boxes({IDC_OPT_ANSI, IDC_OPT_HIDE}), IDC_OPT_HIDE, true, " -a -w -hide"},
        {"", boxes({IDC_OPT_RANGE}), IDC_OPT_RANGE, true, ""},
        {"", boxes({IDC_OPT_RANGE}), IDC_OPT_RANGE, false, " -range"},
        {" -range", boxes({IDC_OPT_RANGE}), 0, true, ""},
        {" -name:x\t-maproot:0:0", boxes({IDC_OPT_MAPROOT}), IDC_OPT_NAME, true, "\t-maproot:0:0"},
        {" -sub:1 -nosdc", boxes({IDC_OPT_NAME}), IDC_OPT_NAME, true, " -sub:1 -nosdc -name:"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(export_options_sync(c.text, c.checked, c.clicked, c.clients_empty), c.expected) << c.text;
}

TEST(export_options, save_judges_the_text) {
    struct {
        const char* text;
        export_options_verdict verdict;
        const char* stripped;
    } cases[] = {
        {" -ro -umask:022 -sub:1,2 -uid:5 -mapall:1:2 -at -range  \t", EXPORT_OPTIONS_OK,
         " -ro -umask:022 -sub:1,2 -uid:5 -mapall:1:2 -at -range"},
        {"", EXPORT_OPTIONS_OK, ""},
        {" -name:", EXPORT_OPTIONS_NO_ARGUMENT, " -name:"},
        {" -maproot: 0", EXPORT_OPTIONS_NO_ARGUMENT, " -maproot: 0"},
        {" -name: ", EXPORT_OPTIONS_NO_ARGUMENT, " -name:"},
        {" -bogus", EXPORT_OPTIONS_UNKNOWN, " -bogus"},
        {" ro", EXPORT_OPTIONS_UNKNOWN, " ro"},
    };
    for (const auto& c : cases) {
        std::string text = c.text;
        EXPECT_EQ(export_options_check(text), c.verdict) << c.text;
        EXPECT_EQ(text, c.stripped);
    }
}

TEST(export_folder, syntax_and_normal_spelling) {
    struct {
        const char* folder;
        bool valid;
        const char* normal;
    } cases[] = {
        {"C:", true, "C:\\"},
        {"c:\\", true, "C:\\"},
        {"c:\\data\\", true, "C:\\data"},
        {"C:\\data", true, "C:\\data"},
        {"\\\\server\\share", true, "\\\\server\\share\\"},
        {"\\\\server\\share\\dir\\", true, "\\\\server\\share\\dir"},
        {"\\\\server", true, "\\\\server"},
        {"\\\\?\\d:", true, "\\\\?\\D:\\"},
        {"\\\\?\\Volume{12-34}\\x\\", true, "\\\\?\\Volume{12-34}\\x"},
        {"\\\\?\\volume{12-34}", true, "\\\\?\\volume{12-34}\\"},
        {"data", false, "data"},
        {"C:data", false, "C:data"},
        {"\\\\se*rver\\share", false, "\\\\se*rver\\share"},
        {"\\\\?\\Volume{12", false, "\\\\?\\Volume{12"},
        {"/c/data", false, "/c/data"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(export_folder_syntax_ok(c.folder), c.valid) << c.folder;
        EXPECT_EQ(export_folder_normalise(c.folder), c.normal) << c.folder;
    }
}

namespace {
uint32_t fake_attributes(const char* path) {
    return std::strncmp(path, "M:\\", 3) == 0 || std::strcmp(path, "C:\\data\\") == 0 ? kPanelDirectoryAttribute
                                                                                       : kPanelNoFile;
}
bool fake_remote(const char* path) { return path[0] == 'M'; }
bool fake_unc(const char* path, std::string* unc) {
    *unc = std::string("\\\\files\\home") + (path + 2);
    return true;
}
const panel_local_files kFakeLocal{fake_attributes, fake_remote, fake_unc};
}  // namespace

TEST(export_folder, handed_in_folders_get_their_backslash_and_a_mapped_drive_its_unc_name) {
    EXPECT_EQ(export_folder_with_unc("C:\\data", kFakeLocal), "C:\\data\\");
    EXPECT_EQ(export_folder_with_unc("M:\\work", kFakeLocal), "\\\\files\\home\\work\\");
    EXPECT_EQ(export_folder_with_unc("N:\\gone", kFakeLocal), "N:\\gone\\") << "not there: kept as it is";
}

TEST(exports_file, entry_lines) {
    EXPECT_EQ(exports_entry_line("C:\\data", "", ""), "C:\\data\n");
    EXPECT_EQ(exports_entry_line("C:\\with blank", " -ro", ""), "\"C:\\with blank\" -ro\n");
    EXPECT_EQ(exports_entry_line("C:\\d", "", " 10.0.0.1"), "C:\\d 10.0.0.1\n");
    EXPECT_EQ(exports_entry_line("C:\\d", " -ro -w ", "a b"), "C:\\d -ro -w a b\n");
}

namespace {
panel_row row(uint32_t ref, const char* folder, const char* options = "", const char* clients = "") {
    panel_row r;
    r.ref = ref;
    r.text[0] = folder;
    r.text[1] = options;
    r.text[2] = clients;
    return r;
}
}  // namespace

TEST(exports_file, a_save_changes_only_its_own_entry) {
    const std::string old_text =
        "# exports of this machine\n"
        "# second comment line\n"
        "C:\\one -ro\n"
        "\n"
        "# the build folders\n"
        "C:\\missing -exec\n"          // ignored by the server today: no such folder
        "\"C:\\two words\" -umask:022\n"
        "    10.0.0.1 10.0.0.2\n"      // clients continued on the next line
        "C:\\odd -unknownoption\n"     // ignored: unknown option
        "c:\\three\\\n";
    const std::vector<panel_row> rows = {row(1, "C:\\one", " -readonly"), row(2, "C:\\two words", " -umask:022"),
                                         row(3, "C:\\three"), row(0, "")};
    struct {
        const char* name;
        exports_change change;
        std::string expected;
    } cases[] = {
        {"edit of an entry continued on a second line",
         {true, 1, "C:\\two words", " -umask:022 -name:two", " 10.0.0.1"},
         "# exports of this machine\n# second comment line\nC:\\one -ro\n\n# the build folders\nC:\\missing -exec\n"
         "\"C:\\two words\" -umask:022 -name:two 10.0.0.1\nC:\\odd -unknownoption\nc:\\three\\\n"},
        {"edit of the last entry, matched in another spelling",
         {true, 2, "C:\\three", " -w", ""},
         old_text.substr(0, old_text.size() - std::strlen("c:\\three\\\n")) + "C:\\three -w\n"},
        {"insert before a row",
         {false, 0, "C:\\new", "", ""},
         "# exports of this machine\n# second comment line\nC:\\new\nC:\\one -ro\n" +
             old_text.substr(old_text.find("\n\n# the build") + 1)},
        {"insert on the empty last row", {false, 3, "D:\\", " -public", ""}, old_text + "D:\\ -public\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(exports_rebuild(old_text, rows, c.change), c.expected) << c.name;
}

TEST(exports_file, rows_the_file_lost_are_written_again) {
    const std::vector<panel_row> rows = {row(1, "C:\\one"), row(2, "C:\\gone", " -ro", " 10.0.0.1"), row(0, "")};
    EXPECT_EQ(exports_rebuild("# c\nC:\\one\n", rows, {false, 2, "C:\\new", "", ""}),
              "# c\nC:\\one\nC:\\gone -ro 10.0.0.1\nC:\\new\n");
    // A file without a last line feed.
    EXPECT_EQ(exports_rebuild("C:\\one", rows, {true, 1, "C:\\gone", "", ""}), "C:\\one\nC:\\gone\n");
}

TEST(exports_file, raw_editor_text_and_status_texts) {
    EXPECT_EQ(exports_editor_text("a\nb\r\nc", 100), "a\r\nb\r\nc\r\n");
    EXPECT_EQ(exports_editor_text("abc\ndef\n", 7), "abc\r\n") << "only whole lines within the buffer";
    EXPECT_FALSE(exports_editor_fits("abc\ndef\n", 7)) << "a part shown is not saved";
    EXPECT_TRUE(exports_editor_fits("abc\ndef", 10));
    EXPECT_TRUE(exports_editor_fits("", 10));
    EXPECT_EQ(exports_status_text(0, 0), "");
    EXPECT_EQ(exports_status_text(1, 3), "Failed to open exports file");
    EXPECT_EQ(exports_status_text(5, 7), "Line 7 ignored, unknown option");
    EXPECT_EQ(exports_status_text(8, 2), "Line 2 ignored, duplicate entry");
    EXPECT_EQ(exports_status_text(9, 2), "");
}

namespace {
const settings_field& field(int id) {
    uint32_t n = 0, m = 0;
    const settings_field* a = settings_nfs_fields(&n);
    const settings_field* b = settings_server_fields(&m);
    for (uint32_t i = 0; i < n; ++i)
        if (a[i].id == id) return a[i];
    for (uint32_t i = 0; i < m; ++i)
        if (b[i].id == id) return b[i];
    static const settings_field none{0, SETTING_SHOWN, 0};
    ADD_FAILURE() << "no field " << id;
    return none;
}
uint32_t stored(int id, bool checked, const char* text, uint32_t before) {
    uint8_t record[kControlSettingsSize] = {};
    const settings_field& f = field(id);
    if (f.kind == SETTING_PORT) {
        record[f.offset] = uint8_t(before);
        record[f.offset + 1] = uint8_t(before >> 8);
    } else {
        settings_put_word(record, f.offset, before);
    }
    settings_store(f, checked, text, record);
    return f.kind == SETTING_PORT ? control_get16(record + f.offset) : settings_word(record, f.offset);
}
}  // namespace

TEST(settings_pages, controls_are_stored_by_their_rules) {
    struct {
        int id;
        bool checked;
        const char* text;
        uint32_t before, after;
    } cases[] = {
        {IDC_THREADS, false, "0", 8, 1},          {IDC_THREADS, false, "100", 8, 32},
        {IDC_THREADS, false, "abc", 8, 8},        {IDC_THREADS, false, " 12 ", 8, 12},
        {IDC_BLOCKSIZE, false, "100", 8192, 256}, {IDC_BLOCKSIZE, false, "1000000", 8192, 262144},
        {IDC_BLOCKSIZE, false, "", 8192, 8192},   {IDC_BLOCKSIZE, false, "-5", 8192, 8192},
        {IDC_NFS_PORT, false, "", 2000, 2049},    {IDC_NFS_PORT, false, "x", 2000, 2049},
        {IDC_NFS_PORT, false, "2050", 2049, 2050}, {IDC_NFS_PORT, false, "70000", 2049, 70000 & 0xFFFF},
        {IDC_MOUNT_PORT, false, "", 0, 1058},     {IDC_NLM_PORT, false, "", 0, 4045},
        {IDC_SRV_NFS2WRITE, true, "", 2, 0},      {IDC_SRV_NFS2WRITE, false, "", 0, 2},
        {IDC_SRV_NFS3WRITE, true, "", 0x11, 0x12}, {IDC_SRV_NFS3WRITE, false, "", 0x12, 0x10},
        {IDC_SRV_SOFT, true, "", 2, 3},           {IDC_SRV_REPARSE, false, "", 3, 1},
        {IDC_SRV_HARD, false, "", 3, 1},          {IDC_NFS_V2, true, "", 0, 1},
        {IDC_NFS_PORTMAP, false, "", 1, 1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(stored(c.id, c.checked, c.text, c.before), c.after) << c.id << " '" << c.text << "'";
}

TEST(settings_pages, record_to_controls_and_which_are_shown_or_enabled) {
    uint8_t r[kControlSettingsSize] = {};
    settings_put_word(r, 80, 0x12);
    EXPECT_TRUE(settings_checked(field(IDC_SRV_NFS3WRITE), r));
    EXPECT_TRUE(settings_checked(field(IDC_SRV_NFS2WRITE), r)) << "NFS2Write 0: async";
    r[24] = 0x01;
    r[25] = 0x08;
    EXPECT_EQ(settings_text(field(IDC_NFS_PORT), r), "2049");
    EXPECT_EQ(settings_partner(IDC_NFS_UDP), IDC_NFS_TCP);
    EXPECT_EQ(settings_partner(IDC_NFS_V3), IDC_NFS_V2);
    EXPECT_EQ(settings_partner(IDC_NFS_WEBNFS), 0);

    EXPECT_FALSE(settings_shown(IDC_SRV_FILEID, r, 5)) << "before Windows 6";
    EXPECT_TRUE(settings_shown(IDC_SRV_FILEID, r, 6));
    EXPECT_FALSE(settings_shown(IDC_SRV_HARD, r, 10)) << "the copy emulation only when set";
    settings_put_word(r, kSettingsHardLinks, 2);
    EXPECT_TRUE(settings_shown(IDC_SRV_HARD, r, 10));

    EXPECT_FALSE(settings_enabled(IDC_SRV_FILEID, r, true, true)) << "no file-id capability";
    settings_put_word(r, kSettingsFileIdsAvailable, 1);
    EXPECT_TRUE(settings_enabled(IDC_SRV_FILEID, r, true, true));
    EXPECT_FALSE(settings_enabled(IDC_NFS_PORT, r, false, true)) << "view-only";
    EXPECT_FALSE(settings_enabled(IDC_NFS_PORT, r, true, false)) << "settings not read";
    EXPECT_FALSE(settings_enabled(IDC_NFS_PORTMAP, r, true, true));
}

namespace {
struct xdr_out {
    std::vector<uint8_t> b;
    xdr_out& u32(uint32_t v) {
        for (int s = 24; s >= 0; s -= 8) b.push_back(uint8_t(v >> s));
        return *this;
    }
    xdr_out& str(const std::string& s) {
        u32(uint32_t(s.size()));
        b.insert(b.end(), s.begin(), s.end());
        while (b.size() % 4) b.push_back(0);
        return *this;
    }
};
}  // namespace

TEST(panel_rpc, replies_are_judged_in_order) {
    struct {
        std::vector<uint32_t> words;
        int result;
    } cases[] = {
        {{7, 1, 0, 0, 0, 0}, 1},     {{7, 1, 0, 0, 0}, PANEL_RPC_SHORT},
        {{7, 1, 0, 0}, PANEL_RPC_SHORT},
        {{8, 1, 0, 0, 0, 0}, PANEL_RPC_XID}, {{7, 0, 0, 0, 0, 0}, PANEL_RPC_NOT_REPLY},
        {{7, 1, 1, 0, 2, 2}, PANEL_RPC_MISMATCH}, {{7, 1, 1, 1, 1, 0}, PANEL_RPC_AUTH},
        {{7, 1, 0, 0, 0, 1}, PANEL_RPC_PROG_UNAVAIL}, {{7, 1, 0, 0, 0, 2}, PANEL_RPC_PROG_MISMATCH},
        {{7, 1, 0, 0, 0, 3}, PANEL_RPC_PROC_UNAVAIL}, {{7, 1, 0, 0, 0, 4}, PANEL_RPC_OTHER},
    };
    for (const auto& c : cases) {
        xdr_out x;
        for (uint32_t w : c.words) x.u32(w);
        uint32_t at = 0;
        EXPECT_EQ(panel_rpc_check_reply(x.b.data(), uint32_t(x.b.size()), 7, &at), c.result) << c.words.size();
    }
}

TEST(panel_rpc, mount_and_export_lists) {
    xdr_out m;
    m.u32(1).str("client.example").str("/c/data").u32(1).str(std::string(600, 'h')).str("/d").u32(0);
    const auto mounts = panel_decode_mounts(m.b.data(), uint32_t(m.b.size()));
    ASSERT_EQ(mounts.size(), 2u);
    EXPECT_EQ(mounts[0].host, "client.example");
    EXPECT_EQ(mounts[0].folder, "/c/data");
    EXPECT_EQ(mounts[1].host.size(), 511u) << "a host name is cut to 511 characters";
    // A list cut inside an entry ends before it; a length beyond the data is not read.
    EXPECT_EQ(panel_decode_mounts(m.b.data(), 40).size(), 1u);
    xdr_out lying;
    lying.u32(1).u32(0x7FFFFFF0);
    EXPECT_TRUE(panel_decode_mounts(lying.b.data(), uint32_t(lying.b.size())).empty());

    xdr_out e;
    e.u32(1).str("/c/data").u32(1).str("-ro").u32(1).str("10.0.0.1").u32(1).str("hostone").u32(0);
    e.u32(1).str("/c/pub").u32(0).u32(0);
    const auto exports = panel_decode_exports(e.b.data(), uint32_t(e.b.size()));
    ASSERT_EQ(exports.size(), 2u);
    EXPECT_EQ(exports[0].folder, "/c/data");
    EXPECT_EQ(exports[0].options, "-ro ");
    EXPECT_EQ(exports[0].clients, "10.0.0.1 hostone ");
    EXPECT_EQ(exports[1].clients, "");
}

TEST(panel_rpc, portmap_list_ends_at_a_zero_entry_or_short_data) {
    xdr_out p;
    p.u32(1).u32(100000).u32(2).u32(6).u32(111).u32(1).u32(100003).u32(3).u32(17).u32(2049);
    p.u32(1).u32(0).u32(0).u32(0x10000).u32(0x20000).u32(1).u32(5).u32(5).u32(5).u32(5);
    const auto maps = panel_decode_portmaps(p.b.data(), uint32_t(p.b.size()));
    ASSERT_EQ(maps.size(), 2u) << "a zero entry (protocol and port in 16 bits) ends the list";
    EXPECT_EQ(maps[1].program, 100003u);
    EXPECT_EQ(maps[1].port, 2049u);
    EXPECT_EQ(panel_decode_portmaps(p.b.data(), 39).size(), 1u) << "fewer than 20 bytes left";
    EXPECT_EQ(panel_protocol_text(6), "TCP");
    EXPECT_EQ(panel_protocol_text(17), "UDP");
    EXPECT_EQ(panel_protocol_text(99), "99");
}
