// The Explorer verb: the requests a change makes, and the keys the server
// writes for them, read back from the registry.
#include "lumeno/core/shell_verb.h"
#include "platform/registry.h"
#include "platform/win_error.h"
#include "quen/control/control_server.h"
#include "tests/config/test_env.h"
#include "tests/exports/exports_env.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

TEST(shell_verb, requests_of_each_change) {
    struct {
        shell_verb_change change;
        uint32_t major;
        size_t count;
        bool text, command;
    } cases[] = {
        {SHELL_VERB_REGISTER, 5, 1, true, true},     {SHELL_VERB_REGISTER, 6, 2, true, true},
        {SHELL_VERB_UNREGISTER, 5, 1, false, false}, {SHELL_VERB_UNREGISTER, 10, 2, false, false},
        {SHELL_VERB_RENAME, 5, 1, true, false},      {SHELL_VERB_RENAME, 6, 2, true, false},
    };
    for (const auto& c : cases) {
        const auto r = shell_verb_requests(c.change, "C:\\quen\\", "Export in NFS", c.major);
        ASSERT_EQ(r.size(), c.count) << c.change << " " << c.major;
        EXPECT_STREQ(r[0].parent, "Directory\\shell");
        if (c.count > 1) {
            EXPECT_STREQ(r[1].parent, "Directory\\Background\\shell");
        }
        for (const auto& one : r) {
            EXPECT_EQ(one.has_text, c.text);
            EXPECT_EQ(one.has_command, c.command);
        }
    }
    const auto r = shell_verb_requests(SHELL_VERB_REGISTER, "C:\\quen\\", "Export in NFS", 6);
    EXPECT_EQ(r[0].command, "C:\\quen\\lumeno.exe \"%1\"");
    EXPECT_EQ(r[1].command, "C:\\quen\\lumeno.exe \"%V\"");
}

namespace {

struct shell_verb_server_test : exports_file_test {
    static void SetUpTestSuite() {
        static std::string variable;
        variable = "TERVALO_PIPE=" + make_temp_folder("verbpipe").native + "/pipe";
        putenv(variable.data());
        ASSERT_TRUE(control_server_start());
    }
    static void TearDownTestSuite() { control_server_stop(); }
    void TearDown() override {
        shell_verb_apply(client, SHELL_VERB_UNREGISTER, "", "", 6);
        control_disconnect(client);
        exports_file_test::TearDown();
    }
    static std::string value(const std::string& key, const char* name) {
        char data[512] = {};
        uint32_t type = 0, size = sizeof data;
        if (reg_query_value(REG_CLASSES_ROOT, key.c_str(), name, &type, data, &size) != WIN_ERROR_SUCCESS)
            return "<absent>";
        return data;
    }
    control_client client;
};

}  // namespace

TEST_F(shell_verb_server_test, registered_renamed_and_removed) {
    const int registered = shell_verb_apply(client, SHELL_VERB_REGISTER, "C:\\quen\\", "Export in NFS", 6);
    if (registered == 0) GTEST_SKIP() << "this process may not administer the server";
    ASSERT_EQ(registered, 2);
    EXPECT_TRUE(shell_verb_registered());
    const std::string folder = "Directory\\shell\\nfsserver", background = "Directory\\Background\\shell\\nfsserver";
    EXPECT_EQ(value(folder, ""), "Export in NFS");
    EXPECT_EQ(value(folder, "HasLUAShield"), "");
    EXPECT_EQ(value(folder + "\\command", ""), "C:\\quen\\lumeno.exe \"%1\"");
    EXPECT_EQ(value(background + "\\command", ""), "C:\\quen\\lumeno.exe \"%V\"");

    EXPECT_EQ(shell_verb_rename(client, "In NFS exportieren", 6), 2);
    EXPECT_EQ(value(background, ""), "In NFS exportieren");
    EXPECT_EQ(value(folder + "\\command", ""), "C:\\quen\\lumeno.exe \"%1\"") << "the command stays";

    EXPECT_EQ(shell_verb_apply(client, SHELL_VERB_UNREGISTER, "", "", 6), 2);
    EXPECT_FALSE(shell_verb_registered());
    EXPECT_EQ(reg_open_key(REG_CLASSES_ROOT, background.c_str()), WIN_ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(shell_verb_rename(client, "Export in NFS", 6), 0) << "nothing to rename";
    EXPECT_EQ(reg_open_key(REG_CLASSES_ROOT, folder.c_str()), WIN_ERROR_FILE_NOT_FOUND);
}
