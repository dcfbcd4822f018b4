// The log viewer's core: the split of a line and its mark, the choice of
// the file shown first, and a log directory read through the server's own
// control pipe (served in this process), long lines included.
#include "lumeno/core/log_view.h"
#include "platform/file.h"
#include "quen/config/settings.h"
#include "quen/control/control_server.h"
#include "tests/config/test_env.h"
#include "tests/exports/exports_env.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

struct split_case {
    const char* line;
    int mark;
    const char *date, *time, *message;
};

TEST(log_view_rules, lines_split_into_date_time_message_and_mark) {
    const split_case cases[] = {
        {"2026-12-10 11:42:07 NFS server started", LOG_MARK_LINE, "2026-12-10", "11:42:07", "NFS server started"},
        {"2026-12-10 11:42:07 mount error for /x", LOG_MARK_ERROR, "2026-12-10", "11:42:07", "mount error for /x"},
        {"2026-12-10 11:42:07 errors: none", LOG_MARK_LINE, "2026-12-10", "11:42:07", "errors: none"},
        {"2026-12-10 11:42:07", LOG_MARK_LINE, "2026-12-10", "11:42:07", ""},   // 19: split, no message
        {"2026-12-10 11:42:0", LOG_MARK_LINE, "", "", "2026-12-10 11:42:0"},    // 18: not split
        {"  continued without a time stamp", LOG_MARK_LINE, "", "", "  continued without a time stamp"},
        {"mountd: Line 7 ignored, unknown option", LOG_MARK_ERROR, "", "", "mountd: Line 7 ignored, unknown option"},
        {"a stray error here", LOG_MARK_LINE, "", "", "a stray error here"},   // " error " counts on stamped lines
        {"2026-12-10 11:42:07 mountd: Line 7 x", LOG_MARK_LINE, "2026-12-10", "11:42:07", "mountd: Line 7 x"},
    };
    for (const split_case& c : cases) {
        const log_row row = log_split_line(c.line);
        EXPECT_EQ(row.mark, c.mark) << c.line;
        EXPECT_EQ(row.date, c.date) << c.line;
        EXPECT_EQ(row.time, c.time) << c.line;
        EXPECT_EQ(row.message, c.message) << c.line;
    }
}

TEST(log_view_rules, a_long_line_is_cut_and_judged_whole) {
    const std::string line = "2026-12-10 11:42:07 " + std::string(3000, 'a') + " error at the end";
    const log_row row = log_split_line(line);
    EXPECT_EQ(row.message.size(), kLogLineShown);
    EXPECT_EQ(row.mark, LOG_MARK_ERROR) << "the error lies beyond the part shown";
}

TEST(log_view_rules, month_names_and_the_first_choice) {
    EXPECT_EQ(log_month_name(2026, 12), "quen2612.log");
    EXPECT_EQ(log_month_name(2007, 3), "quen0703.log");
    const std::vector<std::string> names = {"quen2610.log", "quen2611.log"};
    EXPECT_EQ(log_choose(names, "quen2611.log"), 1u);
    EXPECT_EQ(log_choose(names, "quen2612.log"), 0u) << "not listed: the first";
}

struct log_server_test : exports_file_test {
    static void SetUpTestSuite() {
        static std::string variable;
        variable = "TERVALO_PIPE=" + make_temp_folder("logpipe").native + "/pipe";
        putenv(variable.data());
        ASSERT_TRUE(control_server_start());
    }
    static void TearDownTestSuite() { control_server_stop(); }
    void SetUp() override {
        exports_file_test::SetUp();
        std::snprintf(g_settings.log_dir, sizeof g_settings.log_dir, "%s", dir.c_str());
    }
    void TearDown() override {
        control_disconnect(client);
        for (const char* name : {"quen2611.log", "quen2612.log", "other.log"}) wp_delete_file((dir + name).c_str());
        g_settings.log_dir[0] = '\0';
        exports_file_test::TearDown();
    }
    control_client client;
};

TEST_F(log_server_test, an_empty_log_directory_offers_the_current_month) {
    std::vector<std::string> names;
    ASSERT_EQ(log_list_files(client, "quen2612.log", &names), 1);
    EXPECT_EQ(names, std::vector<std::string>{"quen2612.log"});
    std::vector<log_row> rows;
    EXPECT_EQ(log_load(client, "quen2612.log", &rows), 0) << "a month without a file yet";
    EXPECT_TRUE(rows.empty());
}

TEST_F(log_server_test, files_are_listed_sorted_and_read_line_by_line) {
    write("quen2611.log", "2026-11-30 23:59:59 last of November\n");
    // Beyond one reply (4087 characters), with text in its tail that would
    // mark a false second row as an error.
    const std::string tail = " mountd: Line 9 looks like an exports report\n";
    write("quen2612.log", "2026-12-10 11:42:07 started\n"
                          "x\n"
                          "2026-12-10 11:42:08 mount error for /x\n"
                          "2026-12-10 11:42:09 " + std::string(5000, 'b') + tail +
                          "mountd: Line 3 ignored, unknown option\n"
                          "  continued\n"
                          "2026-12-10 11:42:10 last, no line end");
    write("other.log", "not a monthly log\n");
    std::vector<std::string> names;
    ASSERT_EQ(log_list_files(client, "quen2612.log", &names), 1);
    EXPECT_EQ(names, (std::vector<std::string>{"quen2611.log", "quen2612.log"}));
    EXPECT_EQ(log_choose(names, "quen2612.log"), 1u);

    std::vector<log_row> rows;
    ASSERT_EQ(log_load(client, "quen2612.log", &rows), 1);
    ASSERT_EQ(rows.size(), 6u) << "the short line skipped, the long line one row";
    EXPECT_EQ(rows[0].mark, LOG_MARK_LINE);
    EXPECT_EQ(rows[0].message, "started");
    EXPECT_EQ(rows[1].mark, LOG_MARK_ERROR);
    EXPECT_EQ(rows[2].mark, LOG_MARK_LINE) << "a stamped line is judged by \" error \" alone";
    EXPECT_EQ(rows[2].time, "11:42:09");
    EXPECT_EQ(rows[2].message, std::string(kLogLineShown, 'b'));
    EXPECT_EQ(rows[3].mark, LOG_MARK_ERROR);
    EXPECT_EQ(rows[3].date, "");
    EXPECT_EQ(rows[4].message, "  continued");
    EXPECT_EQ(rows[5].message, "last, no line end") << "only a line end is dropped";
}

}  // namespace
