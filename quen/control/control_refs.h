// quen/control: the control pipe server. Uses every layer below it.
//
// Per-connection tables of what a client opened (files, searches). The
// reference handed out names a slot and a generation, so a forged, stale or
// closed reference finds nothing; the table is bounded, so one client cannot
// hold an unbounded number of open objects.
#pragma once
#include <cstdint>

inline constexpr unsigned kControlRefSlots = 16;

struct control_ref_table {
    void* object[kControlRefSlots] = {};
    uint32_t generation[kControlRefSlots] = {};
    uint32_t next_generation = 1;
};

// Stores the object. Result: its reference, 0 when the table is full.
uint32_t control_ref_add(control_ref_table& t, void* object);
// The object of a live reference, or null.
void* control_ref_get(const control_ref_table& t, uint32_t ref);
// Takes the object out of the table; null when the reference is not live.
void* control_ref_take(control_ref_table& t, uint32_t ref);
