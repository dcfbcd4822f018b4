// Shared fixture of the attribute tests: a folder of their own on the
// volume, the settings put back afterwards, and reparse data builders.
#pragma once
#include "platform/file.h"
#include "quen/config/settings.h"
#include "quen/fs/attr.h"
#include "quen/fs/credential.h"
#include "quen/mount/export_entry.h"
#include "tests/support/file_tree.h"
#include "tests/support/reparse_bytes.h"

#include <gtest/gtest.h>

#include <string>

fs_credential user_credential(int32_t uid, int32_t gid);

struct attrs_test : ::testing::Test {
    std::string root;        // "Z:\tmp\tervalo-attrs-..." without a trailing backslash
    server_config saved_settings{};
    export_entry entry;      // umask 022 unless a test changes it
    mount_context ctx{};     // probed on the folder's volume, entry attached

    void SetUp() override;
    void TearDown() override;

    std::string at(const std::string& relative) const { return root + "\\" + relative; }
    void make_file(const std::string& relative, const std::string& data = "", uint32_t attributes = 0);
    void make_dir(const std::string& relative, uint32_t attributes = 0);
    void set_creation_time(const std::string& relative, uint64_t filetime);
    // get_attributes as user 1000/1000 (or cred); fails the test on a non-zero status.
    file_attributes attr_of(const std::string& relative);
    file_attributes attr_of(const std::string& relative, const fs_credential& cred);
};

// Reparse data as FSCTL_SET_REPARSE_POINT takes it.
std::string link_reparse_data(uint32_t tag, const std::string& substitute, const std::string& print, bool relative);
std::string nfs_reparse_link(const std::string& target);
std::string nfs_reparse_device(uint64_t type, uint32_t major, uint32_t minor);
bool set_reparse(const std::string& path, const std::string& data);
