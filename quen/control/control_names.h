// File names and search patterns that clients of the pipe append to the
// server's log or data directory.
#pragma once

// A single name inside the directory: not empty, no "/" or "\", no ":"
// (drive or alternate stream), no "..", no trailing dot or blank (Windows
// would drop them and name another file), and not a reserved device
// name (CON, PRN, AUX, NUL, COM1-9, LPT1-9, also with an extension or
// trailing dots and blanks). Wildcards pass: a pattern is checked the same way.
bool control_name_acceptable(const char* name);

// A log file of the server ("quen" ... ".log", in any case, as Windows
// matches names): the only files a caller who is not an administrator may
// open or list; the data files beside them stay the administrators'.
bool control_log_name(const char* name);
