// Printing a log file: the page arithmetic and the order of pages and
// lines, with the drawing left to a sink the window layer gives (a printer
// device context; a recorder in the tests).
#pragma once
#include "control_client/control_client.h"

#include <cstdint>
#include <string>

inline constexpr uint32_t kLogPrintMax = 30000;   // lines printed in all, at most

// Lines below the header on a page: the page height over the line height,
// less the header's two lines; at least one, so that every page advances.
int log_lines_per_page(int page_height, int line_height);
// The header at the top left of each page: "name  --  page" (pages from 1).
std::string log_page_header(const std::string& name, unsigned page);

struct log_print_sink {
    void* context;
    bool (*start_page)(void* context, const std::string& header);   // false: printing ends, failed
    void (*line)(void* context, int row, const std::string& text);  // row 0 the first below the header
    bool (*end_page)(void* context);
};

// Prints the file (read once, front to back, through the server): each
// line without its line end, lines_per_page to a page, at most
// kLogPrintMax lines. Result: -1 pipe failure, 0 not opened or a page
// failed, else the number of pages printed (an empty file prints none).
int log_print(control_client& c, const std::string& name, int lines_per_page, const log_print_sink& sink);
