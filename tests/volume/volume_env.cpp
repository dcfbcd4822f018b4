#include "tests/volume/volume_env.h"


void volume_test::SetUp() {
    root = unique_test_folder("tervalo-volume-");
    ASSERT_TRUE(wp_create_directory(root.c_str())) << "error " << file_last_error();
}

void volume_test::TearDown() {
    remove_tree(root);
    EXPECT_EQ(wp_get_file_attributes(root.c_str()), WP_INVALID_FILE_ATTRIBUTES) << "left behind: " << root;
}

void volume_test::make_file(const std::string& relative, const std::string& data) {
    file_handle h(wp_create_file(at(relative).c_str(), WP_GENERIC_WRITE, 0, WP_CREATE_NEW, WP_FILE_ATTRIBUTE_NORMAL));
    ASSERT_TRUE(h.valid()) << relative << " error " << file_last_error();
    uint32_t done = 0;
    ASSERT_TRUE(wp_write_file(h.get(), data.data(), uint32_t(data.size()), &done));
    ASSERT_EQ(done, data.size());
}

void volume_test::make_dir(const std::string& relative) {
    ASSERT_TRUE(wp_create_directory(at(relative).c_str())) << relative << " error " << file_last_error();
}

std::string volume_test::read_all(const std::string& relative) {
    file_handle h(wp_create_file(at(relative).c_str(), WP_GENERIC_READ, WP_FILE_SHARE_ALL, WP_OPEN_EXISTING, 0));
    if (!h.valid()) return "<open error " + std::to_string(file_last_error()) + ">";
    std::string out;
    char buf[4096];
    uint32_t n = 0;
    while (wp_read_file(h.get(), buf, sizeof buf, &n) && n > 0) out.append(buf, n);
    return out;
}

std::vector<std::string> volume_test::find_names(const std::string& pattern, uint32_t* error) {
    std::vector<std::string> names;
    wp_find_data d;
    wp_find_handle h = wp_find_first(at(pattern).c_str(), WP_FIND_EX_INFO_STANDARD, &d, 0, 0);
    if (h == WP_INVALID_FIND_HANDLE) {
        if (error) *error = file_last_error();
        return names;
    }
    do names.push_back(d.name);
    while (wp_find_next(h, &d));
    if (error) *error = file_last_error();
    wp_find_close(h);
    return names;
}
