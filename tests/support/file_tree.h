// Test helpers for files made through the wide-path layer.
#pragma once
#include <gtest/gtest.h>

#include <string>

bool running_under_wine();

// Wine lacks a Windows behaviour (see the notes on Wine): skip with the reason.
#define SKIP_ON_WINE(reason)                                          \
    do {                                                              \
        if (running_under_wine()) GTEST_SKIP() << "Wine: " << reason; \
    } while (0)

// Removes a tree through the layer, clearing read-only, hidden and system first.
void remove_tree(const std::string& path);
// "Z:\tmp\<prefix><random>": a folder name no other test run uses (not created).
std::string unique_test_folder(const std::string& prefix);
