// The file: loading it with the stored error values, reloading, and the
// rewrite after a removal, also when it stops between its steps.
#include "tests/exports/exports_env.h"

#include "platform/file.h"
#include "quen/mount/export_text.h"

namespace {

using ExportsFile = exports_file_test;

TEST_F(ExportsFile, MissingFile) {
    const exports_report r = exports_load();
    EXPECT_EQ(r.error, EXPORTS_OPEN_FAILED);
    EXPECT_EQ(stored_error(), 1);
    EXPECT_EQ(stored_line(), -1);
    EXPECT_EQ(exports_active(), nullptr);
}

TEST_F(ExportsFile, ErrorsAreStoredAndClearedOnTheNextLoad) {
    write("exports", "Z:\\tmp -ro\nZ:\\ -nonsense\nZ:\\tmp -exec\n");
    exports_report r = exports_load();
    EXPECT_EQ(r.error, EXPORTS_BAD_OPTION);
    EXPECT_EQ(stored_error(), 5);
    EXPECT_EQ(stored_line(), 2);
    EXPECT_EQ(active().size(), 2u);
    write("exports", "\"Z:\\tmp\\quoted\n");
    r = exports_load();
    EXPECT_EQ(stored_error(), 3);
    EXPECT_EQ(stored_line(), 1);
    write("exports", "Z:\\tmp\n");
    r = exports_load();
    EXPECT_EQ(r.error, EXPORTS_OK);
    EXPECT_EQ(stored_error(), -1);
    EXPECT_EQ(stored_line(), -1);
}

TEST_F(ExportsFile, EachProblemIsStoredWithItsLine) {
    std::string many = "Z:\\tmp";
    for (int i = 1; i <= 130; ++i) many += " 10.0.1." + std::to_string(i);
    const struct {
        std::string text;
        int32_t error;
        int32_t line;
    } cases[] = {
        {"# c\n\"Z:\\open quote\nZ:\\tmp\n", 3, 2},
        {"Z:\\" + std::string(2044, 'a') + "\n", 3, 1},  // 2047 characters
        {"Z:\\tmp\n\nZ:\\ -what\n", 5, 3},
        {"Z:\\tmp -umask:8 -umask:x\nZ:\\tmp -bad:1\n", 5, 2},
        {"Z:\\tmp\n  -ro\n  10.0.0.1 nowhere\n", 6, 3},
        {"# c\n" + many + "\n", 7, 2},
        {"Z:\\tmp\nZ:\\tmp\\\n", 8, 2},
        {"Z:/tmp\n", 3, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 40));
        write("exports", c.text);
        EXPECT_EQ(exports_load().error, uint32_t(c.error));
        EXPECT_EQ(stored_error(), c.error);
        EXPECT_EQ(stored_line(), c.line);
    }
    write("exports", "Z:\\" + std::string(2043, 'a') + "\n");  // 2046 characters
    EXPECT_EQ(exports_load().error, EXPORTS_OK);
    EXPECT_EQ(active().size(), 1u);
}

TEST_F(ExportsFile, LastProblemWins) {
    write("exports", "Z:\\a bad.host.invalid\n\nZ:\\tmp -range\r\n\r\n$x\r\nZ:\\tmp 10.0.0.1\r\n");
    const exports_report r = exports_load();
    EXPECT_EQ(r.error, EXPORTS_EXPECTED_PATH);
    EXPECT_EQ(stored_error(), 3);
    EXPECT_EQ(stored_line(), 5);
    ASSERT_EQ(active().size(), 1u);  // CRLF line ends read as LF ones
    EXPECT_EQ(active()[0]->addresses.size(), 1u);
}

TEST_F(ExportsFile, ExistingFolderIsProbed) {
    write("exports", dir + "\n");
    ASSERT_EQ(exports_load().error, EXPORTS_OK);
    ASSERT_EQ(active().size(), 1u);
    EXPECT_EQ(active()[0]->folder, dir.substr(0, dir.size() - 1));
    EXPECT_NE(active()[0]->fixed.max_name_length, 0u);
}

TEST_F(ExportsFile, ReloadOfAnUnchangedFileKeepsEveryEntry) {
    write("exports", "Z:\\tmp -ro\nZ:\\tmp\\y 10.0.0.1\n");
    ASSERT_EQ(exports_load().error, EXPORTS_OK);
    const auto first = active();
    ASSERT_EQ(exports_load().error, EXPORTS_OK);
    EXPECT_EQ(active(), first);
    write("exports", "Z:\\tmp -ro -exec\nZ:\\tmp\\y 10.0.0.1\n");
    ASSERT_EQ(exports_load().error, EXPORTS_OK);
    const auto third = active();
    ASSERT_EQ(third.size(), 2u);
    EXPECT_NE(third[0], first[0]);
    EXPECT_EQ(third[1], first[1]);
}

const char* kHeader = "# exports of this server\n#\n# second comment\n";

TEST_F(ExportsFile, RemoveRewritesKeepingTheHeader) {
    write("exports", std::string(kHeader) + "Z:\\tmp -ro 10.0.0.1\n# lost comment\nZ:\\tmp\\y -exec\n\"Z:\\tmp\" -a\n");
    ASSERT_EQ(exports_load().error, EXPORTS_OK);
    auto v = active();
    ASSERT_EQ(v.size(), 3u);
    ASSERT_TRUE(export_remove(v[1]));
    EXPECT_EQ(read("exports"), std::string(kHeader) + "Z:\\tmp           -readonly  10.0.0.1\n" +
                                   "Z:\\tmp           -a\n");
    EXPECT_EQ(read("exports.old").substr(0, 30), std::string(kHeader).substr(0, 30));
    EXPECT_FALSE(export_remove(v[1]));  // no longer active
    EXPECT_EQ(active().size(), 2u);
    bool retired = false;
    for (export_entry* e = exports_retired(); e; e = e->next) retired |= e == v[1];
    EXPECT_TRUE(retired);
    // The rewritten file loads into the same entries.
    ASSERT_EQ(exports_load().error, EXPORTS_OK);
    EXPECT_EQ(active(), (std::vector<export_entry*>{v[0], v[2]}));
}

TEST_F(ExportsFile, RewriteKeepsNamesWhoseAnsiFormReadsAsUtf8) {
    // "Ã£" in the ANSI code page is the bytes of UTF-8 "ã": written as ANSI
    // it would read back as another folder.
    write("exports", "\xEF\xBB\xBFZ:\\tmp\\\xC3\x83\xC2\xA3\nZ:\\tmp\\y\n");
    ASSERT_EQ(exports_load().error, EXPORTS_OK);
    auto v = active();
    ASSERT_EQ(v.size(), 2u);
    const std::string folder = v[0]->folder;
    ASSERT_TRUE(export_remove(v[1]));
    ASSERT_EQ(exports_load().error, EXPORTS_OK);
    ASSERT_EQ(active().size(), 1u);
    EXPECT_EQ(active()[0]->folder, folder);
}

int g_stop_at = 0;
int g_entries_written = 0;
bool stop_at_step(int step) {
    if (step == REWRITE_STEP_WRITE_ENTRY && g_stop_at == REWRITE_STEP_WRITE_ENTRY) return g_entries_written++ < 1;
    return step != g_stop_at;
}

TEST_F(ExportsFile, RewriteStoppedAtAnyStepLeavesTheOldContent) {
    const std::string original = std::string(kHeader) + "Z:\\tmp -ro\nZ:\\tmp\\y -exec\nZ:\\tmp\\x\n";
    for (int stop = REWRITE_STEP_DELETE_OLD; stop <= REWRITE_STEP_CLOSE; ++stop) {
        SCOPED_TRACE(stop);
        wp_delete_file((dir + "exports.old").c_str());
        write("exports.old", "stale backup\n");
        write("exports", original);
        exports_free_all();
        ASSERT_EQ(exports_load().error, EXPORTS_OK);
        g_stop_at = stop;
        g_entries_written = 0;
        exports_rewrite_set_step_hook(stop_at_step);
        const bool done = exports_rewrite();
        exports_rewrite_set_step_hook(nullptr);
        EXPECT_FALSE(done);
        // The old content survives whole, as the file or as its backup.
        const bool as_file = read("exports") == original;
        const bool as_backup = read("exports.old") == original;
        EXPECT_TRUE(as_file || as_backup) << read("exports") << "|" << read("exports.old");
        if (stop <= REWRITE_STEP_RENAME) {
            EXPECT_TRUE(as_file);
        }
    }
    exports_free_all();
    write("exports", original);
    ASSERT_EQ(exports_load().error, EXPORTS_OK);
    EXPECT_TRUE(exports_rewrite());
    EXPECT_EQ(read("exports.old"), original);
    EXPECT_EQ(read("exports"), std::string(kHeader) + "Z:\\tmp           -readonly\nZ:\\tmp\\y         -exec\n" +
                                   "Z:\\tmp\\x        \n");  // padded to 16 also at the line end
}

TEST_F(ExportsFile, RewriteWithoutAFileChangesNothing) {
    ASSERT_EQ(exports_load().error, EXPORTS_OPEN_FAILED);
    EXPECT_FALSE(exports_rewrite());
    EXPECT_FALSE(exists("exports"));
    EXPECT_FALSE(exists("exports.old"));
}

}  // namespace
