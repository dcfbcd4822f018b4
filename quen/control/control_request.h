// One decoded request and the pieces the command handlers share.
#pragma once
#include <cstdint>

struct control_session;

struct control_request {
    uint32_t code;
    uint32_t length;        // the length word, at most `received`
    const uint8_t* data;
    uint32_t received;      // data bytes that arrived
};

// Writes the reply into its buffer. Result: the reply's size.
using control_handler = uint32_t (*)(control_session& s, const control_request& r, uint8_t* reply);

// The NUL-terminated text at `offset` of the data, ending within the length
// word's bytes; null when no NUL ends it there.
const char* control_text(const control_request& r, uint32_t offset);
// Status 0 with the length word; the data was written at offset 8 already.
uint32_t control_reply(uint8_t* reply, uint32_t length);
// The same where the length word is not the count of data bytes.
uint32_t control_reply(uint8_t* reply, uint32_t length, uint32_t data_bytes);
