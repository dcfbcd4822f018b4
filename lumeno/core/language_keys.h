// The keys by which a language file replaces the texts of the dialogs'
// controls ([Control]) and of the menu bar ([Menu]), with the built-in
// English text each one stands for.
#pragma once
#include <cstdint>

struct panel_control_key {
    int dialog;            // IDD_*
    int control;           // the control's id in that dialog
    const char* key;       // its [Control] key
    const char* builtin;   // the resource's English text
};

// A menu bar item: a command item by its command number, a popup by its
// position (top, and sub for a popup inside a top-level popup, else -1).
struct panel_menu_key {
    uint32_t command;      // 0 for a popup
    int top, sub;
    const char* key;       // its [Menu] key
    const char* builtin;
};

const panel_control_key* panel_control_keys(uint32_t* count);
const panel_menu_key* panel_menu_keys(uint32_t* count);
