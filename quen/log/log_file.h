// quen/log: the server's log file. The bottom layer beside config/: uses
// only rpc/ and platform/.
//
// Where the server's log goes: the monthly file "quenYYMM.log" in the log
// directory, standard output when running in the console with -debug, or
// nowhere (standard error) when logging is off.
#pragma once
#include <ctime>

// The name of the log file for the month of `when`, "quen%y%m.log".
void log_file_name(std::time_t when, char* out, unsigned size);

// Opens the log once at start. A log level of 2 or more already set by -debug
// means standard output and no file; otherwise the level becomes `configured` ("Log") and
// the file is opened in `log_dir` (which carries its trailing backslash).
// Failure to open switches logging off for the run.
void log_open(const char* log_dir, int configured, std::time_t now);

// Closes the file at the end of start-up unless the stream is standard output.
void log_close_file();
