#include "lumeno/core/export_options.h"

#include "lumeno/core/panel_dialog_ids.h"

#include <cstring>

namespace {

const export_option_box kBoxes[] = {
    {IDC_OPT_ALLDIRS, "-alldirs"}, {IDC_OPT_EXEC, "-exec"},         {IDC_OPT_HIDE, "-hide"},
    {IDC_OPT_I32, "-i32"},         {IDC_OPT_LOWERCASE, "-lowercase"}, {IDC_OPT_PUBLIC, "-public"},
    {IDC_OPT_READONLY, "-readonly"}, {IDC_OPT_ANSI, "-w"},          {IDC_OPT_NAME, "-name:"},
    {IDC_OPT_MAPROOT, "-maproot:"}, {IDC_OPT_MAPALL, "-mapall:"},   {IDC_OPT_UMASK, "-umask:"},
    {IDC_OPT_RANGE, "-range"},
};
constexpr uint32_t kBoxCount = sizeof kBoxes / sizeof kBoxes[0];
// The boxes set by the first sync step, in its order.
const int kPlainBoxes[] = {IDC_OPT_ALLDIRS, IDC_OPT_EXEC, IDC_OPT_HIDE, IDC_OPT_I32, IDC_OPT_LOWERCASE,
                           IDC_OPT_PUBLIC};
const int kArgumentBoxes[] = {IDC_OPT_NAME, IDC_OPT_MAPROOT, IDC_OPT_MAPALL, IDC_OPT_UMASK, IDC_OPT_RANGE};

const char* const kExactWords[] = {"-readonly", "-ro", "-lowercase", "-public", "-alldirs", "-dc", "-exec",
                                   "-hide",     "-nosdc", "-rp",     "-nd",     "-ci",      "-i32", "-at",
                                   "-sa",       "-cs",  "-w",        "-a",      "-u",       "-range"};
const char* const kArgumentWords[] = {"-name:", "-umask:", "-sub:", "-maproot:", "-mapall:", "-uid:"};

bool blank(char c) { return c == ' ' || c == '\t'; }

// Where the word occurs as a word of its own, or npos.
size_t find_word(const std::string& text, const char* word) {
    const size_t n = std::strlen(word);
    const bool prefix = n > 0 && word[n - 1] == ':';
    for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) {
        const bool starts = at == 0 || blank(text[at - 1]);
        const bool ends = prefix || at + n == text.size() || blank(text[at + n]);
        if (starts && ends) return at;
    }
    return std::string::npos;
}

const char* word_of(int id) {
    for (const export_option_box& b : kBoxes)
        if (b.id == id) return b.word;
    return "";
}

void set_by(std::string& text, const char* word, bool on) {
    if (on) export_options_add(text, word);
    else export_options_remove(text, word);
}

}  // namespace

const export_option_box* export_option_boxes(uint32_t* count) {
    *count = kBoxCount;
    return kBoxes;
}

uint32_t export_option_bit(int id) {
    for (uint32_t i = 0; i < kBoxCount; ++i)
        if (kBoxes[i].id == id) return 1u << i;
    return 0;
}

bool export_options_has(const std::string& text, const char* word) {
    return find_word(text, word) != std::string::npos;
}

void export_options_add(std::string& text, const char* word) {
    if (export_options_has(text, word)) return;
    text += ' ';
    text += word;
}

void export_options_remove(std::string& text, const char* word) {
    for (size_t at = find_word(text, word); at != std::string::npos; at = find_word(text, word)) {
        size_t end = at;
        while (end < text.size() && !blank(text[end])) ++end;
        if (at > 0) --at;   // the blank in front (find_word saw one there)
        text.erase(at, end - at);
    }
}

uint32_t export_options_checked(const std::string& text) {
    uint32_t mask = 0;
    for (uint32_t i = 0; i < kBoxCount; ++i)
        if (export_options_has(text, kBoxes[i].word)) mask |= 1u << i;
    if (export_options_has(text, "-ro")) mask |= export_option_bit(IDC_OPT_READONLY);
    return mask;
}

std::string export_options_sync(std::string text, uint32_t checked, int clicked, bool clients_empty) {
    auto on = [checked](int id) { return (checked & export_option_bit(id)) != 0; };
    for (int id : kPlainBoxes) set_by(text, word_of(id), on(id));
    export_options_remove(text, "-ro");
    set_by(text, "-readonly", on(IDC_OPT_READONLY));
    set_by(text, "-w", on(IDC_OPT_ANSI));
    if (clicked == IDC_OPT_ANSI && on(IDC_OPT_ANSI)) {
        export_options_remove(text, "-a");
        export_options_remove(text, "-u");
    }
    for (int id : kArgumentBoxes) set_by(text, word_of(id), on(id));
    if (on(IDC_OPT_RANGE) && clients_empty) export_options_remove(text, "-range");
    return text;
}

export_options_verdict export_options_check(std::string& text) {
    while (!text.empty() && (blank(text.back()) || text.back() == '\r' || text.back() == '\n')) text.pop_back();
    if (text.empty()) return EXPORT_OPTIONS_OK;
    if (text.back() == ':' || text.find(": ") != std::string::npos || text.find(":\t") != std::string::npos)
        return EXPORT_OPTIONS_NO_ARGUMENT;
    size_t at = 0;
    while (at < text.size()) {
        while (at < text.size() && blank(text[at])) ++at;
        size_t end = at;
        while (end < text.size() && !blank(text[end])) ++end;
        if (end == at) break;
        const std::string w = text.substr(at, end - at);
        bool known = false;
        for (const char* exact : kExactWords) known = known || w == exact;
        for (const char* start : kArgumentWords) known = known || w.rfind(start, 0) == 0;
        if (!known) return EXPORT_OPTIONS_UNKNOWN;
        at = end;
    }
    return EXPORT_OPTIONS_OK;
}
