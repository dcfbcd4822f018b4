// Code page 0 where no Windows system decides it: taken from LANG.
#include "platform/codepage.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

class LangPage : public ::testing::Test {
protected:
    void SetUp() override {
        const char* v = std::getenv("LANG");
        had_ = v != nullptr;
        if (v) saved_ = v;
    }
    void TearDown() override {
        if (had_)
            setenv("LANG", saved_.c_str(), 1);
        else
            unsetenv("LANG");
    }
    static uint32_t page_for(const char* lang) {
        setenv("LANG", lang, 1);
        return codepage_system_ansi();
    }
    bool had_ = false;
    std::string saved_;
};

TEST_F(LangPage, WindowsDefaultWithoutALanguage) {
    unsetenv("LANG");
    EXPECT_EQ(codepage_system_ansi(), 1252u);
    EXPECT_EQ(page_for(""), 1252u);
    EXPECT_EQ(page_for("C"), 1252u);
    EXPECT_EQ(page_for("C.UTF-8"), 1252u);
    EXPECT_EQ(page_for("en_US.UTF-8"), 1252u);
    EXPECT_EQ(page_for("de_DE.ISO-8859-1@euro"), 1252u);
}

TEST_F(LangPage, LanguageDecides) {
    EXPECT_EQ(page_for("ru_RU.UTF-8"), 1251u);
    EXPECT_EQ(page_for("ja_JP.UTF-8"), 932u);
    EXPECT_EQ(page_for("zh_TW.UTF-8"), 950u);
    EXPECT_EQ(page_for("zh_CN"), 936u);
    EXPECT_EQ(page_for("pl_PL"), 1250u);
    EXPECT_EQ(page_for("kok_IN"), 1252u);   // "ko" is Korean, not a prefix of every name
}

TEST_F(LangPage, WindowsCharsetWins) {
    EXPECT_EQ(page_for("de_DE.CP850"), 850u);
    EXPECT_EQ(page_for("ru_RU.windows-1251"), 1251u);
    EXPECT_EQ(page_for("ja_JP.SJIS"), 932u);
    EXPECT_EQ(page_for("en_US.cp1257"), 1257u);
    EXPECT_EQ(page_for("en_US.CP1234"), 1252u);   // not a supported page
}

TEST_F(LangPage, ConversionFollowsIt) {
    setenv("LANG", "ru_RU.UTF-8", 1);
    char buf[8] = "\xc0";
    EXPECT_EQ(codepage_to_utf8(0, buf, sizeof buf), 2u);
    EXPECT_STREQ(buf, "\xd0\x90");   // А, where 1252 would give À
}

}  // namespace
