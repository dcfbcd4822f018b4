// Surroundings of the mount tests: a private data folder with an inode table
// file, export entries loaded from text naming folders inside it, and an
// empty mount table.
#pragma once
#include "quen/fs/credential.h"
#include "quen/fs/resolve.h"
#include "quen/inode/handle.h"
#include "quen/mount/exports.h"
#include "quen/mount/mount_table.h"

#include "tests/support/ipv4_text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>


struct mount_test : ::testing::Test {
    std::string dir;   // Windows form with a trailing backslash

    void SetUp() override;
    void TearDown() override;

    std::string at(const std::string& relative) const { return dir + relative; }
    void make_dir(const std::string& relative);
    void make_file(const std::string& relative, const std::string& data);
    std::string read_file(const std::string& relative);
    // A symbolic link at relative to the absolute Windows path target (a
    // directory link when directory), or a junction to the folder target.
    void make_link(const std::string& relative, const std::string& target, bool directory, bool junction = false);
    bool exists(const std::string& relative);
    // Loads an exports text; every "@" in it stands for dir without its backslash.
    void load_exports(const std::string& text);
    export_entry* export_at(size_t index);
    // A mount of the folder (Windows form) through the entry, as MNT records it.
    uint32_t mount_folder(uint32_t client, const std::string& path, export_entry* exp, uint32_t origin = 17);
    uint32_t saved_lowercase = 0;
    uint32_t saved_fh_size = 0;
};

// A caller with no supplementary groups.
inline fs_credential user(int32_t uid, int32_t gid) {
    fs_credential c{};
    c.uid = uid;
    c.gid = gid;
    return c;
}
