// The control pipe's commands: one request message in, one reply out.
#pragma once
#include "quen/control/control_refs.h"
#include "quen/control/control_request.h"
#include <cstdint>

// What a connection holds: the administrator flag fixed by its first
// message, and the files and searches its client opened.
struct control_session {
    bool admin = false;
    bool identified = false;   // the first message has been seen
    control_ref_table files;
    control_ref_table searches;
    // The open write of the exports file: it goes to a file of its own and
    // replaces "exports" only when closed, so that a write cut short leaves
    // the previous file whole.
    void* exports_write = nullptr;
};

// Decodes and runs one request of `size` bytes into `reply` (room for
// kControlMessageMax bytes). The caller holds the control lock. Result: the
// reply's size, or 0 when the connection must end.
uint32_t control_process(control_session& s, const uint8_t* message, uint32_t size, uint8_t* reply);

// Closes what the connection left open.
void control_session_close(control_session& s);
