// Every name a client can create must read back as it was written, and the
// names that cannot exist on Windows must be refused, never shortened.
#include "names_test_support.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

class RoundTrip : public ::testing::Test {
protected:
    void TearDown() override { names_setup(nullptr, nullptr, 0); }

    // Checks one name; returns false (after reporting) on a mismatch so that
    // loops stop at the first failure.
    bool survives(const mount_context& m, const std::string& client) {
        ++checked_;
        auto r = to_windows(m, client);
        if (client == "." || client == "..") {
            EXPECT_EQ(r.status, NAME_ISDIR);
            return r.status == NAME_ISDIR;
        }
        if (r.status != NAME_OK) {
            ADD_FAILURE() << "status " << r.status << " for " << testing::PrintToString(client);
            return false;
        }
        // The Windows form never holds what Windows would refuse or trim.
        for (unsigned char c : r.name) {
            if (c < 32 || c == '/' || c == '\\' || c == ':' || c == '*' || c == '?' || c == '"' ||
                c == '<' || c == '>' || c == '|' || c == 127) {
                ADD_FAILURE() << "byte " << int(c) << " in " << testing::PrintToString(r.name);
                return false;
            }
        }
        if (r.name.back() == '.' || r.name.back() == ' ') {
            ADD_FAILURE() << "trimmable end in " << testing::PrintToString(r.name);
            return false;
        }
        if (names_is_reserved_device(r.name.data(), r.name.size())) {
            ADD_FAILURE() << "device name " << testing::PrintToString(r.name);
            return false;
        }
        std::string back = to_nfs(m, r.name);
        if (back != client) {
            ADD_FAILURE() << testing::PrintToString(client) << " -> " << testing::PrintToString(r.name)
                          << " -> " << testing::PrintToString(back);
            return false;
        }
        return true;
    }

    // Every string up to max_len over the alphabet.
    void all_strings(const mount_context& m, const std::string& alphabet, size_t max_len) {
        std::vector<size_t> idx;
        for (size_t len = 1; len <= max_len; ++len) {
            idx.assign(len, 0);
            for (;;) {
                std::string s;
                for (size_t i : idx) s += alphabet[i];
                if (!survives(m, s)) return;
                size_t k = 0;
                while (k < len && ++idx[k] == alphabet.size()) idx[k++] = 0;
                if (k == len) break;
            }
        }
    }

    size_t checked_ = 0;

    static std::vector<unsigned char> client_bytes(unsigned low) {
        std::vector<unsigned char> v;
        for (unsigned b = low; b < 256; ++b)
            if (b != '/') v.push_back((unsigned char)b);
        return v;
    }

    void single_and_pairs(const mount_context& m, const std::vector<unsigned char>& bytes) {
        for (unsigned char a : bytes)
            if (!survives(m, std::string(1, char(a)))) return;
        for (unsigned char a : bytes)
            for (unsigned char b : bytes)
                if (!survives(m, std::string{char(a), char(b)})) return;
    }

    void random_names(const mount_context& m, const std::vector<unsigned char>& bytes, int count) {
        std::mt19937 rng(12345);
        std::uniform_int_distribution<size_t> pick(0, bytes.size() - 1);
        std::uniform_int_distribution<size_t> length(1, 120);   // room for every byte escaped
        for (int i = 0; i < count; ++i) {
            std::string s(length(rng), ' ');
            for (auto& c : s) c = char(bytes[pick(rng)]);
            if (!survives(m, s)) return;
        }
    }
};

// Escape characters, codes, escapable bytes, dots, spaces and device names.
const std::string kTricky = "'~*:%. conCOM1\\a";

TEST_F(RoundTrip, Utf8EncodingAllBytes) {
    names_setup(nullptr, nullptr, 1252);
    auto m = long_name_mount(NAME_ENCODING_UTF8);
    single_and_pairs(m, client_bytes(32));
    random_names(m, client_bytes(32), 20000);
    all_strings(m, kTricky, 4);
    const size_t n = client_bytes(32).size(), t = kTricky.size();
    EXPECT_EQ(checked_, n + n * n + 20000 + t + t * t + t * t * t + t * t * t * t);
}

TEST_F(RoundTrip, AsciiEncoding) {
    names_setup(nullptr, nullptr, 1252);
    auto m = long_name_mount(NAME_ENCODING_ASCII);
    std::vector<unsigned char> ascii;
    for (unsigned char b : client_bytes(32))
        if (b < 128) ascii.push_back(b);
    single_and_pairs(m, ascii);
    random_names(m, ascii, 5000);
}

TEST_F(RoundTrip, CodePage850AllBytes) {
    // Code page 850 assigns every byte, so every client byte has a UTF-8 form.
    names_setup(nullptr, nullptr, 850);
    auto m = long_name_mount(NAME_ENCODING_CODE_PAGE);
    for (unsigned char a : client_bytes(32))
        if (!survives(m, std::string(1, char(a)))) return;
    random_names(m, client_bytes(32), 3000);
}

TEST_F(RoundTrip, CaseSensitiveMount) {
    // Names ending in the escape character and a digit need the directory
    // (case_exact_lookup); without digits no suffix is involved.
    names_setup(nullptr, nullptr, 1252);
    auto m = long_name_mount(NAME_ENCODING_UTF8, MOUNT_FLAG_CASE_SENSITIVE);
    all_strings(m, "'~*. cAx", 4);
    EXPECT_EQ(checked_, 8u + 64 + 512 + 4096);
}

TEST_F(RoundTrip, EscapeListWithLettersAsCodes) {
    // Codes that are letters of the device names and the escape character
    // inside them make the hardest list.
    names_setup("$conCOM1lpt", nullptr, 1252);
    auto m = long_name_mount();
    all_strings(m, "$conCOM1*\":. a", 4);
    random_names(m, client_bytes(32), 5000);
}

TEST_F(RoundTrip, RefusedNamesWhereverTheByteIs) {
    names_setup(nullptr, nullptr, 1252);
    std::mt19937 rng(99);
    for (uint32_t enc : {NAME_ENCODING_ASCII, NAME_ENCODING_UTF8, NAME_ENCODING_CODE_PAGE}) {
        auto m = long_name_mount(enc);
        std::vector<int> bad_bytes{'/'};
        for (int b = 0; b < 32; ++b) bad_bytes.push_back(b);
        for (int bad : bad_bytes) {
            for (int i = 0; i < 20; ++i) {
                std::string s(1 + rng() % 40, 'a');
                s[rng() % s.size()] = char(bad);
                auto r = to_windows(m, s);
                ASSERT_EQ(r.status, NAME_NOENT) << "byte " << bad << " encoding " << enc;
                ASSERT_EQ(r.path, "C:\\d");
            }
        }
    }
}

}  // namespace
