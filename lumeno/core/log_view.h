// The log viewer's decisions: which monthly log files the server offers,
// which one is chosen first, and how each line of a file becomes a row
// (date, time, message and its mark). The files are read through the
// server only, so that the panel shows the log directory it cannot open.
#pragma once
#include "control_client/control_client.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

inline constexpr size_t kLogLineShown = 1023;    // characters of a line the viewer shows
inline constexpr size_t kLogLineHeld = 16384;    // characters of one line judged for its mark
inline constexpr uint32_t kLogFileNameMax = 126;
inline constexpr char kLogPattern[] = "quen*.log";

enum log_mark : int { LOG_MARK_LINE = 0, LOG_MARK_ERROR = 1 };   // the row images

struct log_row {
    int mark = LOG_MARK_LINE;
    std::string date, time, message;
};

// The current month's log name, "quen%y%m.log" (two-digit year and month).
std::string log_month_name(int year, int month);

// One line, its line end removed, as a row. A line of at least 19
// characters that starts "yyyy-mm-dd hh:mm:ss" is split; its mark is an
// error when it holds " error ". Any other line is the message alone,
// marked an error when it holds "mountd: Line ". The message is cut at
// kLogLineShown characters; the mark is judged on the whole line.
log_row log_split_line(std::string_view line);

// The log files the server lists for kLogPattern, folders left out, sorted,
// names longer than kLogFileNameMax left out. When the search finds nothing,
// or the server is not reachable, the list holds the current month's name
// alone. Result: -1 pipe failure, else 1.
int log_list_files(control_client& c, const std::string& current, std::vector<std::string>* names);
// The entry shown first: the current month's when listed, else the first.
size_t log_choose(const std::vector<std::string>& names, const std::string& current);

// Reads a log file through the server into rows. Lines shorter than 3
// characters are skipped. A line that comes in several pieces (longer
// than one reply holds) is one row. Result: -1 pipe failure, 0 not opened
// (rows empty), 1.
int log_load(control_client& c, const std::string& name, std::vector<log_row>* rows);

// One whole line of an open file, its pieces joined (the first
// kLogLineHeld characters kept, the rest read and dropped), with its line
// end. Result: -1 pipe failure, 0 at the end of the file, 1.
int log_read_line(control_client& c, uint32_t file, std::string* line);

// The list's column widths, in percent of its client width less a vertical
// scroll bar: the mark 4, the date 13, the time 11, the message 60.
void log_column_widths(int client_width, int scroll_width, int out[4]);
