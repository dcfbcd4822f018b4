// The log viewer's core: the split of a line and its mark, the choice of
// the file shown first, and a log directory read through the server's own
// control pipe (served in this process), long lines included.
#include "lumeno/core/log_print.h"
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

TEST(log_print_rules, lines_per_page_and_header) {
    const int cases[][3] = {{6600, 100, 64}, {6650, 100, 64}, {300, 100, 1}, {100, 100, 1}, {500, 0, 1}};
    for (const auto& c : cases) EXPECT_EQ(log_lines_per_page(c[0], c[1]), c[2]) << c[0] << " / " << c[1];
    EXPECT_EQ(log_page_header("quen2612.log", 1), "quen2612.log  --  1");
}

// What a printer was given: the headers and each page's lines.
struct printout {
    std::vector<std::string> headers;
    std::vector<std::vector<std::string>> pages;
    int fail_at = -1;   // the page whose start fails
    bool open = false;
    log_print_sink sink() {
        return {this,
                [](void* p, const std::string& header) {
                    auto* o = static_cast<printout*>(p);
                    if (int(o->pages.size()) == o->fail_at) return false;
                    o->headers.push_back(header);
                    o->pages.emplace_back();
                    o->open = true;
                    return true;
                },
                [](void* p, int row, const std::string& text) {
                    auto* o = static_cast<printout*>(p);
                    EXPECT_EQ(size_t(row), o->pages.back().size());
                    o->pages.back().push_back(text);
                },
                [](void* p) {
                    static_cast<printout*>(p)->open = false;
                    return true;
                }};
    }
};

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
        for (const char* name : {"quen2611.log", "quen2612.log", "other.log", "long.log"}) wp_delete_file((dir + name).c_str());
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

TEST_F(log_server_test, printing_fills_pages_and_stops_at_the_limit) {
    write("quen2612.log", "one\r\ntwo\nthree\nfour\nfive\n");
    printout p;
    EXPECT_EQ(log_print(client, "quen2612.log", 2, p.sink()), 3);
    EXPECT_EQ(p.headers, (std::vector<std::string>{"quen2612.log  --  1", "quen2612.log  --  2", "quen2612.log  --  3"}));
    EXPECT_EQ(p.pages[0], (std::vector<std::string>{"one", "two"})) << "lines without their line ends";
    EXPECT_EQ(p.pages[2], std::vector<std::string>{"five"});
    EXPECT_FALSE(p.open) << "the last page is ended";

    printout failing;
    failing.fail_at = 1;
    EXPECT_EQ(log_print(client, "quen2612.log", 2, failing.sink()), 0) << "a failed page start is a failure";
    EXPECT_EQ(failing.pages.size(), 1u);

    printout none;
    EXPECT_EQ(log_print(client, "quen2611.log", 2, none.sink()), 0) << "a file that cannot be opened prints nothing";
    EXPECT_TRUE(none.pages.empty());

    std::string text;
    for (uint32_t i = 0; i <= kLogPrintMax; ++i) text += std::to_string(i) + "\n";
    write("long.log", text);
    printout big;
    EXPECT_EQ(log_print(client, "long.log", 100, big.sink()), int(kLogPrintMax / 100));
    EXPECT_EQ(big.pages.back().back(), std::to_string(kLogPrintMax - 1)) << "the first 30000 lines";
}

}  // namespace
