// Shared helpers of the exports tests: loading text, a resolver that never
// reaches a name service, and a private program folder for file tests.
#pragma once
#include "quen/mount/export_entry.h"
#include "quen/mount/exports.h"

#include "tests/support/ipv4_text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

// Resolves only "hostone" (192.0.2.1) and "hosttwo" (192.0.2.2).
int fake_resolver(const char* name, uint32_t* out, int max);


// Every test starts with empty lists and the fake resolver.
struct exports_test : ::testing::Test {
    void SetUp() override;
    void TearDown() override;
    exports_report load(const std::string& text) { return exports_load_text(text.data(), text.size()); }
    std::vector<export_entry*> active() const;
    uint32_t saved_lowercase = 0;
};

// A program folder of its own ("Z:\tmp\..." through the file layer), a
// private registry, and the files in it.
struct exports_file_test : exports_test {
    std::string dir;  // with a trailing backslash
    void SetUp() override;
    void TearDown() override;
    void write(const std::string& name, const std::string& data);
    bool exists(const std::string& name);
    std::string read(const std::string& name);
    // ExportsError and ExportsLine, -1 when absent.
    int32_t stored_error();
    int32_t stored_line();
};
