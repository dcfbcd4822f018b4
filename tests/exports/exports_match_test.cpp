// Which clients an entry admits, and which entry a requested path finds.
#include "tests/exports/exports_env.h"

#include "quen/config/settings.h"

namespace {

using ExportsMatch = exports_test;

TEST_F(ExportsMatch, NoClientsAdmitsEveryone) {
    ASSERT_EQ(load("C:\\a\n").error, EXPORTS_OK);
    EXPECT_TRUE(export_client_allowed(*active()[0], ip("1.2.3.4")));
}

TEST_F(ExportsMatch, ClientList) {
    ASSERT_EQ(load("C:\\a 10.0.0.1 10.0.0.9\n").error, EXPORTS_OK);
    const export_entry& e = *active()[0];
    EXPECT_TRUE(export_client_allowed(e, ip("10.0.0.1")));
    EXPECT_TRUE(export_client_allowed(e, ip("10.0.0.9")));
    EXPECT_FALSE(export_client_allowed(e, ip("10.0.0.5")));
}

TEST_F(ExportsMatch, RangesComparedInHostOrder) {
    ASSERT_EQ(load("C:\\a -range 10.0.0.1 10.0.0.9 10.0.0.20\n").error, EXPORTS_OK);
    const export_entry& e = *active()[0];
    for (const char* in : {"10.0.0.1", "10.0.0.5", "10.0.0.9", "10.0.0.20"})
        EXPECT_TRUE(export_client_allowed(e, ip(in))) << in;
    for (const char* out : {"10.0.0.0", "10.0.0.10", "10.0.0.19", "10.0.0.21", "9.0.0.5", "11.0.0.5", "10.0.1.5"})
        EXPECT_FALSE(export_client_allowed(e, ip(out))) << out;
    exports_free_all();
    ASSERT_EQ(load("C:\\a -range 10.0.0.250 10.0.1.5\n").error, EXPORTS_OK);
    EXPECT_TRUE(export_client_allowed(*active()[0], ip("10.0.1.0")));  // across a byte boundary
    EXPECT_TRUE(export_client_allowed(*active()[0], ip("10.0.0.255")));
}

struct find_result {
    uint32_t status;
    export_entry* entry;
    uint32_t encoding;
    std::string path;
};

find_result find(const char* path, const char* client = "10.0.0.1", uint32_t encoding = NAME_ENCODING_UTF8) {
    find_result r{0, nullptr, encoding, ""};
    r.status = export_find(path, ip(client), &r.encoding, &r.entry, &r.path);
    return r;
}

TEST_F(ExportsMatch, FindByClientForm) {
    ASSERT_EQ(load("C:\\data\\pub\nD:\\all -alldirs\n").error, EXPORTS_OK);
    const auto v = active();
    find_result r = find("/c/data/pub");
    EXPECT_EQ(r.status, 0u);
    EXPECT_EQ(r.entry, v[0]);
    EXPECT_EQ(r.path, "C:\\data\\pub");
    EXPECT_EQ(find("/c/data/pub/").entry, v[0]);
    EXPECT_EQ(find("/c/data/pub/sub").status, 13u);  // below the folder needs alldirs
    EXPECT_EQ(find("/c/data/public").status, 13u);   // a longer name is not the folder
    EXPECT_EQ(find("/C/data/pub").status, 13u);      // byte for byte
    r = find("/d/all/x/y");
    EXPECT_EQ(r.entry, v[1]);
    EXPECT_EQ(r.path, "D:\\all\\x\\y");
    r = find("//?/d:/all/x");
    EXPECT_EQ(r.entry, v[1]);
    EXPECT_EQ(r.path, "D:\\all\\x");
    EXPECT_EQ(find("/d/allx").status, 13u);
}

TEST_F(ExportsMatch, NoPathClimbsOutOfAnAlldirsExport) {
    ASSERT_EQ(load("D:\\all -alldirs\nD:\\all\\x -name:alias -alldirs\n").error, EXPORTS_OK);
    // Windows takes each of these for "..", and would open D:\ or D:\other.
    for (const char* p : {"/d/all/..", "/d/all/../other", "/d/all/x/../..", "/d/all/.. /other", "/d/all/.../other",
                          "/d/all/..\\other", "/d/all/x\\..\\..", "/alias/../..", "/d/all/. ./x"})
        EXPECT_EQ(find(p).status, 13u) << p;
    // Names that only contain dots are still names.
    for (const char* p : {"/d/all/a..b", "/d/all/.hidden", "/d/all/./x", "/d/all/..x", "/alias/sub..", "/d/all/x/y."})
        EXPECT_EQ(find(p).status, 0u) << p;
}

TEST_F(ExportsMatch, FindSkipsEntriesThatRefuseTheClient) {
    ASSERT_EQ(load("C:\\a 10.0.0.2\nC:\\a -ro\n").error, EXPORTS_OK);
    const auto v = active();
    EXPECT_EQ(find("/c/a", "10.0.0.2").entry, v[0]);
    EXPECT_EQ(find("/c/a", "10.0.0.3").entry, v[1]);
}

TEST_F(ExportsMatch, AliasAndEncoding) {
    ASSERT_EQ(load("C:\\data -name:share -alldirs -w\nC:\\other -name:o -a\n").error, EXPORTS_OK);
    const auto v = active();
    find_result r = find("/share/docs", "10.0.0.1", NAME_ENCODING_UTF8);
    EXPECT_EQ(r.entry, v[0]);
    EXPECT_EQ(r.path, "C:\\data\\docs");
    EXPECT_EQ(r.encoding, NAME_ENCODING_CODE_PAGE);
    r = find("/o");
    EXPECT_EQ(r.entry, v[1]);
    EXPECT_EQ(r.path, "C:\\other");
    EXPECT_EQ(r.encoding, NAME_ENCODING_ASCII);
    EXPECT_EQ(find("/o/sub").status, 13u);  // no alldirs
    EXPECT_EQ(find("/sharex").status, 13u);
}

TEST_F(ExportsMatch, AutomaticEncodingTakesTheDetectedOne) {
    ASSERT_EQ(load("C:\\a\n").error, EXPORTS_OK);
    EXPECT_EQ(find("/c/a", "10.0.0.1", NAME_ENCODING_CODE_PAGE).encoding, NAME_ENCODING_CODE_PAGE);
    EXPECT_EQ(find("/c/a", "10.0.0.1", NAME_ENCODING_UTF8).encoding, NAME_ENCODING_UTF8);
}

TEST_F(ExportsMatch, PublicWhenNoPath) {
    ASSERT_EQ(load("C:\\a\nC:\\b -public 10.0.0.7\nC:\\c -public\n").error, EXPORTS_OK);
    const auto v = active();
    EXPECT_EQ(find(nullptr, "10.0.0.7").entry, v[1]);
    find_result r = find(nullptr, "10.0.0.8");
    EXPECT_EQ(r.entry, v[2]);
    EXPECT_EQ(r.path, "C:\\c");
    exports_free_all();
    ASSERT_EQ(load("C:\\a\n").error, EXPORTS_OK);
    EXPECT_EQ(find(nullptr).status, 13u);
}

TEST_F(ExportsMatch, ByIdSearchesTheActiveList) {
    ASSERT_EQ(load("C:\\a\nC:\\b\n").error, EXPORTS_OK);
    const auto v = active();
    EXPECT_EQ(export_by_id(v[1]->fixed.export_id), v[1]);
    EXPECT_EQ(export_by_id(v[0]->fixed.export_id ^ 1), nullptr);
}

}  // namespace
