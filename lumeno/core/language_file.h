// Language files: INI files in the "Languages" folder of the program
// directory that replace the panel's English texts. This holds every
// decision about them (the lookup rules, the escapes, which file is loaded,
// the rows of the Language page); the window layer supplies the reader
// (the private-profile functions) and the folder listing.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The raw value of [section] key in the file at path; "" when the file, the
// section or the key is missing (as the private-profile functions give it).
using language_reader = std::string (*)(const std::string& path, const char* section, const char* key);

// The private-profile lookup over a file's text: sections and keys compared
// without regard to case, blanks around keys and values dropped, one pair
// of enclosing quotes removed, lines starting with ';' ignored; the first
// section of the name is the one searched and its first matching key wins.
// False when the section or key is missing.
bool ini_value(std::string_view text, std::string_view section, std::string_view key, std::string* value);

// "\n" a line feed, "\t" a tab, a backslash and any other character that
// character; a backslash at the very end is dropped.
std::string language_unescape(std::string_view raw);

inline constexpr char kLanguageBuiltinName[] = "English";
inline constexpr char kLanguageGermanFile[] = "deutsch.ini";
inline constexpr size_t kLanguageTitleMax = 63;

struct panel_language {
    std::string path;    // the language file in use; "" for the built-in texts
    std::string name;    // its [Common] LANGUAGE, "English" for the built-in texts
    std::string title;   // the main window's and the sheet's title
};

// The file to load: the stored per-user value; when none is stored (or it
// is empty) "deutsch.ini" for a German user interface (the primary language
// of ui_language), else "" (the built-in texts).
std::string language_file_name(bool stored, const std::string& value, uint16_t ui_language);
// The language of that file in the program directory (ending in a
// backslash); a file without a [Common] LANGUAGE is not used.
panel_language language_load(const std::string& program_dir, const std::string& file_name, language_reader read);

// The language every later lookup uses, and its reader.
void language_use(const panel_language& language, language_reader read);
const panel_language& language_current();
// A [Strings] text by its string number, for panel_set_text_source: false
// (and "") when the language has none or it is empty after the escapes.
bool language_strings_source(uint32_t id, std::string* out);
// A [Control] or [Menu] text: true only when the key is present with a
// non-empty value; out is then its text after the escapes.
bool language_replacement(const char* section, const char* key, std::string* out);

// The per-user choice, "Language" under HKEY_CURRENT_USER.
bool language_stored(std::string* value);
void language_store(const std::string& value);

// A row of the Language page.
struct language_row {
    std::string module;      // column 0: the file name, first letter upper-cased ("English" built-in)
    std::string language;    // column 1 in the file's code page
    uint32_t code_page = 0;  // [Common] CP; 0 for the system's ANSI code page
    std::string version, author;
    bool builtin = false;
};
// One row per file name given (as the folder listing found them), and the
// built-in English row when no file names its LANGUAGE "English"; sorted
// by column 0 without regard to case.
std::vector<language_row> language_rows(const std::string& program_dir, const std::vector<std::string>& files,
                                        language_reader read);
