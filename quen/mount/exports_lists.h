// The active and retired export lists, shared by the loader and the lookups.
#pragma once
#include "quen/mount/export_entry.h"

struct export_lists {
    export_entry* active = nullptr;
    export_entry* retired = nullptr;
};

export_lists& exports_lists();
// Puts the active list in front of the retired one and empties it.
void exports_lists_retire_active();
