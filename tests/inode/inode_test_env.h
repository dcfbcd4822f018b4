// Surroundings of the inode tests: a private folder and a table file in it,
// and readers of the table's layout.
#pragma once
#include "quen/inode/inode_table.h"
#include "quen/inode/inode_tree.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

struct scratch_folder {
    std::string windows;   // Windows form with a trailing backslash
    std::string native;    // as the C++ library names it
};
scratch_folder make_scratch_folder(const std::string& tag);
void remove_scratch_folder(const scratch_folder& f);

// Fixture: a fresh folder; table() opens its table file with the options.
struct inode_test : ::testing::Test {
    scratch_folder dir;
    std::string table_path;   // Windows form
    std::string table_native;

    void SetUp() override;
    void TearDown() override;
    bool open_table(uint32_t records = 256, bool reset = false, bool check = false);
    void close_table() { inode_table_close(); }
    // The table file's bytes, read and written with the table closed.
    std::vector<uint8_t> read_file() const;
    void write_file(const std::vector<uint8_t>& bytes) const;
};

// The free list as (offset, size) pairs, walked with a bound.
std::vector<std::pair<uint32_t, uint32_t>> free_runs();
uint32_t free_bytes();
// The names of a directory's children in list order.
std::vector<std::string> child_names(uint32_t dir);
std::string path_of(uint32_t inode);
uint32_t enter(uint32_t dir, const std::string& name);
uint32_t lookup(uint32_t dir, const std::string& name);
// Little-endian fields of a byte image.
uint32_t get32(const std::vector<uint8_t>& b, size_t at);
void put32(std::vector<uint8_t>& b, size_t at, uint32_t v);
