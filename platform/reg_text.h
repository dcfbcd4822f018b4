// The text form of the registry: the ".reg" export format
// ("Windows Registry Editor Version 5.00"), parsed into and written from a
// small in-memory document. Used by the POSIX registry store; kept free of OS
// calls so the same code is tested on every build.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct reg_entry {
    std::string name;             // "" is the default value ("@")
    uint32_t type = 0;            // REG_VALUE_*; other types are kept as raw bytes
    std::vector<uint8_t> data;    // strings: UTF-8 with the terminating NUL
};

struct reg_section {
    std::string key;              // full path, e.g. HKEY_LOCAL_MACHINE\Software\Tervalo\quen
    std::vector<reg_entry> values;
};

struct reg_document {
    std::vector<reg_section> sections;
};

struct reg_parse_error {
    unsigned line = 0;
    std::string reason;
};

// Parses a whole file (UTF-8, optionally with a byte-order mark, or UTF-16LE
// with its mark). Deletion lines ("[-key]", "name"=-) are applied as an import
// would. On failure the document is left empty and err names the line.
bool reg_parse(std::string_view text, reg_document& doc, reg_parse_error& err);
std::string reg_serialise(const reg_document& doc);

// Look-ups compare key paths and value names without regard to ASCII case.
reg_section* reg_find_section(reg_document& doc, std::string_view key);
reg_section& reg_section_for(reg_document& doc, std::string_view key);  // creates it
reg_entry* reg_find_entry(reg_section& section, std::string_view name);
bool reg_has_subkeys(const reg_document& doc, std::string_view key);
// A key exists when it has a section or any key below it has one.
bool reg_key_exists(const reg_document& doc, std::string_view key);
void reg_remove_section(reg_document& doc, std::string_view key);  // and its subkeys
bool reg_names_equal(std::string_view a, std::string_view b);
