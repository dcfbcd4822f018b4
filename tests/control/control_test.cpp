// The control pipe's decoder, reference tables and name checks, without a pipe.
#include "control_client/control_protocol.h"
#include "quen/config/registry_access.h"
#include "quen/config/settings.h"
#include "quen/control/control_commands.h"
#include "quen/control/control_names.h"
#include "quen/mount/mount_table.h"
#include "tests/config/test_env.h"
#include "tests/exports/exports_env.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

struct reply_t {
    uint32_t size;
    uint32_t status;
    uint32_t length;
    std::vector<uint8_t> bytes;
};

std::vector<uint8_t> message(uint32_t code, uint32_t length, const std::string& data) {
    std::vector<uint8_t> m(8 + data.size());
    control_put32(m.data(), code);
    control_put32(m.data() + 4, length);
    std::memcpy(m.data() + 8, data.data(), data.size());
    return m;
}

reply_t run(control_session& s, const std::vector<uint8_t>& m) {
    std::vector<uint8_t> out(kControlMessageMax);
    const uint32_t n = control_process(s, m.data(), uint32_t(m.size()), out.data());
    return {n, control_get32(out.data()), n >= 8 ? control_get32(out.data() + 4) : 0, out};
}

std::string word(uint32_t v) {
    std::string s(4, '\0');
    control_put32(reinterpret_cast<uint8_t*>(s.data()), v);
    return s;
}

}  // namespace

TEST(control_refs, forged_stale_and_full) {
    control_ref_table t;
    int objects[kControlRefSlots + 1];
    std::vector<uint32_t> refs;
    for (unsigned i = 0; i < kControlRefSlots; ++i) refs.push_back(control_ref_add(t, &objects[i]));
    EXPECT_EQ(control_ref_add(t, &objects[kControlRefSlots]), 0u) << "a full table refuses";
    EXPECT_EQ(control_ref_get(t, refs[3]), &objects[3]);
    for (uint32_t forged : {0u, 0x1Fu, refs[3] ^ 0x20u, refs[3] + 16u, 0xFFFFFFFFu})
        EXPECT_EQ(control_ref_get(t, forged), nullptr) << forged;
    EXPECT_EQ(control_ref_take(t, refs[3]), &objects[3]);
    EXPECT_EQ(control_ref_get(t, refs[3]), nullptr) << "closed";
    const uint32_t again = control_ref_add(t, &objects[kControlRefSlots]);
    EXPECT_NE(again, refs[3]) << "the slot's next use has another generation";
    EXPECT_EQ(control_ref_get(t, refs[3]), nullptr);
}

TEST(control_names, directory_escapes_refused) {
    for (const char* ok : {"quen2612.log", "quen*.log", "exports", "exports.old", "a.b", "console.log", "com0"})
        EXPECT_TRUE(control_name_acceptable(ok)) << ok;
    for (const char* bad : {"", ".", "..", "../x", "a/b", "a\\b", "C:x", "x:stream", "CON", "con.txt", "Nul",
                            "COM1", "lpt9.log", "AUX ", "prn.", "a\x01", "exports.", "exports "})
        EXPECT_FALSE(control_name_acceptable(bad)) << bad;
}

struct control_decoder : exports_test {
    control_session user, admin;
    void SetUp() override {
        exports_test::SetUp();
        mount_table_init();
        admin.admin = true;
    }
};

TEST_F(control_decoder, malformed_messages) {
    std::vector<uint8_t> tiny = {1, 0, 0};
    EXPECT_EQ(run(user, tiny).status, CTL_UNKNOWN);
    EXPECT_EQ(run(user, message(CTL_GET_EXPORT, 5, word(0))).status, CTL_UNKNOWN) << "length past the data";
    EXPECT_EQ(run(user, message(77, 0, "")).status, CTL_UNKNOWN);
    EXPECT_EQ(run(admin, message(CTL_GET_FILE_ATTRIBUTES, 3, "abc")).status, CTL_GET_FILE_ATTRIBUTES)
        << "a path without its NUL";
    EXPECT_EQ(run(user, message(CTL_OPEN_FILE, 4, "ab\0r")).status, CTL_UNKNOWN) << "a mode without its NUL";
    EXPECT_EQ(run(admin, message(CTL_WRITE_FILE, 9, word(1) + "abcd")).status, CTL_UNKNOWN);
}

TEST_F(control_decoder, administrator_commands_refused) {
    for (uint32_t code : {CTL_SET_SETTINGS, CTL_RELOAD_EXPORTS, CTL_REMOVE_EXPORT, CTL_GET_FILE_ATTRIBUTES,
                          CTL_REMOVE_MOUNT, CTL_WRITE_FILE, CTL_SHELL_MENU}) {
        const reply_t r = run(user, message(code, 4, word(1)));
        EXPECT_EQ(r.status, CTL_DENIED) << code;
        EXPECT_EQ(r.size, 4u) << code;
    }
    EXPECT_EQ(run(user, message(CTL_OPEN_FILE, 10, std::string("exports\0w\0", 10))).status, CTL_DENIED);
}

TEST_F(control_decoder, settings_need_the_whole_record) {
    const uint32_t before = g_settings.record.threads;
    std::string record(kControlSettingsSize - 1, '\x7f');
    const reply_t r = run(admin, message(CTL_SET_SETTINGS, uint32_t(record.size()), record));
    EXPECT_EQ(r.status, CTL_SET_SETTINGS);
    EXPECT_EQ(g_settings.record.threads, before);
    EXPECT_EQ(run(user, message(CTL_GET_SETTINGS, 0, "")).size, 188u);
}

TEST_F(control_decoder, settings_keep_what_sized_the_buffers) {
    const std::string registry = use_private_registry("control");
    const server_config before = g_settings.record;
    server_config sent = before;
    sent.max_read = sent.max_write = sent.datasize = 1u << 30;
    sent.set_exec = !before.set_exec;
    const std::string record(reinterpret_cast<const char*>(&sent), sizeof sent);
    EXPECT_EQ(run(admin, message(CTL_SET_SETTINGS, uint32_t(record.size()), record)).status, CTL_OK);
    EXPECT_EQ(g_settings.record.max_read, before.max_read);
    EXPECT_EQ(g_settings.record.datasize, before.datasize);
    EXPECT_EQ(g_settings.record.set_exec, sent.set_exec) << "a value consulted per request changes at once";
    int32_t stored = 0;
    EXPECT_TRUE(config_read_number(kServerSection, "Datasize", stored));
    EXPECT_EQ(stored, 1 << 30) << "the next start reads the new value";
    g_settings.record = before;
    std::error_code ec;
    if (!registry.empty()) std::filesystem::remove_all(std::filesystem::path(registry).parent_path(), ec);
}

TEST_F(control_decoder, exports_enumerated_by_reference) {
    EXPECT_EQ(run(user, message(CTL_GET_EXPORT, 0, "")).size, 4u) << "empty list";
    EXPECT_EQ(run(user, message(CTL_GET_MOUNT, 0, "")).size, 4u) << "empty table";
    load("C:\\one\nC:\\two -name:second 10.0.0.1 10.0.0.2\n");
    reply_t first = run(user, message(CTL_GET_EXPORT, 0, ""));
    ASSERT_EQ(first.size, 8 + kControlExportImageSize);
    const uint32_t next = control_get32(first.bytes.data() + 8 + 4);
    EXPECT_EQ(run(user, message(CTL_GET_EXPORT_NAME, 0, "")).size, 4u) << "no alias";
    const reply_t folder = run(user, message(CTL_GET_EXPORT_FOLDER, 4, word(next)));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(folder.bytes.data() + 8)), "C:\\two");
    EXPECT_EQ(folder.length, 7u);
    EXPECT_EQ(run(user, message(CTL_GET_EXPORT_NAME, 4, word(next))).length, 8u) << "\"/second\" and its NUL";
    EXPECT_EQ(run(user, message(CTL_GET_EXPORT_CLIENTS, 4, word(next))).size, 16u);
    const reply_t second = run(user, message(CTL_GET_EXPORT, 4, word(next)));
    EXPECT_EQ(control_get32(second.bytes.data() + 8 + 4), 0u) << "the last entry";
    EXPECT_EQ(run(user, message(CTL_GET_EXPORT, 4, word(next ^ 1))).size, 4u) << "an unknown reference";
    EXPECT_EQ(run(admin, message(CTL_REMOVE_EXPORT, 0, "")).status, CTL_REMOVE_EXPORT);
    EXPECT_EQ(run(admin, message(CTL_REMOVE_MOUNT, 4, word(12345))).status, CTL_REMOVE_MOUNT);
}

TEST_F(control_decoder, shell_menu_lengths_and_keys) {
    auto menu = [&](std::vector<std::string> texts, int extra_length = 0) {
        std::string d(8, '\0');
        for (int i = 0; i < 4; ++i) {
            const size_t len = texts[size_t(i)].size() + (i == 0 ? size_t(extra_length) : 0);
            d[size_t(2 * i)] = char(len & 0xFF);
            d[size_t(2 * i + 1)] = char(len >> 8);
        }
        for (const std::string& t : texts) d += t;
        return run(admin, message(CTL_SHELL_MENU, uint32_t(d.size()), d)).status;
    };
    const std::string parent("Directory\\shell\0", 16), verb("v\0", 2), text("t\0", 2);
    EXPECT_EQ(menu({parent, verb, text, ""}, 1), CTL_SHELL_MENU) << "lengths past the data";
    EXPECT_EQ(menu({"Directory\\shell", verb, text, ""}), CTL_SHELL_MENU) << "parent without its NUL";
    EXPECT_EQ(menu({std::string("Software\0", 9), verb, text, ""}), CTL_SHELL_MENU) << "other parent";
    EXPECT_EQ(menu({parent, std::string("a\\b\0", 4), text, ""}), CTL_SHELL_MENU) << "verb with a backslash";
    EXPECT_EQ(menu({parent, std::string("", 0), text, ""}), CTL_SHELL_MENU) << "no verb";
}
