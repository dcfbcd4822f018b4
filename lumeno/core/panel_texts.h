// The panel's texts by string number: the built-in English ones, or those of
// a source the window layer installs (the string table, later a language
// file). Every text has the key a language file names it by.
#pragma once
#include "lumeno/core/panel_dialog_ids.h"
#include "lumeno/core/panel_ids.h"

#include <cstdint>
#include <string>

struct panel_text_entry {
    uint32_t id;          // IDS_*
    const char* key;      // its [Strings] key
    const char* builtin;  // the English default
};

// Every [Strings] text the panel uses, in string-number order.
const panel_text_entry* panel_text_table(uint32_t* count);
// The same for the export editor and the configuration sheet.
const panel_text_entry* panel_dialog_text_table(uint32_t* count);

// The [Strings] key of id; null for an unknown id.
const char* panel_text_key(uint32_t id);

// Fills out with the text of id; false when the source has none (the
// built-in text is then used).
using panel_text_source = bool (*)(uint32_t id, std::string* out);
void panel_set_text_source(panel_text_source source);

// The text of id: from the source when it gives a non-empty one, else the
// built-in text; "" for an unknown id.
std::string panel_text(uint32_t id);
