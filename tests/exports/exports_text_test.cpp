// Option words in their order, and exports-file lines.
#include "tests/exports/exports_env.h"

#include "quen/mount/export_text.h"

namespace {

export_entry entry_with(uint32_t flags, uint32_t entry_options = 0) {
    export_entry e;
    e.fixed = export_image_defaults();
    e.folder = "C:\\data";
    e.fixed.mount_flags = flags;
    e.fixed.entry_options = entry_options;
    return e;
}

std::vector<std::string> words(const export_entry& e) {
    std::vector<std::string> out;
    uint32_t flags = e.fixed.mount_flags, options = e.fixed.entry_options;
    char text[2048];
    while (flags || options) {
        const size_t n = export_option_next(&flags, &options, e, text, sizeof text);
        if (n == 0) break;
        EXPECT_EQ(n, std::string(text).size());
        out.push_back(text);
    }
    return out;
}

TEST(ExportOptionText, CanonicalOrderOfEveryWord) {
    export_entry e = entry_with(0xFFFFFFFFu, 0xF);
    e.fixed.umask = 002;
    e.fixed.sub_first = 58;
    e.fixed.sub_second = 63;
    e.fixed.maproot_uid = 65534;
    e.fixed.maproot_gid = 7;
    e.fixed.mapall_uid = 1000;
    e.fixed.mapall_gid = 100;
    e.fixed.uid_uid = 33;
    e.fixed.uid_gid = 44;
    EXPECT_EQ(words(e), (std::vector<std::string>{"-readonly", "-lowercase", "-dc", "-exec", "-nosdc", "-rp", "-nd",
                                                  "-ci", "-i32", "-at", "-umask:002", "-sub:58,63",
                                                  "-maproot:65534:7", "-mapall:1000:100", "-uid:33:44", "-alldirs",
                                                  "-hide", "-public", "-range"}));
}

TEST(ExportOptionText, SingleForms) {
    EXPECT_EQ(words(entry_with(MOUNT_FLAG_SA)), std::vector<std::string>{"-sa"});
    EXPECT_EQ(words(entry_with(MOUNT_FLAG_CS)), std::vector<std::string>{"-cs"});
    EXPECT_EQ(words(entry_with(MOUNT_FLAG_AT)), std::vector<std::string>{"-at"});
    export_entry e = entry_with(MOUNT_FLAG_UMASK);
    EXPECT_EQ(words(e), std::vector<std::string>{"-umask:022"});
    e = entry_with(MOUNT_FLAG_SUB);
    e.fixed.sub_first = 95;
    EXPECT_EQ(words(e), std::vector<std::string>{"-sub:95"});
    e = entry_with(MOUNT_FLAG_MAPALL);
    e.fixed.mapall_uid = 1000;
    e.fixed.mapall_gid = 100;  // without the group bit the group is not written
    EXPECT_EQ(words(e), std::vector<std::string>{"-mapall:1000"});
    e = entry_with(MOUNT_FLAG_MAPALL | MOUNT_FLAG_MAPALL_GROUP);
    e.fixed.mapall_uid = 1000;
    e.fixed.mapall_gid = 100;
    EXPECT_EQ(words(e), std::vector<std::string>{"-mapall:1000:100"});
    e = entry_with(MOUNT_FLAG_MAPROOT);
    EXPECT_EQ(words(e), std::vector<std::string>{"-maproot:0"});
    e = entry_with(MOUNT_FLAG_UID);
    e.fixed.uid_uid = 12;
    EXPECT_EQ(words(e), std::vector<std::string>{"-uid:12"});
}

TEST(ExportOptionText, VolumeBitsEndTheSequence) {
    const export_entry e = entry_with(MOUNT_FLAG_NTFS | MOUNT_FLAG_FILE_ID | MOUNT_FLAG_READONLY);
    uint32_t flags = e.fixed.mount_flags, options = 0;
    char text[64];
    EXPECT_EQ(export_option_next(&flags, &options, e, text, sizeof text), 9u);
    EXPECT_STREQ(text, "-readonly");
    EXPECT_EQ(flags, MOUNT_FLAG_NTFS | MOUNT_FLAG_FILE_ID);
    EXPECT_EQ(export_option_next(&flags, &options, e, text, sizeof text), 0u);
    EXPECT_STREQ(text, "");
}

TEST(ExportOptionText, EncodingText) {
    export_entry e = entry_with(0);
    char text[8];
    const char* expected[] = {"-a", "-w", "-u"};
    for (uint32_t enc = 0; enc < 3; ++enc) {
        e.fixed.name_encoding = enc;
        EXPECT_EQ(export_encoding_text(e, text, sizeof text), 2u);
        EXPECT_STREQ(text, expected[enc]);
    }
    e.fixed.name_encoding = EXPORT_ENCODING_AUTOMATIC;
    EXPECT_EQ(export_encoding_text(e, text, sizeof text), 0u);
    EXPECT_STREQ(text, "");
}

TEST(ExportLineText, WorkedExample) {
    export_entry e = entry_with(MOUNT_FLAG_READONLY | MOUNT_FLAG_UMASK | MOUNT_FLAG_MAPROOT | MOUNT_FLAG_NTFS);
    e.fixed.umask = 002;
    e.addresses = {ip("10.0.0.1"), ip("10.0.0.2")};
    EXPECT_EQ(export_line_text(e, false), "C:\\data          -readonly -umask:002 -maproot:0  10.0.0.1 10.0.0.2\n");
    e.fixed.export_id = 0xabc;
    EXPECT_EQ(export_line_text(e, true).substr(0, 9), "00000abc ");
}

TEST(ExportLineText, PaddingQuotesAliasAndEncoding) {
    export_entry e = entry_with(0);
    e.folder = "C:\\twenty_characters";
    ASSERT_EQ(e.folder.size(), 20u);
    EXPECT_EQ(export_line_text(e, false), "C:\\twenty_characters\n");
    e.folder = "C:\\my dir";
    e.alias = "/share";
    e.fixed.name_encoding = NAME_ENCODING_UTF8;
    EXPECT_EQ(export_line_text(e, false), "\"C:\\my dir\"      -name:share -u\n");
}

}  // namespace
