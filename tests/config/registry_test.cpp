// The registry seam: the same results from the POSIX file store and from the
// Windows registry (this test also runs under Wine).
#include "platform/reg_text.h"
#include "platform/registry.h"
#include "platform/win_error.h"
#include "tests/config/test_env.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

struct RegistryTest : testing::Test {
    std::string file;
    std::string key;
    void SetUp() override {
        file = use_private_registry("reg");
        key = "Software\\Tervalo\\unit-test-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
              "-" + testing::UnitTest::GetInstance()->current_test_info()->name();
    }
    void TearDown() override {
        reg_delete_key(REG_CURRENT_USER, (key + "\\sub\\deeper").c_str());
        reg_delete_key(REG_CURRENT_USER, (key + "\\sub").c_str());
        reg_delete_key(REG_CURRENT_USER, key.c_str());
    }
    uint32_t set_sz(const char* name, const char* text) {
        return reg_set_value(REG_CURRENT_USER, key.c_str(), name, REG_VALUE_SZ, text, uint32_t(std::strlen(text) + 1));
    }
    std::string get_sz(const char* name, uint32_t* rc_out = nullptr) {
        char buf[256];
        uint32_t type = 0, size = sizeof buf;
        const uint32_t rc = reg_query_value(REG_CURRENT_USER, key.c_str(), name, &type, buf, &size);
        if (rc_out) *rc_out = rc;
        if (rc != WIN_ERROR_SUCCESS) return "<" + std::to_string(rc) + ">";
        EXPECT_EQ(type, REG_VALUE_SZ);
        EXPECT_EQ(size, std::strlen(buf) + 1);
        return buf;
    }
};

}  // namespace

TEST_F(RegistryTest, StoresAndReadsEachType) {
    EXPECT_EQ(reg_open_key(REG_CURRENT_USER, key.c_str()), WIN_ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(set_sz("Port", "2050"), WIN_ERROR_SUCCESS);
    EXPECT_EQ(reg_open_key(REG_CURRENT_USER, key.c_str()), WIN_ERROR_SUCCESS);
    EXPECT_EQ(get_sz("Port"), "2050");
    EXPECT_EQ(get_sz("PORT"), "2050");   // names ignore case
    EXPECT_EQ(set_sz("", "default"), WIN_ERROR_SUCCESS);
    EXPECT_EQ(get_sz(""), "default");
    EXPECT_EQ(set_sz("Unicode", "\xC3\xA9t\xC3\xA9"), WIN_ERROR_SUCCESS);
    EXPECT_EQ(get_sz("Unicode"), "\xC3\xA9t\xC3\xA9");

    const uint32_t dword = 0xAAAAAAAAu;
    EXPECT_EQ(reg_set_value(REG_CURRENT_USER, key.c_str(), "Tag", REG_VALUE_DWORD, &dword, 4), WIN_ERROR_SUCCESS);
    const uint8_t blob[5] = {0, 1, 2, 0xfe, 0xff};
    EXPECT_EQ(reg_set_value(REG_CURRENT_USER, key.c_str(), "Blob", REG_VALUE_BINARY, blob, 5), WIN_ERROR_SUCCESS);

    uint32_t type = 0, size = 0;
    uint8_t out[16] = {};
    EXPECT_EQ(reg_query_value(REG_CURRENT_USER, key.c_str(), "Blob", &type, nullptr, &size), WIN_ERROR_SUCCESS);
    EXPECT_EQ(size, 5u);
    size = 4;
    EXPECT_EQ(reg_query_value(REG_CURRENT_USER, key.c_str(), "Blob", &type, out, &size), WIN_ERROR_MORE_DATA);
    EXPECT_EQ(size, 5u);
    size = sizeof out;
    EXPECT_EQ(reg_query_value(REG_CURRENT_USER, key.c_str(), "Blob", &type, out, &size), WIN_ERROR_SUCCESS);
    EXPECT_EQ(type, REG_VALUE_BINARY);
    EXPECT_EQ(std::memcmp(out, blob, 5), 0);
    size = sizeof out;
    EXPECT_EQ(reg_query_value(REG_CURRENT_USER, key.c_str(), "Tag", &type, out, &size), WIN_ERROR_SUCCESS);
    EXPECT_EQ(type, REG_VALUE_DWORD);
    ASSERT_EQ(size, 4u);
    uint32_t back;
    std::memcpy(&back, out, 4);
    EXPECT_EQ(back, dword);

    EXPECT_EQ(set_sz("Port", "2051"), WIN_ERROR_SUCCESS);   // replaces, not duplicates
    EXPECT_EQ(get_sz("Port"), "2051");
}

TEST_F(RegistryTest, MissingKeysAndValuesAreNotFound) {
    uint32_t rc = 0;
    get_sz("Nothing", &rc);
    EXPECT_EQ(rc, WIN_ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(reg_delete_value(REG_CURRENT_USER, key.c_str(), "Nothing"), WIN_ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(reg_delete_key(REG_CURRENT_USER, key.c_str()), WIN_ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(set_sz("x", "1"), WIN_ERROR_SUCCESS);
    get_sz("Nothing", &rc);
    EXPECT_EQ(rc, WIN_ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(reg_delete_value(REG_CURRENT_USER, key.c_str(), "x"), WIN_ERROR_SUCCESS);
    get_sz("x", &rc);
    EXPECT_EQ(rc, WIN_ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(reg_open_key(REG_CURRENT_USER, key.c_str()), WIN_ERROR_SUCCESS);   // the key stays
}

TEST_F(RegistryTest, KeysWithSubkeysAreNotDeleted) {
    ASSERT_EQ(reg_create_key(REG_CURRENT_USER, (key + "\\sub\\deeper").c_str()), WIN_ERROR_SUCCESS);
    EXPECT_EQ(reg_open_key(REG_CURRENT_USER, (key + "\\sub").c_str()), WIN_ERROR_SUCCESS);
    EXPECT_EQ(reg_delete_key(REG_CURRENT_USER, key.c_str()), WIN_ERROR_ACCESS_DENIED);
    EXPECT_EQ(reg_delete_key(REG_CURRENT_USER, (key + "\\sub\\deeper").c_str()), WIN_ERROR_SUCCESS);
    EXPECT_EQ(reg_delete_key(REG_CURRENT_USER, (key + "\\sub").c_str()), WIN_ERROR_SUCCESS);
    EXPECT_EQ(reg_delete_key(REG_CURRENT_USER, key.c_str()), WIN_ERROR_SUCCESS);
    EXPECT_EQ(reg_open_key(REG_CURRENT_USER, key.c_str()), WIN_ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, StringsThatAreNotUtf8AreRefused) {
    EXPECT_EQ(set_sz("Bad", "\xC3("), WIN_ERROR_INVALID_DATA);
    uint32_t rc = 0;
    get_sz("Bad", &rc);
    EXPECT_EQ(rc, WIN_ERROR_FILE_NOT_FOUND);
}

#ifndef _WIN32

namespace {

std::string read_whole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_whole(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

}  // namespace

TEST_F(RegistryTest, TheFileIsPlainRegText) {
    ASSERT_EQ(set_sz("Directory", "C:\\nfs\\"), WIN_ERROR_SUCCESS);
    const std::string text = read_whole(file);
    EXPECT_EQ(text.rfind("Windows Registry Editor Version 5.00\r\n", 0), 0u);
    EXPECT_NE(text.find("[HKEY_CURRENT_USER\\" + key + "]\r\n\"Directory\"=\"C:\\\\nfs\\\\\"\r\n"), std::string::npos);
    reg_document doc;
    reg_parse_error err;
    EXPECT_TRUE(reg_parse(text, doc, err));
}

TEST_F(RegistryTest, HandEditsAreSeenAtTheNextRead) {
    ASSERT_EQ(set_sz("Port", "2049"), WIN_ERROR_SUCCESS);
    EXPECT_EQ(get_sz("Port"), "2049");
    std::string text = read_whole(file);
    const size_t at = text.find("\"2049\"");
    ASSERT_NE(at, std::string::npos);
    text.replace(at, 6, "\"20500\"");
    write_whole(file, text);
    EXPECT_EQ(get_sz("Port"), "20500");
}

TEST_F(RegistryTest, ABadFileIsReportedOnceAndKeptUntilAWrite) {
    const std::string bad = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\" + key +
                            "]\r\n\"Port\"=\"2050\"\r\n\"Threads\"=hex:0\r\n";
    write_whole(file, bad);
    testing::internal::CaptureStderr();
    uint32_t rc = 0;
    get_sz("Port", &rc);
    get_sz("Port", &rc);
    const std::string report = testing::internal::GetCapturedStderr();
    EXPECT_EQ(rc, WIN_ERROR_FILE_NOT_FOUND);   // the server runs on defaults
    EXPECT_NE(report.find("line 5"), std::string::npos) << report;
    EXPECT_EQ(report.find("line 5"), report.rfind("line 5")) << "reported twice: " << report;
    EXPECT_EQ(read_whole(file), bad);          // reads never rewrite it

    testing::internal::CaptureStderr();
    ASSERT_EQ(set_sz("Log", "2"), WIN_ERROR_SUCCESS);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(read_whole(file + ".bad"), bad);   // the broken file is kept beside the new one
    EXPECT_EQ(get_sz("Log"), "2");
}

TEST_F(RegistryTest, ConcurrentWritersLoseNothing) {
    constexpr int kWriters = 4, kValues = 40;
    pid_t children[kWriters];
    for (int w = 0; w < kWriters; ++w) {
        children[w] = fork();
        ASSERT_GE(children[w], 0);
        if (children[w] == 0) {
            bool ok = true;
            for (int i = 0; i < kValues; ++i) {
                const std::string name = "w" + std::to_string(w) + "_" + std::to_string(i);
                ok = set_sz(name.c_str(), name.c_str()) == WIN_ERROR_SUCCESS && ok;
            }
            _exit(ok ? 0 : 1);
        }
    }
    for (pid_t c : children) {
        int status = 0;
        ASSERT_EQ(waitpid(c, &status, 0), c);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    for (int w = 0; w < kWriters; ++w)
        for (int i = 0; i < kValues; ++i) {
            const std::string name = "w" + std::to_string(w) + "_" + std::to_string(i);
            EXPECT_EQ(get_sz(name.c_str()), name);
        }
}

#endif
