// Reading and writing the server's settings through the registry.
#include "platform/registry.h"
#include "platform/win_error.h"
#include "quen/config/registry_access.h"
#include "quen/config/settings.h"
#include "rpc/settings.h"
#include "tests/config/test_env.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

namespace {

struct SettingsTest : testing::Test {
    std::set<std::string> touched;
    quen_settings s;
    void SetUp() override { use_private_registry("settings"); }
    void TearDown() override {
        for (const auto& name : touched) reg_delete_value(REG_LOCAL_MACHINE, kServerKey, name.c_str());
    }
    void put(const char* name, const char* text) {
        touched.insert(name);
        ASSERT_TRUE(config_write_string(kServerSection, name, text, -1));
    }
    std::string get(const char* name) {
        char buf[64];
        uint32_t type = 0, size = sizeof buf;
        if (reg_query_value(REG_LOCAL_MACHINE, kServerKey, name, &type, buf, &size) != WIN_ERROR_SUCCESS)
            return "<absent>";
        return buf;
    }
    void read() { config_read(s, "C:\\Program Files\\quen\\"); }
};

}  // namespace

TEST_F(SettingsTest, DefaultsWhenNothingIsSet) {
    read();
    const server_config& r = s.record;
    EXPECT_EQ(r.log, 1u);
    EXPECT_EQ(r.port, 2049);
    EXPECT_EQ(r.mount_port, 1058);
    EXPECT_EQ(r.nlm_port, 4045);
    EXPECT_EQ(r.threads, 4u);
    EXPECT_EQ(r.datasize, 8192u);
    EXPECT_EQ(r.max_read, 8192u);
    EXPECT_EQ(r.max_write, 8192u);
    EXPECT_EQ(r.dir_reply_size, 6400u);
    EXPECT_EQ(r.fh_size, 20u);
    EXPECT_EQ(r.cache, 8u);
    EXPECT_EQ(r.locktime_ms, 180000u);
    EXPECT_EQ(r.automount, 2u);
    EXPECT_EQ(r.win10tag, 0xAAAAAAAAu);
    EXPECT_EQ(r.so_rcvbuf, (8192u + 512) * 4);
    EXPECT_EQ(r.so_tcpbuf, 262144u);
    EXPECT_EQ(r.reserved, 0u);
    EXPECT_EQ(s.dir_bits, 6);
    EXPECT_EQ(s.dir_limit, 9999);
    EXPECT_EQ(s.inode_size, 131072);
    EXPECT_EQ(s.rpc_timeout, 2);
    EXPECT_EQ(s.rpc_idle, 30);
    EXPECT_EQ(s.tcp_threads, 2);
    EXPECT_EQ(s.local_ip_address, 0u);
    EXPECT_STREQ(s.data_dir, "C:\\Program Files\\quen\\");
    EXPECT_STREQ(s.log_dir, "C:\\Program Files\\quen\\");
    EXPECT_STREQ(s.inode_path, "");
    for (int c = 0; c < 256; ++c) EXPECT_EQ(s.char_map[c], 0) << c;
}

TEST_F(SettingsTest, NumbersAreDecimalStringsOnly) {
    put("Port", "2050");
    put("Mount-Port", "  +1100 extra");   // read as %d reads it
    put("NLM-Port", "70000");             // not a 16-bit port: the default
    put("Threads", "eight");
    put("RPCTIMEOUT", "99999999999");     // out of range: the default
    touched.insert("TCPthreads");
    const uint32_t dword = 5;
    ASSERT_EQ(reg_set_value(REG_LOCAL_MACHINE, kServerKey, "TCPthreads", REG_VALUE_DWORD, &dword, 4), WIN_ERROR_SUCCESS);
    read();
    EXPECT_EQ(s.record.port, 2050);
    EXPECT_EQ(s.record.mount_port, 1100);
    EXPECT_EQ(s.record.nlm_port, 4045);
    EXPECT_EQ(s.record.threads, 4u);
    EXPECT_EQ(s.rpc_timeout, 2);
    EXPECT_EQ(s.tcp_threads, 2);   // a REG_DWORD is not a decimal string
}

TEST_F(SettingsTest, ClampsAndDerivedValues) {
    put("FHsize", "24");
    put("DirBits", "12");
    put("DirLimit", "0");
    put("Datasize", "4096");
    put("Threads", "2");
    put("Locktime", "30");
    put("NFS3Write", "19");   // 0x13: mode 3 and the unstable bit
    read();
    EXPECT_EQ(s.record.fh_size, 20u);
    EXPECT_EQ(s.dir_bits, 8);
    EXPECT_EQ(s.dir_limit, 9999);
    EXPECT_EQ(s.record.dir_reply_size, 4096u);
    EXPECT_EQ(s.record.max_read, 4096u);
    EXPECT_EQ(s.record.max_write, 4096u);
    EXPECT_EQ(s.record.so_rcvbuf, (4096u + 512) * 2);
    EXPECT_EQ(s.record.locktime_ms, 30000u);
    EXPECT_EQ(s.record.nfs3_write_mode, 3u);
    EXPECT_EQ(s.record.nfs3_write_unstable, 0x10u);

    put("FHsize", "32");
    put("DirBits", "3");
    put("Dirsize", "1024");
    read();
    EXPECT_EQ(s.record.fh_size, 32u);
    EXPECT_EQ(s.dir_bits, 6);
    EXPECT_EQ(s.record.dir_reply_size, 1024u);
}

TEST_F(SettingsTest, LocalAddressMustBeDotted) {
    put("LocalIPAddress", "192.168.1.5");
    read();
    EXPECT_EQ(s.local_ip_address, 0xC0A80105u);
    EXPECT_STREQ(s.local_ip_text, "192.168.1.5");
    for (const char* bad : {"10.1.2.300", "10.1.2", "10.1.2.3.4", "host.example", "1.2.3.4 ", "0001.2.3.4"}) {
        put("LocalIPAddress", bad);
        read();
        EXPECT_EQ(s.local_ip_address, 0u) << bad;
    }
    s.local_ip_address = 0x7F000001;
    config_apply_to_rpc(s);
    EXPECT_EQ(g_rpc_settings.local_ip_address, 0x7F000001u);
    EXPECT_EQ(g_rpc_settings.threads, s.record.threads);
}

TEST_F(SettingsTest, PathsGetTheirSeparatorAndDefaults) {
    put("Directory", "D:\\nfsdata");
    read();
    EXPECT_STREQ(s.data_dir, "D:\\nfsdata\\");
    EXPECT_STREQ(s.log_dir, "D:\\nfsdata\\");   // LogDir follows the data directory
    put("LogDir", "E:\\logs\\");
    put("InodePath", "F:\\inodes.nfs");
    read();
    EXPECT_STREQ(s.log_dir, "E:\\logs\\");
    EXPECT_STREQ(s.inode_path, "F:\\inodes.nfs");
    put("LogDir", std::string(900, 'x').c_str());   // longer than allowed: the default
    read();
    EXPECT_STREQ(s.log_dir, "D:\\nfsdata\\");
    if (!running_on_windows()) {
        put("Directory", "/var/lib/quen");
        read();
        EXPECT_STREQ(s.data_dir, "Z:\\var\\lib\\quen\\");
    }
}

TEST_F(SettingsTest, CharacterMapAcceptsOnlyValidSubstitutes) {
    put("Map_58", "61");    // ':' -> '='
    put("Map_63", "42");    // '?' -> '*' is itself invalid
    put("Map_34", "127");   // out of range
    put("Map_65", "66");    // 'A' is valid and never substituted
    put("Map_92", "32");    // '\' -> space (a long-name character)
    put("EscapeList", "'^~={}%`!&#");
    read();
    EXPECT_EQ(s.char_map[58], 61);
    EXPECT_EQ(s.char_map[63], 0);
    EXPECT_EQ(s.char_map[34], 0);
    EXPECT_EQ(s.char_map[65], 0);
    EXPECT_EQ(s.char_map[92], 32);
    EXPECT_STREQ(s.escape_list, "'^~={}%`!&#");
    put("EscapeList", "'^~={}%`!&#+");   // longer than eleven: not read, the default list applies
    read();
    EXPECT_STREQ(s.escape_list, "");
}

TEST_F(SettingsTest, WriteBackDeletesDefaults) {
    put("Threads", "8");
    put("Port", "2050");
    read();
    server_config r = s.record;
    r.threads = 4;
    r.port = 2051;
    r.nfs3_write_mode = 2;
    r.nfs3_write_unstable = 0x10;
    r.log = 1;
    for (const char* n : {"Threads", "Port", "NFS3Write", "Log", "Datasize"}) touched.insert(n);
    EXPECT_TRUE(config_write_back(r));
    EXPECT_EQ(get("Threads"), "<absent>");
    EXPECT_EQ(get("Port"), "2051");
    EXPECT_EQ(get("NFS3Write"), "18");
    EXPECT_EQ(get("Log"), "<absent>");
    read();
    EXPECT_EQ(s.record.threads, 4u);
    EXPECT_EQ(s.record.port, 2051);
    EXPECT_EQ(s.record.nfs3_write_mode, 2u);
    EXPECT_EQ(s.record.nfs3_write_unstable, 0x10u);
}

TEST_F(SettingsTest, StringHelperReturnsLengthsAndDefaults) {
    char buf[32];
    EXPECT_EQ(config_read_string(kServerSection, "Nothing", "fallback", buf, sizeof buf), 8u);
    EXPECT_STREQ(buf, "fallback");
    touched.insert("Raw");
    ASSERT_TRUE(config_write_string(kServerSection, "Raw", "\x01\x02\x03", 3));
    EXPECT_EQ(config_read_string(kServerSection, "Raw", "", buf, sizeof buf), 3u);
    EXPECT_EQ(std::memcmp(buf, "\x01\x02\x03", 3), 0);
    ASSERT_TRUE(config_write_string(kServerSection, "Raw", nullptr, -1));
    EXPECT_EQ(get("Raw"), "<absent>");
    EXPECT_TRUE(config_write_string(kServerSection, "Raw", nullptr, -1));   // deleting twice is fine
}

TEST_F(SettingsTest, ShellCommandsRegisterAndRemoveCleanly) {
    const char* cls = "Tervalo.UnitTestFolder";
    ASSERT_TRUE(shell_command_register(cls, "nfsserver", "NFS Export...", "\"C:\\quen\\lumeno.exe\" \"%1\""));
    char buf[128];
    uint32_t type = 0, size = sizeof buf;
    ASSERT_EQ(reg_query_value(REG_CLASSES_ROOT, "Tervalo.UnitTestFolder\\nfsserver", "", &type, buf, &size), 0u);
    EXPECT_STREQ(buf, "NFS Export...");
    size = sizeof buf;
    ASSERT_EQ(reg_query_value(REG_CLASSES_ROOT, "Tervalo.UnitTestFolder\\nfsserver", "HasLUAShield", &type, buf, &size), 0u);
    EXPECT_STREQ(buf, "");
    size = sizeof buf;
    ASSERT_EQ(reg_query_value(REG_CLASSES_ROOT, "Tervalo.UnitTestFolder\\nfsserver\\command", "", &type, buf, &size), 0u);
    EXPECT_STREQ(buf, "\"C:\\quen\\lumeno.exe\" \"%1\"");
    EXPECT_TRUE(shell_command_remove(cls, "nfsserver"));
    EXPECT_EQ(reg_open_key(REG_CLASSES_ROOT, "Tervalo.UnitTestFolder\\nfsserver"), WIN_ERROR_FILE_NOT_FOUND);
    reg_delete_key(REG_CLASSES_ROOT, cls);
}

TEST_F(SettingsTest, LimitsAgainstHostileClientsAreSettings) {
    read();
    EXPECT_EQ(s.mounts_per_client, 64u);
    EXPECT_EQ(s.mounts_max, 4096u);
    EXPECT_EQ(s.pipe_idle, 120u);
    config_apply_to_rpc(s);
    EXPECT_EQ(g_rpc_settings.tcp_idle_seconds, 900u);
    EXPECT_EQ(g_rpc_settings.tcp_record_seconds, 30u);
    EXPECT_EQ(g_rpc_settings.tcp_max_connections, 512u);
    EXPECT_EQ(g_rpc_settings.tcp_per_client, 32u);
    const struct {
        const char* name;
        const char* value;
        const uint32_t* field;
        uint32_t expected;
    } cases[] = {
        {"MountsPerClient", "5", &s.mounts_per_client, 5},
        {"Mounts", "0", &s.mounts_max, 0},
        {"PipeIdle", "5", &s.pipe_idle, 5},
        {"TCPidle", "60", &g_rpc_settings.tcp_idle_seconds, 60},
        {"TCPrecordTime", "0", &g_rpc_settings.tcp_record_seconds, 1},
        {"TCPconnections", "2000", &g_rpc_settings.tcp_max_connections, 2000},
        {"TCPperClient", "4", &g_rpc_settings.tcp_per_client, 4},
    };
    for (const auto& c : cases) {
        put(c.name, c.value);
        read();
        config_apply_to_rpc(s);
        EXPECT_EQ(*c.field, c.expected) << c.name;
    }
    g_rpc_settings = rpc_settings{};
}
