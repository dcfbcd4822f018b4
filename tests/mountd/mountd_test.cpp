// The MOUNT dispatcher, called with real call messages; replies are read
// back from a local UDP socket.
#include "quen/config/settings.h"
#include "quen/inode/paths.h"
#include "quen/inode/inode_tree.h"
#include "quen/mount/mount_file.h"
#include "quen/mountd/mountd.h"
#include "rpc/proc_table.h"
#include "tests/mount/mount_test_env.h"
#include "platform/file.h"
#include "tests/support/file_tree.h"
#include "tests/support/reparse_bytes.h"
#include "tests/unit/unit_support.h"

#include <algorithm>
#include <cstring>

namespace {

struct reply_view {
    uint32_t accept = 0xFFFFFFFF;
    bytes results;
    size_t at = 0;
    uint32_t u32() {
        if (at + 4 > results.size()) {
            ADD_FAILURE() << "reply too short";
            return 0xFFFFFFFF;
        }
        const uint32_t v = xdr_load32(results.data() + at);
        at += 4;
        return v;
    }
    std::string str() {
        const uint32_t n = u32();
        if (n > results.size() - at) {
            ADD_FAILURE() << "string past the reply";
            return {};
        }
        std::string s(reinterpret_cast<const char*>(results.data() + at), n);
        at += xdr_pad4(n);
        return s;
    }
    bool done() const { return at == results.size(); }
};

bytes path_arg(const std::string& p) {
    wire w;
    w.opaque(p);
    return w.b;
}

}  // namespace

struct mountd_test : mount_test {
    export_entry* exp = nullptr;
    std::string share_client;   // the share's folder as clients write it
    reply_capture* cap = nullptr;

    void SetUp() override {
        mount_test::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_TRUE(net_startup());
        cap = new reply_capture();
        ASSERT_TRUE(cap->ok());
        g_settings.record.fh_size = 20;
        make_dir("share");
        make_dir("share\\sub");
        make_file("share\\file", "x");
        make_dir("hidden");
        load_exports("@\\share -ci -alldirs\n@\\hidden -ci 192.0.2.5\n");
        exp = export_at(0);
        ASSERT_NE(exp, nullptr);
        char form[2048];
        ASSERT_NE(windows_path_to_nfs_for_test(exp->folder, form), 0u);
        share_client = form;
    }
    void TearDown() override {
        delete cap;
        g_settings.record.filter_exports = 0;
        mount_test::TearDown();
    }
    static size_t windows_path_to_nfs_for_test(const std::string& w, char* out);

    reply_view call(uint32_t version, uint32_t procedure, const bytes& args = {}) {
        call_spec spec;
        spec.program = MOUNT_PROGRAM;
        spec.version = version;
        spec.procedure = procedure;
        spec.cred_flavor = AUTH_UNIX;
        spec.cred = auth_unix_body(7, "client", 0, 0, {});
        spec.args = args;
        load_message(cap->h, build_call(spec));
        rpc_call c{};
        reply_view v;
        if (!rpc_decode_call(cap->h, &c) || rpc_authenticate(&c) != AUTH_OK) {
            ADD_FAILURE() << "call did not decode";
            return v;
        }
        rpc_run_program(mountd_program(version), cap->h, &c);
        bytes reply;
        if (!cap->next(&reply)) {
            ADD_FAILURE() << "no reply";
            return v;
        }
        if (reply.size() < 24) {
            ADD_FAILURE() << "short reply";
            return v;
        }
        v.accept = xdr_load32(reply.data() + 20);
        v.results.assign(reply.begin() + 24, reply.end());
        return v;
    }
};

size_t mountd_test::windows_path_to_nfs_for_test(const std::string& w, char* out) {
    return windows_path_to_nfs(w.c_str(), out, 2048);
}

TEST_F(mountd_test, null_answers_every_version) {
    for (uint32_t v : {1u, 2u, 3u}) {
        reply_view r = call(v, MOUNTPROC_NULL);
        EXPECT_EQ(r.accept, uint32_t(ACCEPT_SUCCESS)) << v;
        EXPECT_TRUE(r.results.empty());
    }
}

TEST_F(mountd_test, unknown_procedure_is_proc_unavail) {
    EXPECT_EQ(call(3, 6).accept, uint32_t(ACCEPT_PROC_UNAVAIL));
    EXPECT_EQ(call(1, 99).accept, uint32_t(ACCEPT_PROC_UNAVAIL));
}

TEST_F(mountd_test, mnt_version3_gives_an_fhsize_handle_and_auth_unix) {
    reply_view r = call(3, MOUNTPROC_MNT, path_arg(share_client));
    ASSERT_EQ(r.accept, uint32_t(ACCEPT_SUCCESS));
    ASSERT_EQ(r.u32(), MNT_OK);
    ASSERT_EQ(r.u32(), 20u);
    const internal_handle h = handle_from_bytes(r.results.data() + r.at, 20);
    r.at += 20;
    EXPECT_EQ(r.u32(), 1u) << "one flavour";
    EXPECT_EQ(r.u32(), uint32_t(AUTH_UNIX));
    EXPECT_TRUE(r.done());
    const auto entries = mount_table_snapshot();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].fixed.origin, uint32_t(RPC_UDP));
    EXPECT_EQ(entries[0].fixed.client_address, ip("127.0.0.1"));
    const uint32_t root = inode_of_path(exp->folder.c_str());
    const internal_handle expected = handle_make(root, 0, entries[0].fixed.mount_id);
    EXPECT_EQ(std::memcmp(&h, &expected, sizeof h), 0);
    mount_context ctx{};
    char path[kHandlePathSize];
    EXPECT_EQ(handle_resolve(h, &ctx, path), root);
    EXPECT_NE(read_file("mounttab").find(exp->folder), std::string::npos) << "the mount is saved";
}

TEST_F(mountd_test, mnt_version1_and_2_give_32_bytes_with_the_same_first_20) {
    reply_view v3 = call(3, MOUNTPROC_MNT, path_arg(share_client));
    ASSERT_EQ(v3.u32(), MNT_OK);
    ASSERT_EQ(v3.u32(), 20u);
    for (uint32_t version : {1u, 2u}) {
        reply_view r = call(version, MOUNTPROC_MNT, path_arg(share_client));
        ASSERT_EQ(r.u32(), MNT_OK);
        ASSERT_EQ(r.results.size(), 4u + 32u) << "status and the fixed handle";
        EXPECT_EQ(std::memcmp(r.results.data() + 4, v3.results.data() + 8, 20), 0);
        for (size_t i = 24; i < 36; ++i) EXPECT_EQ(r.results[i], 0);
    }
    EXPECT_EQ(mount_table_size(), 1u) << "the same folder again is the same entry";
}

TEST_F(mountd_test, mnt_statuses) {
    EXPECT_EQ(call(3, MOUNTPROC_MNT, path_arg(share_client + "/sub")).u32(), MNT_OK) << "alldirs";
    EXPECT_EQ(call(3, MOUNTPROC_MNT, path_arg(share_client + "/file")).u32(), MNT_ERR_NOTDIR);
    EXPECT_EQ(call(3, MOUNTPROC_MNT, path_arg(share_client + "/missing")).u32(), MNT_ERR_NOTDIR);
    EXPECT_EQ(call(3, MOUNTPROC_MNT, path_arg("/nowhere/else")).u32(), MNT_ERR_ACCES);
    EXPECT_EQ(call(3, MOUNTPROC_MNT, path_arg("")).u32(), MNT_ERR_ACCES);
    char form[2048];
    windows_path_to_nfs_for_test(at("hidden"), form);
    EXPECT_EQ(call(3, MOUNTPROC_MNT, path_arg(form)).u32(), MNT_ERR_ACCES) << "not for 127.0.0.1";
    EXPECT_EQ(mount_table_size(), 1u);
}

TEST_F(mountd_test, undecodable_paths_are_garbage_args) {
    EXPECT_EQ(call(3, MOUNTPROC_MNT, path_arg(std::string(2048, 'a'))).accept, uint32_t(ACCEPT_GARBAGE_ARGS));
    wire w;
    w.u32(100);
    EXPECT_EQ(call(1, MOUNTPROC_MNT, w.b).accept, uint32_t(ACCEPT_GARBAGE_ARGS)) << "length past the message";
    EXPECT_EQ(call(3, MOUNTPROC_UMNT, {}).accept, uint32_t(ACCEPT_GARBAGE_ARGS));
    EXPECT_EQ(call(3, MOUNTPROC_MNT, path_arg(std::string(2047, 'a'))).u32(), MNT_ERR_ACCES);
}

TEST_F(mountd_test, dump_lists_the_mounts_and_umnt_removes_them) {
    ASSERT_EQ(call(3, MOUNTPROC_MNT, path_arg(share_client)).u32(), MNT_OK);
    reply_view mnt_sub = call(3, MOUNTPROC_MNT, path_arg(share_client + "/sub"));
    ASSERT_EQ(mnt_sub.u32(), MNT_OK);
    ASSERT_EQ(mnt_sub.u32(), 20u);
    const internal_handle sub_handle = handle_from_bytes(mnt_sub.results.data() + 8, 20);

    reply_view d = call(2, MOUNTPROC_DUMP);
    ASSERT_EQ(d.accept, uint32_t(ACCEPT_SUCCESS));
    EXPECT_EQ(d.u32(), 1u);
    EXPECT_EQ(d.str(), "127.0.0.1");
    EXPECT_EQ(d.str(), share_client + "/sub") << "newest first";
    EXPECT_EQ(d.u32(), 1u);
    EXPECT_EQ(d.str(), "127.0.0.1");
    EXPECT_EQ(d.str(), share_client);
    EXPECT_EQ(d.u32(), 0u);
    EXPECT_TRUE(d.done());

    reply_view u = call(3, MOUNTPROC_UMNT, path_arg(share_client + "/sub"));
    EXPECT_EQ(u.accept, uint32_t(ACCEPT_SUCCESS));
    EXPECT_TRUE(u.results.empty());
    mount_context ctx{};
    char path[kHandlePathSize];
    EXPECT_EQ(handle_resolve(sub_handle, &ctx, path), 0u) << "stale after UMNT";
    EXPECT_EQ(mount_table_size(), 1u);
    EXPECT_EQ(read_file("mounttab").find("\\sub"), std::string::npos) << "the file follows";

    EXPECT_EQ(call(1, MOUNTPROC_UMNTALL).accept, uint32_t(ACCEPT_SUCCESS));
    EXPECT_EQ(mount_table_size(), 0u);
    EXPECT_EQ(read_file("mounttab"), "");
    reply_view empty = call(1, MOUNTPROC_DUMP);
    EXPECT_EQ(empty.u32(), 0u);
    EXPECT_TRUE(empty.done());
}

TEST_F(mountd_test, dump_stays_within_its_budget) {
    // Long folder names: each item costs about 600 bytes.
    const std::string longname(240, 'd');
    for (int i = 0; i < 16; ++i) {
        const std::string rel = "share\\" + longname + std::to_string(i);
        make_dir(rel);
        ASSERT_EQ(call(3, MOUNTPROC_MNT, path_arg(share_client + "/" + longname + std::to_string(i))).u32(), MNT_OK);
    }
    reply_view d = call(3, MOUNTPROC_DUMP);
    size_t items = 0;
    while (d.u32() == 1) {
        d.str();
        d.str();
        ++items;
    }
    EXPECT_TRUE(d.done());
    EXPECT_LE(d.results.size(), size_t(kMountReplyBudget) + 4);
    EXPECT_GT(items, 0u);
    const size_t per_item = 4 + 4 + 12 + 4 + xdr_pad4(uint32_t(share_client.size() + 1 + longname.size() + 2));
    EXPECT_EQ(items, std::min<size_t>(16, kMountReplyBudget / per_item)) << "items until the budget is full";
}

TEST_F(mountd_test, export_lists_visible_exports_with_groups) {
    reply_view e = call(3, MOUNTPROC_EXPORT);
    ASSERT_EQ(e.accept, uint32_t(ACCEPT_SUCCESS));
    ASSERT_EQ(e.u32(), 1u);
    EXPECT_EQ(e.str(), share_client);
    std::vector<std::string> groups;
    while (e.u32() == 1) groups.push_back(e.str());
    EXPECT_NE(std::find(groups.begin(), groups.end(), "-alldirs"), groups.end());
    ASSERT_EQ(e.u32(), 1u);
    char form[2048];
    windows_path_to_nfs_for_test(at("hidden"), form);
    EXPECT_EQ(e.str(), form);
    ASSERT_EQ(e.u32(), 1u);
    EXPECT_EQ(e.str(), "192.0.2.5");
    while (e.u32() == 1) e.str();
    EXPECT_EQ(e.u32(), 0u);
    EXPECT_TRUE(e.done());
}

TEST_F(mountd_test, filter_exports_still_lists_everything_for_127_0_0_1) {
    g_settings.record.filter_exports = 1;
    reply_view e = call(3, MOUNTPROC_EXPORT);
    size_t count = 0;
    while (e.u32() == 1) {
        e.str();
        while (e.u32() == 1) e.str();
        ++count;
    }
    EXPECT_EQ(count, 2u);
}

// Every byte of a DUMP and an EXPORT reply with an alias, addresses, options
// and a fixed encoding, as clients have always received them.
TEST_F(mountd_test, dump_and_export_replies_byte_for_byte) {
    make_dir("named");
    make_dir("named\\inner");
    load_exports("@\\share -ci -alldirs -ro -umask:002 -maproot:0:0 127.0.0.1 192.0.2.6\n"
                 "@\\named -ci -alldirs -u -name:alias\n");
    ASSERT_EQ(call(3, MOUNTPROC_MNT, path_arg(share_client + "/sub")).u32(), MNT_OK);
    ASSERT_EQ(call(1, MOUNTPROC_MNT, path_arg("/alias/inner")).u32(), MNT_OK);
    wire dump;
    dump.u32(1).opaque("127.0.0.1").opaque("/alias/inner");
    dump.u32(1).opaque("127.0.0.1").opaque(share_client + "/sub").u32(0);
    EXPECT_EQ(call(2, MOUNTPROC_DUMP).results, dump.b);
    wire exported;
    exported.u32(1).opaque(share_client);
    for (const char* group : {"127.0.0.1", "192.0.2.6", "-readonly", "-ci", "-umask:002", "-maproot:0", "-alldirs"})
        exported.u32(1).opaque(std::string(group));
    exported.u32(0).u32(1).opaque("/alias");
    for (const char* group : {"-u", "-ci", "-alldirs"}) exported.u32(1).opaque(std::string(group));
    exported.u32(0).u32(0);
    EXPECT_EQ(call(3, MOUNTPROC_EXPORT).results, exported.b);
}

TEST_F(mountd_test, every_spelling_of_a_folder_is_one_mount) {
    const struct {
        const char* spelling;
        const char* canonical;
    } cases[] = {
        {"//sub", "/sub"},     {"/./sub/.", "/sub"}, {"/sub/", "/sub"},  {"/sub//", "/sub"},
        {"/././/sub", "/sub"}, {"/", ""},            {"/.", ""},         {"//.//", ""},
    };
    for (const auto& c : cases) {
        reply_view want = call(1, MOUNTPROC_MNT, path_arg(share_client + c.canonical));
        reply_view got = call(1, MOUNTPROC_MNT, path_arg(share_client + c.spelling));
        ASSERT_EQ(got.u32(), MNT_OK) << c.spelling;
        EXPECT_EQ(got.results, want.results) << c.spelling << " gives the handle of " << c.canonical;
    }
    EXPECT_EQ(mount_table_size(), 2u);
    call(1, MOUNTPROC_UMNT, path_arg(share_client + "//sub/."));
    EXPECT_EQ(mount_table_size(), 1u) << "UMNT finds the mount under any spelling too";
}

TEST_F(mountd_test, a_mount_path_never_passes_through_a_link) {
    SKIP_ON_WINE("FSCTL_SET_REPARSE_POINT gives error 50");
    make_dir("outside");
    make_dir("outside\\deeper");
    make_dir("share\\link");
    const std::string target = at("outside");
    const std::string sub = utf16le("\\??\\" + target), print = utf16le(target);
    std::string body;
    for (uint32_t v : {0u, uint32_t(sub.size()), uint32_t(sub.size() + 2), uint32_t(print.size())}) put16(body, v);
    body += sub + std::string(2, '\0') + print + std::string(2, '\0');
    std::string data;
    put32(data, WP_IO_REPARSE_TAG_MOUNT_POINT);
    put32(data, uint32_t(body.size()));
    data += body;
    {
        file_handle h(wp_create_file(at("share\\link").c_str(), WP_GENERIC_READ | WP_GENERIC_WRITE, WP_FILE_SHARE_ALL,
                                     WP_OPEN_EXISTING, WP_FILE_FLAG_BACKUP_SEMANTICS | WP_FILE_FLAG_OPEN_REPARSE_POINT));
        ASSERT_TRUE(h.valid());
        ASSERT_TRUE(wp_device_io_control(h.get(), WP_FSCTL_SET_REPARSE_POINT, data.data(), uint32_t(data.size()),
                                         nullptr, 0, nullptr));
    }
    ASSERT_NE(wp_get_file_attributes(at("share\\link\\deeper").c_str()), WP_INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(call(3, MOUNTPROC_MNT, path_arg(share_client + "/link")).u32(), MNT_ERR_ACCES);
    EXPECT_EQ(call(3, MOUNTPROC_MNT, path_arg(share_client + "/link/deeper")).u32(), MNT_ERR_ACCES);
    EXPECT_EQ(mount_table_size(), 0u);
}

TEST_F(mountd_test, a_nul_inside_a_mount_path_is_refused) {
    const std::string cut = share_client + std::string("/sub\0/../../secret", 19);
    EXPECT_EQ(call(3, MOUNTPROC_MNT, path_arg(cut)).accept, uint32_t(ACCEPT_GARBAGE_ARGS));
    EXPECT_EQ(mount_table_size(), 0u);
}
