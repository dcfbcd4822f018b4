// The escape and substitution tables of name translation, and the device
// names Windows reserves.
#include "quen/config/char_class.h"
#include "quen/fs/names.h"

#include <cstring>
#include <initializer_list>

namespace {

// The class-0 bytes that are written as the escape character and a code; the
// other class-0 bytes (controls and '/') have no Windows form at all.
constexpr uint8_t kEscapable[] = {34, 42, 58, 60, 62, 63, 92, 124, 127};
constexpr size_t kListUsed = 1 + sizeof kEscapable;   // escape character and codes
constexpr size_t kListRequired = 11;                  // valid characters a list must have

bool valid_in_list(uint8_t c) {
    // A dot or space as escape or code would be trimmed by Windows at the end of a name.
    return c != '.' && c != ' ' && char_class(c) != CHAR_INVALID;
}

// A configured list is taken only when it has eleven valid characters and
// the ten it uses are all different: a repeated code could not be read back.
bool list_usable(const char* list) {
    if (!list) return false;
    size_t n = 0;
    while (n < kListRequired && list[n] && valid_in_list(uint8_t(list[n]))) ++n;
    if (n < kListRequired) return false;
    for (size_t i = 0; i < kListUsed; ++i)
        for (size_t j = i + 1; j < kListUsed; ++j)
            if (list[i] == list[j]) return false;
    return true;
}

constexpr void fill_escapes(name_tables& t, const char* list) {
    t.escape = uint8_t(list[0]);
    for (auto& f : t.forward) f = 0;
    for (auto& r : t.reverse) r = 0;
    size_t next = 1;
    for (uint8_t b : kEscapable) {
        t.forward[b] = uint8_t(list[next]);
        t.reverse[uint8_t(list[next])] = b;
        ++next;
    }
}

constexpr name_tables default_tables() {
    name_tables t{};
    fill_escapes(t, kDefaultEscapeList);
    return t;
}

bool equal_nocase(const char* a, const char* b, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        char x = a[i] >= 'A' && a[i] <= 'Z' ? char(a[i] + 32) : a[i];
        if (x != b[i]) return false;
    }
    return true;
}

}  // namespace

name_tables g_name_tables = default_tables();

void names_setup(const char* escape_list, const uint8_t* char_map, uint32_t code_page) {
    name_tables t{};
    fill_escapes(t, list_usable(escape_list) ? escape_list : kDefaultEscapeList);
    if (char_map) {
        for (unsigned c = 32; c <= 127; ++c) {
            const uint8_t v = char_map[c];
            if (char_class(uint8_t(c)) == CHAR_INVALID && v >= 32 && v <= 126 && char_class(v) != CHAR_INVALID)
                t.substitute[c] = v;
        }
    }
    t.code_page = code_page;
    g_name_tables = t;
}

bool names_is_reserved_device(const char* name, size_t len) {
    size_t base = 0;
    while (base < len && name[base] != '.') ++base;
    while (base > 0 && name[base - 1] == ' ') --base;
    if (base == 3) {
        for (const char* d : {"aux", "con", "nul", "prn"})
            if (equal_nocase(name, d, 3)) return true;
        return false;
    }
    if (base == 4 && name[3] >= '1' && name[3] <= '9')
        return equal_nocase(name, "com", 3) || equal_nocase(name, "lpt", 3);
    return false;
}
