// The file "mounttab": its lines, the rewrite and the reload at start.
#include "quen/inode/inode_tree.h"
#include "quen/mount/mount_file.h"
#include "tests/mount/mount_test_env.h"

#include "platform/file.h"

#include <cstring>
#include <set>

namespace {

mounttab_line parse(const std::string& text, bool* ok) {
    mounttab_line line;
    *ok = mounttab_parse_line(text.data(), text.size(), &line);
    return line;
}

}  // namespace

TEST(mounttab_line_parse, four_numbers_then_the_folder) {
    bool ok = false;
    const mounttab_line l = parse("c0000207 11 2 1a2b3c4d C:\\data\\pub", &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(l.client, ip("192.0.2.7")) << "a.b.c.d is stored with a in the top byte";
    EXPECT_EQ(l.origin, 0x11u);
    EXPECT_EQ(l.encoding, 2u);
    EXPECT_EQ(l.mount_id, 0x1a2b3c4du);
    EXPECT_EQ(l.folder, "C:\\data\\pub");
    EXPECT_EQ(l.mounted_path, "C:\\data\\pub");
}

TEST(mounttab_line_parse, own_path_before_the_bar) {
    bool ok = false;
    const mounttab_line l = parse("7f000001 106 1 FFFFFFFF C:\\data\\pub\\sub|C:\\data\\pub\r", &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(l.client, ip("127.0.0.1"));
    EXPECT_EQ(l.origin, 0x106u);
    EXPECT_EQ(l.mount_id, 0xFFFFFFFFu);
    EXPECT_EQ(l.mounted_path, "C:\\data\\pub\\sub");
    EXPECT_EQ(l.folder, "C:\\data\\pub") << "a carriage return before the line end goes";
}

TEST(mounttab_line_parse, damaged_lines_are_refused) {
    const std::string too_long = "1 2 3 4 " + std::string(kMountPathMax + 1, 'p');
    const std::string with_nul = std::string("1 2 3 4 C:\\a") + '\0' + "b";
    for (const std::string& bad :
         {std::string(""), std::string("1 2 3 C:\\a"), std::string("1 2 3 4 "), std::string("1 2 3 4"),
          std::string("1  2 3 4 C:\\a"), std::string("g 2 3 4 C:\\a"), std::string("123456789 2 3 4 C:\\a"),
          std::string("-1 2 3 4 C:\\a"), std::string("1 2 3 4 |C:\\a"), std::string("1 2 3 4 C:\\a|"),
          std::string(" 1 2 3 4 C:\\a"), std::string("1\t2 3 4 C:\\a"), too_long, with_nul}) {
        bool ok = true;
        parse(bad, &ok);
        EXPECT_FALSE(ok) << "[" << bad.substr(0, 40) << "]";
    }
    bool ok = false;
    parse("1 2 3 4 " + std::string(kMountPathMax, 'p'), &ok);
    EXPECT_TRUE(ok) << "the longest path still fits";
}

TEST(mounttab_line_parse, the_longest_paths_the_table_holds_are_read_back) {
    export_entry exp;
    exp.folder = "C:\\" + std::string(kMountPathMax - 3, 'f');
    mount_entry_copy e{};
    e.exp = &exp;
    e.path = exp.folder.substr(0, 1000) + "\\" + std::string(kMountPathMax - 1001, 'p');
    const std::string line = mounttab_format_line(e);
    bool ok = false;
    const mounttab_line back = parse(line.substr(0, line.size() - 1), &ok);
    ASSERT_TRUE(ok) << "a line of " << line.size() << " bytes";
    EXPECT_EQ(back.mounted_path, e.path);
    EXPECT_EQ(back.folder, exp.folder);
}

TEST(mounttab_line_parse, format_and_parse_agree) {
    export_entry exp;
    exp.folder = "D:\\exports\\x";
    mount_entry_copy e{};
    e.fixed.client_address = ip("10.1.2.3");
    e.fixed.origin = 0x206;
    e.fixed.name_encoding = 1;
    e.fixed.mount_id = 0x80000001;
    e.exp = &exp;
    e.path = "D:\\exports\\x\\deep";
    const std::string line = mounttab_format_line(e);
    EXPECT_EQ(line, "a010203 206 1 80000001 D:\\exports\\x\\deep|D:\\exports\\x\n");
    bool ok = false;
    const mounttab_line back = parse(line.substr(0, line.size() - 1), &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(back.client, e.fixed.client_address);
    EXPECT_EQ(back.origin, 0x206u);
    EXPECT_EQ(back.encoding, 1u);
    EXPECT_EQ(back.mount_id, 0x80000001u);
    EXPECT_EQ(back.mounted_path, e.path);
    EXPECT_EQ(back.folder, exp.folder);
    e.path.clear();
    EXPECT_EQ(mounttab_format_line(e), "a010203 206 1 80000001 D:\\exports\\x\n");
}

// ---- the file -------------------------------------------------------------------------------

struct mounttab_test : mount_test {
    export_entry* exp = nullptr;
    std::string file;
    void SetUp() override {
        mount_test::SetUp();
        if (HasFatalFailure()) return;
        make_dir("share");
        make_dir("share\\sub");
        make_dir("other");
        load_exports("@\\share -ci -alldirs\n@\\other -ci 192.0.2.1\n");
        exp = export_at(0);
        ASSERT_NE(exp, nullptr);
        file = mounttab_path();
        ASSERT_EQ(file, at("mounttab"));
    }
    // Drops the table as a stop does and reads the file back as a start does.
    mounttab_load_report restart() {
        mount_table_clear();
        mounttab_forget();
        return mounttab_load(file.c_str());
    }
};

TEST_F(mounttab_test, written_in_list_order_and_reloaded_with_the_same_identifiers) {
    const uint32_t a = mount_folder(ip("192.0.2.1"), at("share"), exp, 17);
    const uint32_t b = mount_folder(ip("192.0.2.2"), at("share\\sub"), exp, 6 | MOUNT_ORIGIN_WEBNFS);
    const uint32_t c = mount_folder(ip("192.0.2.1"), at("other"), export_at(1), 6);
    ASSERT_EQ(mounttab_save(file.c_str()), MOUNTTAB_WRITTEN);
    const std::string text = read_file("mounttab");
    char expected[4096];
    std::snprintf(expected, sizeof expected, "c0000201 6 2 %x %s\nc0000202 106 2 %x %s|%s\nc0000201 11 2 %x %s\n",
                  c, at("other").c_str(), b, at("share\\sub").c_str(), at("share").c_str(), a, at("share").c_str());
    EXPECT_EQ(text, expected);

    const uint32_t root = inode_of_path(at("share\\sub").c_str());
    const mounttab_load_report r = restart();
    EXPECT_TRUE(r.opened);
    EXPECT_EQ(r.restored, 3u);
    EXPECT_EQ(r.damaged, 0u);
    EXPECT_EQ(mounttab_text(), text) << "same entries in the same order";
    mount_context ctx{};
    char path[kHandlePathSize];
    EXPECT_EQ(handle_resolve(handle_make(root, 0, b), &ctx, path), root) << "an old handle resolves again";
    EXPECT_EQ(std::string(path), at("share\\sub"));
    EXPECT_EQ(ctx.origin, 6u | MOUNT_ORIGIN_WEBNFS);
    EXPECT_EQ(exp->fixed.mount_count, 2u);
    EXPECT_EQ(mounttab_save(file.c_str()), MOUNTTAB_UNCHANGED) << "nothing changed since the reload";
}

TEST_F(mounttab_test, rewritten_only_when_the_table_changed) {
    mount_folder(ip("192.0.2.1"), at("share"), exp);
    ASSERT_EQ(mounttab_save(file.c_str()), MOUNTTAB_WRITTEN);
    // Repeated mounts of the same folder change nothing that the file holds.
    for (int i = 0; i < 5; ++i) {
        mount_folder(ip("192.0.2.1"), at("share"), exp);
        EXPECT_EQ(mounttab_save(file.c_str()), MOUNTTAB_UNCHANGED);
    }
    mount_folder(ip("192.0.2.1"), at("share"), exp, 6);
    EXPECT_EQ(mounttab_save(file.c_str()), MOUNTTAB_WRITTEN) << "the origin is in the file";
    ASSERT_EQ(mount_remove_client(ip("192.0.2.1")), 1u);
    EXPECT_EQ(mounttab_save(file.c_str()), MOUNTTAB_WRITTEN);
    EXPECT_EQ(read_file("mounttab"), "");
    EXPECT_TRUE(exists("mounttab")) << "an empty table leaves an empty file";
}

TEST_F(mounttab_test, the_rewrite_replaces_the_file_through_a_temporary) {
    make_file("mounttab", "stale text that is replaced whole\n");
    mount_folder(ip("192.0.2.1"), at("share"), exp);
    ASSERT_EQ(mounttab_save(file.c_str()), MOUNTTAB_WRITTEN);
    EXPECT_EQ(read_file("mounttab").rfind("c0000201 11 2 ", 0), 0u);
    EXPECT_FALSE(exists("mounttab.tmp")) << "the temporary was renamed";
}

TEST_F(mounttab_test, a_failed_rewrite_leaves_the_old_file_whole) {
    mount_folder(ip("192.0.2.1"), at("share"), exp);
    ASSERT_EQ(mounttab_save(file.c_str()), MOUNTTAB_WRITTEN);
    const std::string before = read_file("mounttab");
    // A folder where the temporary file would go: it cannot be created.
    make_dir("mounttab.tmp");
    mount_folder(ip("192.0.2.2"), at("share"), exp);
    EXPECT_EQ(mounttab_save(file.c_str()), MOUNTTAB_FAILED);
    EXPECT_EQ(read_file("mounttab"), before);
    ASSERT_TRUE(wp_remove_directory(at("mounttab.tmp").c_str()));
    EXPECT_EQ(mounttab_save(file.c_str()), MOUNTTAB_WRITTEN) << "the change is still pending";
    EXPECT_NE(read_file("mounttab"), before);
}

TEST_F(mounttab_test, damaged_lines_are_skipped_and_the_rest_restored) {
    const uint32_t a = mount_folder(ip("192.0.2.1"), at("share"), exp);
    const uint32_t b = mount_folder(ip("192.0.2.2"), at("share\\sub"), exp);
    ASSERT_EQ(mounttab_save(file.c_str()), MOUNTTAB_WRITTEN);
    const std::string good = read_file("mounttab");
    const size_t split = good.find('\n') + 1;
    std::string damaged = "zz not numbers\n" + good.substr(0, split) + "1 2 3\n" + std::string(3000, 'q') + "\n" +
                          "\n" + std::string("1 2 3 4 \x01\x02") + "\n" + good.substr(split) + "c0000201 11";
    mount_table_clear();
    make_file("mounttab", damaged);
    mounttab_forget();
    const mounttab_load_report r = mounttab_load(file.c_str());
    EXPECT_EQ(r.restored, 2u);
    EXPECT_EQ(r.damaged, 4u);
    EXPECT_EQ(r.dropped, 1u) << "the line of control bytes parses but names no export";
    std::set<uint32_t> ids;
    for (const auto& e : mount_table_snapshot()) ids.insert(e.fixed.mount_id);
    EXPECT_EQ(ids, (std::set<uint32_t>{a, b}));
    EXPECT_EQ(mounttab_save(file.c_str()), MOUNTTAB_WRITTEN) << "the damaged lines go at the next rewrite";
    EXPECT_EQ(read_file("mounttab"), good);
}

TEST_F(mounttab_test, lines_no_export_admits_are_dropped) {
    make_file("mounttab", "c0000209 11 2 1234 " + at("other") + "\n" + "c0000201 11 2 5678 " + at("other") + "\n" +
                              "c0000201 11 2 9abc " + at("missing") + "\n" + "c0000201 11 2 def0 " +
                              at("share\\gone") + "|" + at("share") + "\n");
    const mounttab_load_report r = mounttab_load(file.c_str());
    EXPECT_EQ(r.restored, 1u);
    EXPECT_EQ(r.dropped, 3u) << "a client the export does not admit, no export, a folder that is gone";
    const auto entries = mount_table_snapshot();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].fixed.mount_id, 0x5678u);
    EXPECT_EQ(entries[0].fixed.client_address, ip("192.0.2.1"));
}

TEST_F(mounttab_test, a_missing_file_is_no_error) {
    const mounttab_load_report r = mounttab_load(file.c_str());
    EXPECT_FALSE(r.opened);
    EXPECT_EQ(r.restored, 0u);
    EXPECT_EQ(mount_table_size(), 0u);
    EXPECT_EQ(mounttab_save(file.c_str()), MOUNTTAB_WRITTEN) << "nothing was read, so the first save writes";
}

TEST_F(mounttab_test, a_restart_without_the_file_makes_old_handles_stale) {
    const uint32_t a = mount_folder(ip("192.0.2.1"), at("share"), exp);
    const uint32_t root = inode_of_path(at("share").c_str());
    ASSERT_EQ(mounttab_save(file.c_str()), MOUNTTAB_WRITTEN);
    mount_table_clear();   // a start with InodeReset does not read the file
    mount_context ctx{};
    char path[kHandlePathSize];
    EXPECT_EQ(handle_resolve(handle_make(root, 0, a), &ctx, path), 0u);
}

TEST_F(mounttab_test, restored_mounts_are_checked_against_the_exports_as_they_are_now) {
    mount_folder(ip("192.0.2.1"), at("share"), exp);
    mount_folder(ip("192.0.2.1"), at("share\\sub"), exp);
    ASSERT_EQ(mounttab_save(file.c_str()), MOUNTTAB_WRITTEN);
    load_exports("@\\share -ci\n@\\other -ci 192.0.2.1\n");   // -alldirs is gone
    const mounttab_load_report r = restart();
    EXPECT_EQ(r.restored, 1u);
    EXPECT_EQ(r.dropped, 1u) << "a fresh MNT of the subfolder would be refused";
    const auto entries = mount_table_snapshot();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_TRUE(entries[0].path.empty()) << "the export's own folder stays";
}

TEST_F(mounttab_test, a_file_past_the_read_limit_still_gives_its_first_lines) {
    const std::string line = "c0000201 11 2 1234 " + at("share") + "\n";
    std::string text;
    while (text.size() <= kMounttabMaxBytes) text += line;
    make_file("mounttab", text);
    static size_t seen;
    seen = 0;
    const mounttab_load_report r = mounttab_load(file.c_str(), [](const mounttab_line&) { return ++seen > 0; });
    EXPECT_EQ(r.restored, kMounttabMaxBytes / line.size());
    EXPECT_EQ(r.damaged, 0u) << "a line cut by the limit is left out, not counted as damaged";
}
