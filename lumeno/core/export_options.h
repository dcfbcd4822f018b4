// The export entry dialog's options text and its check boxes, kept in step
// both ways, and the check of the text before it is saved.
#pragma once
#include <cstdint>
#include <string>

// One check box and the option word it stands for.
struct export_option_box {
    int id;             // the dialog control
    const char* word;   // "-alldirs"; words ending in ":" take an argument
};
// The dialog's boxes; bit i of a box mask stands for entry i.
const export_option_box* export_option_boxes(uint32_t* count);
uint32_t export_option_bit(int id);   // 0 for an id that is no box

// Whether the word occurs in the text as a word of its own (after the
// start, a blank or a tab; for a word ending in ":" as the start of one).
bool export_options_has(const std::string& text, const char* word);
// Appends a blank and the word when it is missing.
void export_options_add(std::string& text, const char* word);
// Deletes every occurrence of the word, its argument and one blank or tab in
// front of it.
void export_options_remove(std::string& text, const char* word);

// The boxes the text checks ("-ro" checks the read-only box).
uint32_t export_options_checked(const std::string& text);
// The text after a click on box `clicked` (0: the clients field changed),
// with the boxes of `checked` ticked and the clients field empty or not.
std::string export_options_sync(std::string text, uint32_t checked, int clicked, bool clients_empty);

enum export_options_verdict {
    EXPORT_OPTIONS_OK,
    EXPORT_OPTIONS_NO_ARGUMENT,   // ends in ":" or holds ": " (the NOOPTARG message)
    EXPORT_OPTIONS_UNKNOWN,       // a word the server does not accept (no message)
};
// Strips trailing white space from the text, then judges it.
export_options_verdict export_options_check(std::string& text);
