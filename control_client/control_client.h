// The client side of the control pipe: one connection kept open between
// requests and opened anew after a failure, so that the server determines
// the caller's rights again. Results follow one rule: -1 the pipe failed
// (no server, or the transaction broke), 0 the server refused or answered
// something unexpected, positive success.
#pragma once
#include "control_client/control_protocol.h"
#include <cstdint>

struct pipe_conn;

struct control_client {
    pipe_conn* conn = nullptr;
    uint8_t reply[kControlMessageMax];   // the last reply
};

void control_disconnect(control_client& c);

// Sends a whole message. Result: -1; 0 when the reply is shorter than 4 bytes
// or its status is not 0; else the reply's size (in c.reply).
int control_transact(control_client& c, const void* message, uint32_t size);
// A request of code and data; the reply's data (its length word of bytes,
// at least `minimum`, at most `capacity`) is copied to result. Result: -1, 0 or 1.
int control_request_result(control_client& c, uint32_t code, uint32_t length, const void* data, uint32_t minimum,
                           void* result, uint32_t capacity);
// A request whose reply is judged by transact alone.
int control_request(control_client& c, uint32_t code, uint32_t length, const void* data);

// The log-file commands. Each checks the exact reply size.
int control_find_first(control_client& c, const char* pattern, uint32_t* search, control_find_data* found);
int control_find_next(control_client& c, uint32_t search, control_find_data* found);
int control_find_close(control_client& c, uint32_t search);
int control_open_file(control_client& c, const char* name, const char* mode, uint32_t* file);
int control_close_file(control_client& c, uint32_t file);
// One line (at most 4087 characters, with its line end) into out. Result:
// its length including the NUL; 0 at the end of the file.
int control_read_line(control_client& c, uint32_t file, char* out, uint32_t size);
// Result: the bytes written (0 when none), or -1.
int control_write_file(control_client& c, uint32_t file, const void* data, uint32_t count);
// Registers the verb (menu_text non-null) or removes it. A request beyond
// 4096 bytes is not sent (result 0).
int control_shell_menu(control_client& c, const char* parent, const char* verb, const char* menu_text,
                       const char* command);
