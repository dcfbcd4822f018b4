// Case-exact lookup against a real directory of the wide-path file layer.
#include "platform/file.h"
#include "platform/path.h"
#include "platform/win_error.h"
#include "quen/fs/names.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace {

class CaseExact : public ::testing::Test {
protected:
    void SetUp() override {
        names_setup(nullptr, nullptr, 1252);
        char base[kNamePathSize];
        std::string tmp = std::filesystem::temp_directory_path().string();
        ASSERT_GT(path_from_setting(tmp.c_str(), base, sizeof base), 0u);
        dir_ = base;
        if (dir_.back() != '\\') dir_ += '\\';
        dir_ += "names_case_" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
        ASSERT_TRUE(wp_create_directory(dir_.c_str())) << dir_ << " error " << file_last_error();
    }
    void TearDown() override {
        for (const auto& f : created_) wp_delete_file((dir_ + "\\" + f).c_str());
        EXPECT_TRUE(wp_remove_directory(dir_.c_str())) << "left behind: " << dir_;
    }

    void create(const std::string& windows_name) {
        const std::string p = dir_ + "\\" + windows_name;
        wp_handle h = wp_create_file(p.c_str(), WP_GENERIC_WRITE, WP_FILE_SHARE_ALL, WP_CREATE_NEW,
                                     WP_FILE_ATTRIBUTE_NORMAL);
        ASSERT_NE(h, WP_INVALID_HANDLE) << p << " error " << file_last_error();
        wp_close_handle(h);
        created_.push_back(windows_name);
    }

    struct lookup_result {
        bool found;
        std::string component;   // the last component afterwards
        wp_find_data entry;
    };
    lookup_result lookup(const std::string& windows_name, bool with_record = true) {
        char path[kNamePathSize];
        std::string p = dir_ + "\\" + windows_name;
        std::memcpy(path, p.c_str(), p.size() + 1);
        lookup_result r{};
        r.found = case_exact_lookup(path, with_record ? &r.entry : nullptr);
        std::string after = path;
        EXPECT_EQ(after.compare(0, dir_.size() + 1, dir_ + "\\"), 0) << "the directory part changed";
        r.component = after.substr(dir_.size() + 1);
        return r;
    }

    std::set<std::string> client_listing(const mount_context& m) {
        std::set<std::string> names;
        wp_find_data d{};
        wp_find_handle h = wp_find_first((dir_ + "\\*").c_str(), WP_FIND_EX_INFO_STANDARD, &d,
                                         WP_FIND_EX_SEARCH_NAME_MATCH, 0);
        if (h == WP_INVALID_FIND_HANDLE) return names;
        do {
            if (std::strcmp(d.name, ".") && std::strcmp(d.name, "..")) {
                char out[kNameSize];
                names.insert(std::string(out, windows_name_to_nfs(m, d.name, out, sizeof out)));
            }
        } while (wp_find_next(h, &d));
        wp_find_close(h);
        return names;
    }

    std::string dir_;
    std::vector<std::string> created_;
};

TEST_F(CaseExact, MakefileAndMakefileLiveSideBySide) {
    create("Makefile");
    auto r = lookup("makefile");
    EXPECT_FALSE(r.found);
    EXPECT_EQ(r.component, "makefile'0");
    create(r.component);

    r = lookup("Makefile");
    EXPECT_TRUE(r.found);
    EXPECT_EQ(r.component, "Makefile");
    EXPECT_STREQ(r.entry.name, "Makefile");

    r = lookup("makefile");
    EXPECT_TRUE(r.found);
    EXPECT_EQ(r.component, "makefile'0");
    EXPECT_STREQ(r.entry.name, "makefile'0");

    r = lookup("MAKEFILE");
    EXPECT_FALSE(r.found);
    EXPECT_EQ(r.component, "MAKEFILE'1");

    mount_context m{};
    m.max_component_length = 255;
    m.name_encoding = NAME_ENCODING_UTF8;
    m.flags = MOUNT_FLAG_CASE_SENSITIVE;
    EXPECT_EQ(client_listing(m), (std::set<std::string>{"Makefile", "makefile"}));
}

TEST_F(CaseExact, AbsentNameWithoutOtherCases) {
    create("other");
    auto r = lookup("Name.txt");
    EXPECT_FALSE(r.found);
    EXPECT_EQ(r.component, "Name.txt");
}

// Callers drop the inode record of a name only when it is gone: the error
// says which, whether another case exists or no entry matched at all.
TEST_F(CaseExact, NotFoundSaysSoThroughTheLastError) {
    create("Makefile");
    // Names at the volume's limit leave no room for a suffix search.
    for (const std::string& name : {std::string("makefile"), std::string("Name.txt"), std::string("no\\Such"),
                                    std::string(254, 'N'), std::string(255, 'N')}) {
        file_set_last_error(0);
        EXPECT_FALSE(lookup(name).found) << name;
        const uint32_t e = file_last_error();
        EXPECT_TRUE(e == WIN_ERROR_FILE_NOT_FOUND || e == WIN_ERROR_PATH_NOT_FOUND) << name << ": " << e;
    }
    create(std::string(255, 'L'));
    EXPECT_TRUE(lookup(std::string(255, 'L')).found);
}

TEST_F(CaseExact, AllDigitsTaken) {
    create("Abc");
    for (char d = '0'; d <= '9'; ++d) create(std::string("abc'") + d);
    auto r = lookup("aBC");
    EXPECT_FALSE(r.found);
    EXPECT_EQ(r.component, "aBC':");   // a name no create accepts
    r = lookup("abc");
    EXPECT_TRUE(r.found);
    EXPECT_EQ(r.component, "abc'0");
}

TEST_F(CaseExact, NamesWithoutCase) {
    EXPECT_TRUE(lookup("123", false).found);        // nothing to decide, nothing read
    auto r = lookup("123");
    EXPECT_FALSE(r.found);                           // with a record the entry must exist
    create("123");
    r = lookup("123");
    EXPECT_TRUE(r.found);
    EXPECT_EQ(r.component, "123");
    EXPECT_EQ(r.entry.attributes & WP_FILE_ATTRIBUTE_DIRECTORY, 0u);
}

TEST_F(CaseExact, ClientNameThatLooksSuffixed) {
    // Stored with a suffix of its own, so that reading drops only that one.
    auto r = lookup("ab'1");
    EXPECT_FALSE(r.found);
    EXPECT_EQ(r.component, "ab'1'0");
    create(r.component);
    r = lookup("ab'1");
    EXPECT_TRUE(r.found);
    EXPECT_EQ(r.component, "ab'1'0");
    mount_context m{};
    m.flags = MOUNT_FLAG_CASE_SENSITIVE;
    m.name_encoding = NAME_ENCODING_UTF8;
    EXPECT_EQ(client_listing(m), (std::set<std::string>{"ab'1"}));
}

TEST_F(CaseExact, ClientNamesThroughCreateAndListing) {
    mount_context m{};
    m.max_component_length = 255;
    m.name_encoding = NAME_ENCODING_UTF8;
    m.flags = MOUNT_FLAG_CASE_SENSITIVE;
    const std::set<std::string> names{"Read*me", "read*me", "READ*ME", "x.", "X.", "con", "q'7", "Q'7"};
    for (const auto& n : names) {
        char path[kNamePathSize];
        std::memcpy(path, dir_.c_str(), dir_.size() + 1);
        size_t pos = 0;
        ASSERT_EQ(nfs_name_to_windows(m, path, n.data(), n.size(), &pos), NAME_OK) << n;
        ASSERT_FALSE(case_exact_lookup(path, nullptr)) << n;
        create(path + pos);
    }
    EXPECT_EQ(client_listing(m), names);
}

TEST_F(CaseExact, PathsItCannotWorkOn) {
    char no_separator[16] = "Makefile";
    EXPECT_FALSE(case_exact_lookup(no_separator, nullptr));
    EXPECT_STREQ(no_separator, "Makefile");
    // No room for the search pattern.
    std::vector<char> full(kNamePathSize);
    std::string p = dir_ + "\\" + std::string(kNamePathSize - 3 - dir_.size(), 'a');
    ASSERT_EQ(p.size(), kNamePathSize - 2);
    std::memcpy(full.data(), p.c_str(), p.size() + 1);
    EXPECT_FALSE(case_exact_lookup(full.data(), nullptr));
    EXPECT_EQ(std::string(full.data()), p);
}

}  // namespace
