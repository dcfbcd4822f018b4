// Shared fixture of the volume conformance suite: a temporary folder of its
// own, helpers that go through the layer, and what Wine cannot show.
#pragma once
#include "platform/file.h"
#include "tests/support/file_tree.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

struct volume_test : ::testing::Test {
    std::string root;  // "Z:\tmp\tervalo-volume-..." without a trailing backslash

    void SetUp() override;
    void TearDown() override;

    std::string at(const std::string& relative) const { return root + "\\" + relative; }
    void make_file(const std::string& relative, const std::string& data = "");
    void make_dir(const std::string& relative);
    std::string read_all(const std::string& relative);
    // Names a search finds, in the order found; empty when it fails.
    std::vector<std::string> find_names(const std::string& pattern, uint32_t* error = nullptr);
};

