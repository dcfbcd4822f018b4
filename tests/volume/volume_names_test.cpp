// Names as NTFS treats them: case-insensitive and case-preserving, Win32
// path forms, and FindFirstFile's wildcard rules.
#include "platform/win_error.h"
#include "tests/volume/volume_env.h"

#include <algorithm>

namespace {

using names = std::vector<std::string>;

names sorted(names v) {
    std::sort(v.begin(), v.end());
    return v;
}

TEST_F(volume_test, OpensAnEntryWhateverTheCaseOfEachComponent) {
    make_dir("Dir");
    make_dir("Dir\\Sub");
    make_file("Dir\\Sub\\Readme.TXT", "hello");
    EXPECT_EQ(read_all("dIR\\sUB\\README.txt"), "hello");
    EXPECT_NE(wp_get_file_attributes(at("DIR\\SUB\\readme.txt").c_str()), WP_INVALID_FILE_ATTRIBUTES);
    // The listing keeps the case the file was created with.
    EXPECT_EQ(find_names("dir\\sub\\readme.txt"), names{"Readme.TXT"});
}

TEST_F(volume_test, NonAsciiNamesMatchIgnoringCase) {
    make_file("Привет.txt", "ru");
    make_file("Ärger.txt", "de");
    EXPECT_EQ(read_all("ПРИВЕТ.TXT"), "ru");
    EXPECT_EQ(read_all("äRGER.txt"), "de");
    EXPECT_EQ(find_names("привет.*"), names{"Привет.txt"});
}

TEST_F(volume_test, CreateNewFailsWhenANameEqualIgnoringCaseExists) {
    make_file("Readme.TXT", "x");
    file_handle h(wp_create_file(at("README.txt").c_str(), WP_GENERIC_WRITE, 0, WP_CREATE_NEW, 0));
    EXPECT_FALSE(h.valid());
    EXPECT_EQ(file_last_error(), WIN_ERROR_FILE_EXISTS);
    EXPECT_FALSE(wp_create_directory(at("readme.txt").c_str()));
    EXPECT_EQ(file_last_error(), WIN_ERROR_ALREADY_EXISTS);
    EXPECT_EQ(find_names("*.txt"), names{"Readme.TXT"});
}

TEST_F(volume_test, CreateAlwaysOverwritesTheExistingSpelling) {
    make_file("Data.bin", "old contents");
    file_handle h(wp_create_file(at("DATA.BIN").c_str(), WP_GENERIC_WRITE, 0, WP_CREATE_ALWAYS, 0));
    ASSERT_TRUE(h.valid());
    EXPECT_EQ(file_last_error(), WIN_ERROR_ALREADY_EXISTS);
    h.reset();
    EXPECT_EQ(read_all("data.bin"), "");
    EXPECT_EQ(find_names("*"), (names{".", "..", "Data.bin"}));
}

// Large directories answer from an index kept in step with every change.
TEST_F(volume_test, ALargeDirectoryFindsEveryNameWhateverItsCaseThroughChanges) {
    make_dir("big");
    for (int i = 0; i < 100; ++i) make_file("big\\f" + std::to_string(i), std::to_string(i));
    const auto present = [&](const std::string& name) {
        return wp_get_file_attributes(at("big\\" + name).c_str()) != WP_INVALID_FILE_ATTRIBUTES;
    };
    EXPECT_FALSE(present("missing"));  // the first miss lists the directory
    EXPECT_EQ(read_all("big\\F42"), "42");
    make_file("big\\New.TXT", "new");
    EXPECT_EQ(read_all("big\\nEW.txt"), "new");
    ASSERT_TRUE(wp_move_file(at("big\\NEW.txt").c_str(), at("big\\Other.txt").c_str()));
    EXPECT_FALSE(present("new.txt"));
    EXPECT_TRUE(present("OTHER.TXT"));
    ASSERT_TRUE(wp_move_file(at("big\\other.txt").c_str(), at("Moved.txt").c_str()));
    EXPECT_FALSE(present("Other.txt"));
    ASSERT_TRUE(wp_delete_file(at("big\\F7").c_str()));
    EXPECT_FALSE(present("f7"));
    file_handle h(wp_create_file(at("big\\F8").c_str(), WP_GENERIC_WRITE, 0, WP_CREATE_NEW, 0));
    EXPECT_FALSE(h.valid());
    EXPECT_EQ(file_last_error(), uint32_t(WIN_ERROR_FILE_EXISTS));
    EXPECT_EQ(find_names("big\\F8"), names{"f8"});
}

TEST_F(volume_test, RenameThatOnlyChangesCaseChangesItOnDisk) {
    SKIP_ON_WINE("a rename that only changes case leaves the old spelling");
    make_file("Readme", "r");
    ASSERT_TRUE(wp_move_file(at("readme").c_str(), at("README").c_str())) << file_last_error();
    EXPECT_EQ(find_names("readme"), names{"README"});
    make_dir("Folder");
    ASSERT_TRUE(wp_move_file(at("Folder").c_str(), at("fOLDER").c_str())) << file_last_error();
    EXPECT_EQ(find_names("folder"), names{"fOLDER"});
}

TEST_F(volume_test, DeleteAndRemoveFindTheEntryWhateverItsCase) {
    make_file("File.TXT");
    make_dir("Folder");
    EXPECT_TRUE(wp_delete_file(at("fILE.txt").c_str())) << file_last_error();
    EXPECT_TRUE(wp_remove_directory(at("FOLDER").c_str())) << file_last_error();
    EXPECT_EQ(find_names("*"), (names{".", ".."}));
}

TEST_F(volume_test, MissingFileAndMissingFolderGiveTheirOwnErrors) {
    EXPECT_EQ(wp_get_file_attributes(at("nothing").c_str()), WP_INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(file_last_error(), WIN_ERROR_FILE_NOT_FOUND);
    file_handle h(wp_create_file(at("no-dir\\file").c_str(), WP_GENERIC_READ, 0, WP_OPEN_EXISTING, 0));
    EXPECT_FALSE(h.valid());
    EXPECT_EQ(file_last_error(), WIN_ERROR_PATH_NOT_FOUND);
    file_handle c(wp_create_file(at("no-dir\\file").c_str(), WP_GENERIC_WRITE, 0, WP_CREATE_NEW, 0));
    EXPECT_FALSE(c.valid());
    EXPECT_EQ(file_last_error(), WIN_ERROR_PATH_NOT_FOUND);
    EXPECT_FALSE(wp_create_directory(at("no-dir\\sub").c_str()));
    EXPECT_EQ(file_last_error(), WIN_ERROR_PATH_NOT_FOUND);
    EXPECT_FALSE(wp_delete_file(at("nothing").c_str()));
    EXPECT_EQ(file_last_error(), WIN_ERROR_FILE_NOT_FOUND);
}

TEST_F(volume_test, Win32PathFormsReachTheSameFile) {
    make_file("plain.txt", "p");
    EXPECT_EQ(read_all("plain.txt."), "p");  // trailing dots are dropped
    EXPECT_EQ(read_all("sub\\..\\.\\plain.txt"), "p");
    std::string slashed = at("plain.txt");
    std::replace(slashed.begin(), slashed.end(), '\\', '/');
    file_handle s(wp_create_file(slashed.c_str(), WP_GENERIC_READ, WP_FILE_SHARE_ALL, WP_OPEN_EXISTING, 0));
    EXPECT_TRUE(s.valid()) << file_last_error();
    file_handle l(wp_create_file(("\\\\?\\" + at("PLAIN.TXT")).c_str(), WP_GENERIC_READ, WP_FILE_SHARE_ALL,
                                 WP_OPEN_EXISTING, 0));
    EXPECT_TRUE(l.valid()) << file_last_error();
}

TEST_F(volume_test, CharactersWindowsForbidsMakeTheNameInvalid) {
    for (const char* bad : {"a|b", "a<b", "a>b", "a\"b", "a?b", "a*b"}) {
        file_handle h(wp_create_file(at(bad).c_str(), WP_GENERIC_WRITE, 0, WP_CREATE_NEW, 0));
        EXPECT_FALSE(h.valid()) << bad;
        EXPECT_EQ(file_last_error(), WIN_ERROR_INVALID_NAME) << bad;
    }
}

TEST_F(volume_test, MalformedUtf8IsPassedOnAsAnEmptyPath) {
    const std::string bad = at("bad\xC3");
    file_handle h(wp_create_file(bad.c_str(), WP_GENERIC_WRITE, 0, WP_CREATE_NEW, 0));
    EXPECT_FALSE(h.valid());
    EXPECT_EQ(file_last_error(), WIN_ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(find_names("*"), (names{".", ".."}));
}

struct wildcard_test : volume_test {
    void SetUp() override {
        volume_test::SetUp();
        for (const char* n : {"name", "namex", "namexy", "namexyz", "a.txt", "b.txt.bak", "c", "d.e.txt", "Noext"})
            make_file(n);
        make_dir("folder");
    }
};

TEST_F(wildcard_test, StarAndStarDotStarListEverythingWithTheDotsFirst) {
    const names all{".", "..", "a.txt", "b.txt.bak", "c", "d.e.txt", "folder", "name", "namex", "namexy", "namexyz", "Noext"};
    const names star = find_names("*");
    ASSERT_GE(star.size(), 2u);
    EXPECT_EQ(star[0], ".");
    EXPECT_EQ(star[1], "..");
    EXPECT_EQ(sorted(star), sorted(all));
    EXPECT_EQ(sorted(find_names("*.*")), sorted(all));
}

TEST_F(wildcard_test, StarDotExtensionMatchesTheLastExtensionOnly) {
    EXPECT_EQ(sorted(find_names("*.txt")), (names{"a.txt", "d.e.txt"}));
    EXPECT_EQ(sorted(find_names("*.TXT")), (names{"a.txt", "d.e.txt"}));
    EXPECT_EQ(find_names("?.txt"), names{"a.txt"});
    EXPECT_EQ(find_names("b*.bak"), names{"b.txt.bak"});
}

TEST_F(wildcard_test, TrailingQuestionMarksAlsoMatchTheEndOfTheName) {
    SKIP_ON_WINE("a trailing ? matches exactly one character");
    EXPECT_EQ(sorted(find_names("name??")), (names{"name", "namex", "namexy"}));
    EXPECT_EQ(sorted(find_names("NAME?")), (names{"name", "namex"}));
    EXPECT_EQ(find_names("a?.txt"), names{"a.txt"});
}

TEST_F(wildcard_test, StarDotMatchesNamesWithoutAnExtension) {
    SKIP_ON_WINE("*. returns every name");
    EXPECT_EQ(sorted(find_names("*.")), sorted(names{".", "..", "c", "folder", "name", "namex", "namexy", "namexyz", "Noext"}));
}

TEST_F(wildcard_test, DotStarAlsoMatchesTheNameWithoutExtension) {
    EXPECT_EQ(find_names("noext.*"), names{"Noext"});
    EXPECT_EQ(sorted(find_names("a.*")), (names{"a.txt"}));
}

TEST_F(wildcard_test, PlainNamesAndFailedSearches) {
    EXPECT_EQ(find_names("NAMEX"), names{"namex"});
    uint32_t error = 0;
    EXPECT_TRUE(find_names("zzz*", &error).empty());
    EXPECT_EQ(error, WIN_ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(find_names("missing\\*", &error).empty());
    EXPECT_EQ(error, WIN_ERROR_PATH_NOT_FOUND);
}

TEST_F(wildcard_test, SearchEndsWithNoMoreFilesAndReportsEntries) {
    uint32_t error = 0;
    const names n = find_names("namexy*", &error);
    EXPECT_EQ(sorted(n), (names{"namexy", "namexyz"}));
    EXPECT_EQ(error, WIN_ERROR_NO_MORE_FILES);
    wp_find_data d;
    wp_find_handle h = wp_find_first(at("folder").c_str(), WP_FIND_EX_INFO_BASIC, &d, 0, 0);
    ASSERT_NE(h, WP_INVALID_FIND_HANDLE);
    EXPECT_STREQ(d.name, "folder");
    EXPECT_TRUE(d.attributes & WP_FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_NE(d.last_write_time, 0u);
    EXPECT_TRUE(wp_find_close(h));
}

}  // namespace
