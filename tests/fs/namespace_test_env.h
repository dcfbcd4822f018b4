// Surroundings of the namespace tests: exports of the kinds a change of a
// directory's entries cares about, mounted, with calls by relative path.
#pragma once
#include "tests/support/fs_calls.h"
#include "quen/fs/create.h"
#include "quen/fs/remove.h"
#include "quen/fs/rename.h"
#include "quen/inode/inode_tree.h"
#include "tests/mount/mount_test_env.h"

#include <string>

inline xdr_sattr with_mode(uint32_t m) {
    xdr_sattr s{};
    s.set_mode = true;
    s.mode = m;
    return s;
}

struct namespace_test : mount_test {
    // Mounts of "plain" (-ci), "saved" (-ci -sa), "other" (-ci, a second export).
    uint32_t plain = 0, saved = 0, other = 0;
    fs_credential me = user(1000, 1000);

    void SetUp() override;

    internal_handle handle_of(const std::string& relative, uint32_t mount) {
        return handle_make(inode_of_path(at(relative).c_str()), 0, mount);
    }
    // The mount a relative path's first component was exported as.
    uint32_t mount_of(const std::string& relative) {
        const std::string top = relative.substr(0, relative.find('\\'));
        return top == "saved" ? saved : top == "other" ? other : plain;
    }
    internal_handle dir_handle(const std::string& relative) { return handle_of(relative, mount_of(relative)); }

    uint32_t remove(const std::string& dir, const std::string& name, const fs_credential& cred) {
        dir_attributes_pair p;
        return fs_remove(dir_handle(dir), name.data(), name.size(), cred, true, p);
    }
    uint32_t rmdir(const std::string& dir, const std::string& name, const fs_credential& cred) {
        dir_attributes_pair p;
        return fs_rmdir(dir_handle(dir), name.data(), name.size(), cred, true, p);
    }
    uint32_t rename(const std::string& from_dir, const std::string& from, const std::string& to_dir,
                    const std::string& to, const fs_credential& cred) {
        rename_result r;
        return fs_rename(dir_handle(from_dir), from.data(), from.size(), dir_handle(to_dir), to.data(), to.size(),
                         cred, true, r);
    }
    uint32_t create(const std::string& dir, const std::string& name, const xdr_sattr& s, const fs_credential& cred,
                    uint32_t how = CREATE_GUARDED) {
        create_result r;
        return fs_create(dir_handle(dir), name.data(), name.size(), how, s, nullptr, cred, false, r);
    }
    uint32_t mkdir(const std::string& dir, const std::string& name, const xdr_sattr& s, const fs_credential& cred) {
        create_result r;
        return fs_mkdir(dir_handle(dir), name.data(), name.size(), s, cred, false, r);
    }
    // The record the inode table holds for the name in the directory (0: none).
    uint32_t record_of(const std::string& dir, const std::string& name) {
        return inode_lookup(inode_of_path(at(dir).c_str()), name.data(), name.size());
    }
    uint32_t windows_attributes(const std::string& relative) {
        return wp_get_file_attributes(at(relative).c_str()) &
               (WP_FILE_ATTRIBUTE_READONLY | WP_FILE_ATTRIBUTE_HIDDEN | WP_FILE_ATTRIBUTE_SYSTEM);
    }
};
