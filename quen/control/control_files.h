// The file and search commands over the log and data directories, and the
// Explorer menu command.
#pragma once
#include "quen/control/control_request.h"

uint32_t control_find_first(control_session& s, const control_request& r, uint8_t* reply);
uint32_t control_find_next(control_session& s, const control_request& r, uint8_t* reply);
uint32_t control_find_close(control_session& s, const control_request& r, uint8_t* reply);
uint32_t control_open_file(control_session& s, const control_request& r, uint8_t* reply);
uint32_t control_close_file(control_session& s, const control_request& r, uint8_t* reply);
uint32_t control_read_line(control_session& s, const control_request& r, uint8_t* reply);
uint32_t control_write_file(control_session& s, const control_request& r, uint8_t* reply);
uint32_t control_shell_menu(control_session& s, const control_request& r, uint8_t* reply);

// Closes every file and search of the session.
void control_files_close_all(control_session& s);
