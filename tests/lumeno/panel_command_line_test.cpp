// The folder on the panel's command line: what ends the panel, what is
// handed to the export entry dialog, and how the elevated restart gets the
// folder whole.
#include "lumeno/core/command_line.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {
// C:\data and the mapped drive M: are folders, C:\file.txt a file.
uint32_t local_attributes(const char* path) {
    if (std::strcmp(path, "C:\\file.txt") == 0) return 0x20;
    if (std::strncmp(path, "C:\\data", 7) == 0 || std::strncmp(path, "M:\\", 3) == 0) return kPanelDirectoryAttribute;
    return kPanelNoFile;
}
bool local_remote(const char* path) { return path[0] == 'M'; }
bool local_unc(const char* path, std::string* unc) {
    *unc = std::string("\\\\files\\home") + (path + 2);
    return true;
}
const panel_local_files kLocal{local_attributes, local_remote, local_unc};
}  // namespace

TEST(command_line, what_becomes_of_the_argument) {
    const std::string longest = "C:\\" + std::string(kCommandLineFolderMax - 3, 'a');
    struct {
        const char* name;
        std::string argument;
        bool none;
        bool admin;
        panel_start_kind kind;
        std::string folder, parameters;
    } cases[] = {
        {"no argument", "", true, true, PANEL_START_NORMAL, "", ""},
        {"2043 characters", longest, false, true, PANEL_START_INSERT, longest, ""},
        {"2044 characters", longest + "a", false, true, PANEL_START_END, "", ""},
        {"a drive root as Explorer quotes it", "C:\"", false, true, PANEL_START_INSERT, "C:", ""},
        {"cut at the first quote", "C:\\data\\\"x\"", false, true, PANEL_START_INSERT, "C:\\data\\", ""},
        {"only a quote", "\"", false, true, PANEL_START_NORMAL, "", ""},
        {"a file", "C:\\file.txt", false, true, PANEL_START_END, "", ""},
        {"a file, not admin", "C:\\file.txt", false, false, PANEL_START_END, "", ""},
        {"admin: blanks kept as they are", "C:\\data\\with blank", false, true, PANEL_START_INSERT,
         "C:\\data\\with blank", ""},
        {"not admin: blanks, the backslash the UNC step adds", "C:\\data\\with blank", false, false,
         PANEL_START_ELEVATE, "", "\"C:\\data\\with blank\\\\\""},
        {"not admin: a trailing backslash doubled before the quote", "C:\\data\\", false, false,
         PANEL_START_ELEVATE, "", "\"C:\\data\\\\\""},
        {"not admin: a mapped drive by its UNC name", "M:\\work", false, false, PANEL_START_ELEVATE, "",
         "\"\\\\files\\home\\work\\\\\""},
        {"not admin: a folder that is not there", "N:\\gone", false, false, PANEL_START_ELEVATE, "",
         "\"N:\\gone\\\\\""},
    };
    for (const auto& c : cases) {
        const panel_start_plan plan = panel_command_line(c.none ? nullptr : c.argument.c_str(), c.admin, kLocal);
        EXPECT_EQ(plan.kind, c.kind) << c.name;
        EXPECT_EQ(plan.folder, c.folder) << c.name;
        EXPECT_EQ(plan.parameters, c.parameters) << c.name;
    }
}

// The C runtime's argv rules: 2n backslashes before a quote give n and end
// the argument, 2n+1 give n and a quote; elsewhere they stand for themselves.
TEST(command_line, quoting_for_argv) {
    struct {
        const char* argument;
        const char* quoted;
    } cases[] = {
        {"", "\"\""},
        {"C:\\a b", "\"C:\\a b\""},
        {"C:\\a b\\", "\"C:\\a b\\\\\""},
        {"\\\\srv\\share\\\\", "\"\\\\srv\\share\\\\\\\\\""},
        {"a\"b", "\"a\\\"b\""},
        {"a\\\"b", "\"a\\\\\\\"b\""},
    };
    for (const auto& c : cases) EXPECT_EQ(panel_quote_argument(c.argument), c.quoted) << c.argument;
}
