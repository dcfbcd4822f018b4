#include "tests/exports/exports_env.h"

#include "platform/file.h"
#include "quen/config/registry_access.h"
#include "quen/config/settings.h"
#include "tests/config/test_env.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>

int fake_resolver(const char* name, uint32_t* out, int max) {
    if (max < 1) return 0;
    if (std::strcmp(name, "hostone") == 0) {
        out[0] = ip("192.0.2.1");
        return 1;
    }
    if (std::strcmp(name, "hosttwo") == 0) {
        out[0] = ip("192.0.2.2");
        return 1;
    }
    return 0;
}

void exports_test::SetUp() {
    saved_lowercase = g_settings.record.lowercase;
    g_settings.record.lowercase = 1;  // client forms "/c/..."
    exports_free_all();
    exports_set_resolver(fake_resolver);
}

void exports_test::TearDown() {
    exports_free_all();
    exports_set_resolver(nullptr);
    g_settings.record.lowercase = saved_lowercase;
}

std::vector<export_entry*> exports_test::active() const {
    std::vector<export_entry*> v;
    for (export_entry* e = exports_active(); e; e = e->next) v.push_back(e);
    return v;
}

void exports_file_test::SetUp() {
    exports_test::SetUp();
    use_private_registry("exports");
    std::mt19937_64 rng(uint64_t(std::chrono::steady_clock::now().time_since_epoch().count()) ^ std::random_device{}());
    dir = "Z:\\tmp\\tervalo-exports-" + std::to_string(rng() % 1000000000000ull) + "\\";
    const std::string bare = dir.substr(0, dir.size() - 1);
    ASSERT_TRUE(wp_create_directory(bare.c_str())) << "error " << file_last_error();
    std::snprintf(g_settings.data_dir, sizeof g_settings.data_dir, "%s", dir.c_str());
}

void exports_file_test::TearDown() {
    for (const char* name : {"exports", "exports.old"}) wp_delete_file((dir + name).c_str());
    const std::string bare = dir.substr(0, dir.size() - 1);
    EXPECT_TRUE(wp_remove_directory(bare.c_str())) << "left behind: " << bare;
    g_settings.data_dir[0] = '\0';
    exports_test::TearDown();
}

void exports_file_test::write(const std::string& name, const std::string& data) {
    file_handle h(wp_create_file((dir + name).c_str(), WP_GENERIC_WRITE, 0, WP_CREATE_ALWAYS, WP_FILE_ATTRIBUTE_NORMAL));
    ASSERT_TRUE(h.valid()) << name << " error " << file_last_error();
    uint32_t done = 0;
    ASSERT_TRUE(wp_write_file(h.get(), data.data(), uint32_t(data.size()), &done));
    ASSERT_EQ(done, data.size());
}

bool exports_file_test::exists(const std::string& name) {
    return wp_get_file_attributes((dir + name).c_str()) != WP_INVALID_FILE_ATTRIBUTES;
}

std::string exports_file_test::read(const std::string& name) {
    file_handle h(wp_create_file((dir + name).c_str(), WP_GENERIC_READ, WP_FILE_SHARE_READ, WP_OPEN_EXISTING,
                                 WP_FILE_ATTRIBUTE_NORMAL));
    if (!h.valid()) return "<missing>";
    std::string out;
    char buf[4096];
    uint32_t got = 0;
    while (wp_read_file(h.get(), buf, sizeof buf, &got) && got > 0) out.append(buf, got);
    return out;
}

int32_t exports_file_test::stored_error() {
    int32_t v = -1;
    config_read_number(kServerSection, "ExportsError", v);
    return v;
}

int32_t exports_file_test::stored_line() {
    int32_t v = -1;
    config_read_number(kServerSection, "ExportsLine", v);
    return v;
}
