// Where the log goes and what its lines look like.
#include "quen/log/log_file.h"
#include "rpc/log.h"
#include "tests/config/test_env.h"

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::time_t local_time(int year, int month, int day) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = 12;
    t.tm_isdst = -1;
    return std::mktime(&t);
}

// The log is a text file: on Windows its lines end in CR LF.
std::string read_whole(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    std::string text = ss.str();
    std::erase(text, '\r');
    return text;
}

struct LogTest : testing::Test {
    temp_folder dir;
    void SetUp() override {
        dir = make_temp_folder("log");
        g_log_level = 1;
    }
    void TearDown() override {
        log_close_file();
        log_set_stream(stderr);
        g_log_level = 1;
    }
};

}  // namespace

TEST_F(LogTest, FileIsNamedForTheMonthOfTheStart) {
    char name[32];
    log_file_name(local_time(2024, 3, 15), name, sizeof name);
    EXPECT_STREQ(name, "quen2403.log");
    log_file_name(local_time(2031, 12, 1), name, sizeof name);
    EXPECT_STREQ(name, "quen3112.log");

    // Started "in March": that file is used for the whole run whatever today is.
    log_open(dir.windows.c_str(), 1, local_time(2024, 3, 31));
    ASSERT_TRUE(log_stream_is_file());
    log_event(1, "quen   started on %u\n", 2049u);
    log_printf(2, "quen: hidden at level 1\n");
    log_close_file();
    const std::string text = read_whole(fs::path(dir.native) / "quen2403.log");
    EXPECT_TRUE(std::regex_match(text, std::regex("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d quen   started on 2049\n")))
        << text;
}

TEST_F(LogTest, LevelZeroWritesNothing) {
    log_open(dir.windows.c_str(), 0, std::time(nullptr));
    EXPECT_EQ(g_log_level, 0);
    EXPECT_EQ(log_stream(), stderr);
    EXPECT_FALSE(log_stream_is_file());
    testing::internal::CaptureStderr();
    log_event(1, "quen   started on %u\n", 2049u);
    log_printf(2, "quen: out of memory\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(fs::is_empty(dir.native));
}

TEST_F(LogTest, DebugMeansLevelTwoOnStandardOutput) {
    g_log_level = 2;   // -debug
    log_open(dir.windows.c_str(), 5, std::time(nullptr));
    EXPECT_EQ(g_log_level, 2);
    EXPECT_EQ(log_stream(), stdout);
    testing::internal::CaptureStdout();
    log_printf(2, "nfs3_access: cannot read args\n");
    log_printf(3, "not at level 2\n");
    log_flush();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "nfs3_access: cannot read args\n");
    EXPECT_TRUE(fs::is_empty(dir.native));
}

TEST_F(LogTest, MissingDirectorySwitchesLoggingOff) {
    const std::string missing = dir.windows + "no-such-folder\\";
    log_open(missing.c_str(), 1, std::time(nullptr));
    EXPECT_EQ(g_log_level, 0);
    EXPECT_FALSE(log_stream_is_file());
    log_open((std::string(1100, 'd') + "\\").c_str(), 1, std::time(nullptr));   // too long a name
    EXPECT_EQ(g_log_level, 0);
}

TEST_F(LogTest, ConcurrentWritersNeverInterleave) {
    log_open(dir.windows.c_str(), 2, local_time(2025, 1, 2));
    ASSERT_TRUE(log_stream_is_file());
    constexpr int kThreads = 4, kLines = 500;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t)
        writers.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) log_event(2, "writer %d line %d of a longer message\n", t, i);
        });
    for (auto& w : writers) w.join();
    log_close_file();
    std::istringstream in(read_whole(fs::path(dir.native) / "quen2501.log"));
    const std::regex line("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d writer \\d line \\d+ of a longer message");
    int count = 0;
    for (std::string l; std::getline(in, l); ++count) EXPECT_TRUE(std::regex_match(l, line)) << l;
    EXPECT_EQ(count, kThreads * kLines);
}
