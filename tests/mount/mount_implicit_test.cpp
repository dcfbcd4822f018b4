// Mounts made without MNT: the WebNFS public handle and automatic mounts.
#include "quen/config/settings.h"
#include "quen/fs/nfs_status.h"
#include "quen/inode/inode_tree.h"
#include "quen/fs/mount_webnfs.h"
#include "quen/mount/mount_implicit.h"
#include "quen/mount/mount_text.h"
#include "tests/mount/mount_test_env.h"

#include <string>

namespace {

const uint32_t kClient = ip("192.0.2.7");

struct implicit_test : mount_test {
    server_config saved{};

    void SetUp() override {
        mount_test::SetUp();
        if (HasFatalFailure()) return;
        saved = g_settings.record;
        g_settings.record.webnfs = 1;
        make_dir("pub");
        make_dir("pub\\docs");
        make_dir("pub\\docs\\deep");
        make_file("pub\\note.txt", "x");
        make_dir("plain");
        make_dir("plain\\in");
    }
    void TearDown() override {
        g_settings.record = saved;
        mount_test::TearDown();
    }

    // The LOOKUP of name on the public handle.
    struct outcome {
        uint32_t status;
        internal_handle dir;
        std::string name;
    };
    outcome webnfs(const std::string& name, uint32_t client = kClient, uint32_t stamp = 0) {
        outcome o{};
        std::string buffer = name + std::string(2, '\0');
        size_t length = name.size();
        o.status = mount_webnfs(&o.dir, buffer.data(), &length, buffer.size(), client, 17, stamp);
        o.name.assign(buffer.data(), length);
        return o;
    }

    // The folder a handle names, through its mount.
    std::string folder_of(const internal_handle& h, mount_context* ctx_out = nullptr) {
        mount_context ctx{};
        char mounted[kHandlePathSize];
        const uint64_t inode = handle_resolve(h, &ctx, mounted);
        if (inode == 0) return "<stale>";
        if (ctx_out) *ctx_out = ctx;
        char path[kInodePathSize];
        if (inode_path(uint32_t(inode), path) == 0) return "<no path>";
        return path;
    }

    std::string shown(const std::string& relative) { return client_path_form(at(relative)); }
};

TEST_F(implicit_test, webnfs_off_leaves_the_lookup_to_fail_as_stale) {
    load_exports("@\\pub -public\n");
    g_settings.record.webnfs = 0;
    const outcome o = webnfs("docs");
    EXPECT_EQ(o.status, uint32_t(NFSERR_STALE));
    EXPECT_EQ(o.name, "docs");
    EXPECT_EQ(mount_table_size(), 0u);
}

TEST_F(implicit_test, names_relative_to_the_public_export) {
    load_exports("@\\plain\n@\\pub -public\n");
    for (const auto& [name, folder] : {std::pair<std::string, std::string>{"", "pub"},
                                       {"docs", "pub\\docs"},
                                       {"docs/./deep", "pub\\docs\\deep"},
                                       {"docs//deep/", "pub\\docs\\deep"}}) {
        const outcome o = webnfs(name);
        ASSERT_EQ(o.status, uint32_t(NFS_OK)) << name;
        EXPECT_EQ(o.name, ".");
        mount_context ctx{};
        EXPECT_EQ(folder_of(o.dir, &ctx), at(folder)) << name;
        EXPECT_EQ(ctx.origin, 17u | MOUNT_ORIGIN_WEBNFS);
        EXPECT_EQ(ctx.entry, export_at(1));
    }
    // Mounting the same folder again reuses its entry.
    EXPECT_EQ(mount_table_size(), 3u);
    EXPECT_EQ(webnfs("docs").dir.word[HANDLE_WORD_MOUNT], webnfs("docs").dir.word[HANDLE_WORD_MOUNT]);
    EXPECT_EQ(mount_table_size(), 3u);
}

TEST_F(implicit_test, absolute_names_must_start_with_the_public_export) {
    load_exports("@\\pub -public\n");
    EXPECT_EQ(folder_of(webnfs(shown("pub\\docs")).dir), at("pub\\docs"));
    EXPECT_EQ(folder_of(webnfs(shown("pub")).dir), at("pub"));
    EXPECT_EQ(webnfs(shown("plain")).status, uint32_t(NFSERR_ACCES));
    EXPECT_EQ(webnfs(shown("pub") + "docs").status, uint32_t(NFSERR_ACCES)) << "a longer name is another folder";
    mount_table_clear();   // mounts refer to their exports
    exports_free_all();
    load_exports("@\\pub -public -name:web\n");
    EXPECT_EQ(folder_of(webnfs("/web/docs").dir), at("pub\\docs"));
    EXPECT_EQ(webnfs("/webdocs").status, uint32_t(NFSERR_ACCES));
}

TEST_F(implicit_test, native_paths_need_a_drive_or_a_unc_start) {
    load_exports("@\\pub -public\n");
    const outcome o = webnfs("\x80" + at("pub\\docs"));
    ASSERT_EQ(o.status, uint32_t(NFS_OK));
    EXPECT_EQ(folder_of(o.dir), at("pub\\docs"));
    EXPECT_EQ(webnfs("\x80" "docs").status, uint32_t(NFSERR_ACCES));
    EXPECT_EQ(webnfs("\x80" "/z/docs").status, uint32_t(NFSERR_ACCES));
    EXPECT_EQ(webnfs("\x80" + at("plain")).status, uint32_t(NFSERR_ACCES)) << "outside the public export";
}

TEST_F(implicit_test, a_client_stamped_for_its_code_page_names_folders_in_it) {
    load_exports("@\\pub -public\n");
    make_dir("pub\\d\xc3\xa9j\xc3\xa0");
    g_settings.record.code_page = 1252;
    g_settings.record.win10tag = 0x5A5A5A5Au;
    const outcome o = webnfs("d\xe9j\xe0", kClient, 0x5A5A5A5Au);
    ASSERT_EQ(o.status, uint32_t(NFS_OK));
    mount_context ctx{};
    EXPECT_EQ(folder_of(o.dir, &ctx), at("pub\\d\xc3\xa9j\xc3\xa0"));
    EXPECT_EQ(ctx.name_encoding, uint32_t(NAME_ENCODING_CODE_PAGE));
    // The same bytes from a UTF-8 client are no valid name there.
    EXPECT_NE(webnfs("d\xe9j\xe0").status, uint32_t(NFS_OK));
}

TEST_F(implicit_test, no_name_leaves_the_public_export) {
    load_exports("@\\pub -public\n");
    const std::string names[] = {"..", "docs/../..", "docs/..", "../plain", std::string("do\0cs", 5)};
    for (const std::string& name : names)
        EXPECT_EQ(webnfs(name).status, uint32_t(NFSERR_ACCES)) << name;
    // A backslash is a byte of the name (escaped), not a separator.
    EXPECT_EQ(webnfs("docs\\..\\..").status, uint32_t(NFSERR_NOENT));
    EXPECT_EQ(mount_table_size(), 0u);
}

TEST_F(implicit_test, a_missing_folder_or_a_file_is_not_found_and_a_long_path_too_long) {
    load_exports("@\\pub -public\n");
    EXPECT_EQ(webnfs("nothing").status, uint32_t(NFSERR_NOENT));
    EXPECT_EQ(webnfs("note.txt").status, uint32_t(NFSERR_NOENT));
    std::string longer;
    while (longer.size() < 2100) longer += "abcdefghij/";
    EXPECT_EQ(webnfs(longer).status, uint32_t(NFSERR_NAMETOOLONG));
    EXPECT_EQ(mount_table_size(), 0u);
}

TEST_F(implicit_test, without_a_public_export_only_absolute_exported_paths_mount) {
    load_exports("@\\plain -alldirs\n@\\pub -public 192.0.2.99\n");
    EXPECT_EQ(webnfs("in").status, uint32_t(NFSERR_ACCES)) << "the public export does not admit this client";
    const outcome o = webnfs(shown("plain\\in"));
    ASSERT_EQ(o.status, uint32_t(NFS_OK));
    EXPECT_EQ(folder_of(o.dir), at("plain\\in"));
    EXPECT_EQ(webnfs(shown("pub")).status, uint32_t(NFSERR_ACCES));
    // The client the public export lists gets it.
    EXPECT_EQ(folder_of(webnfs("docs", ip("192.0.2.99")).dir), at("pub\\docs"));
}

// ---- automatic mounts --------------------------------------------------------------

struct auto_mount_test : implicit_test {
    mount_context browsing{};
    char browsing_path[kHandlePathSize];

    // A client browses "plain"; "pub" is exported with alldirs.
    void SetUp() override {
        implicit_test::SetUp();
        if (HasFatalFailure()) return;
        load_exports("@\\plain\n@\\pub -alldirs\n");
        browse(export_at(0));
    }
    void browse(export_entry* exp) {
        const uint32_t id = mount_folder(kClient, exp->folder, exp, 6);
        ASSERT_NE(id, 0u);
        const uint32_t root = inode_of_path(exp->folder.c_str());
        ASSERT_NE(handle_resolve(handle_make(root, 0, id), &browsing, browsing_path), 0u);
    }
    struct result {
        bool ok;
        uint64_t identity;
        uint32_t mount_id;
    };
    result automount(const std::string& relative) {
        result r{};
        r.ok = mount_auto(kClient, at(relative).c_str(), browsing, &r.identity, &r.mount_id);
        return r;
    }
    const export_entry* export_of(const result& r) {
        mount_context ctx{};
        char mounted[kHandlePathSize];
        if (handle_resolve(handle_make(uint32_t(r.identity), 0, r.mount_id), &ctx, mounted) == 0) return nullptr;
        EXPECT_EQ(ctx.origin, 6u | MOUNT_ORIGIN_AUTO);
        return ctx.entry;
    }
};

TEST_F(auto_mount_test, off_never_mounts) {
    g_settings.record.automount = 0;
    EXPECT_FALSE(automount("pub\\docs").ok);
}

TEST_F(auto_mount_test, mode_1_mounts_only_what_an_export_admits) {
    g_settings.record.automount = 1;
    const result r = automount("pub\\docs");
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.identity, inode_of_path(at("pub\\docs").c_str()));
    EXPECT_EQ(export_of(r), export_at(1));
    EXPECT_FALSE(automount("plain\\in").ok) << "plain has no alldirs";
}

TEST_F(auto_mount_test, mode_2_falls_back_to_the_browsed_export_and_3_always_uses_it) {
    g_settings.record.automount = 2;
    const result in = automount("plain\\in");
    ASSERT_TRUE(in.ok);
    EXPECT_EQ(export_of(in), export_at(0));
    EXPECT_EQ(export_of(automount("pub\\docs")), export_at(1));
    g_settings.record.automount = 3;
    const result deep = automount("pub\\docs\\deep");
    ASSERT_TRUE(deep.ok);
    EXPECT_EQ(export_of(deep), export_at(0));
    // Again: the same entry.
    EXPECT_EQ(automount("pub\\docs\\deep").mount_id, deep.mount_id);
    EXPECT_FALSE(automount("pub\\missing").ok);
    EXPECT_FALSE(automount("pub\\note.txt").ok);
}

}  // namespace
