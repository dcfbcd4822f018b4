#include "lumeno/core/log_print.h"

#include "lumeno/core/log_view.h"


int log_lines_per_page(int page_height, int line_height) {
    if (line_height <= 0 || page_height <= 0) return 1;
    const int lines = page_height / line_height - 2;
    return lines > 0 ? lines : 1;
}

std::string log_page_header(const std::string& name, unsigned page) {
    return name + "  --  " + std::to_string(page);
}

int log_print(control_client& c, const std::string& name, int lines_per_page, const log_print_sink& sink) {
    if (lines_per_page < 1) lines_per_page = 1;
    uint32_t file = 0;
    const int opened = control_open_file(c, name.c_str(), "r", &file);
    if (opened <= 0) return opened;
    std::string line;
    int rc = 1, pages = 0, row = 0;
    bool failed = false;
    for (uint32_t printed = 0; printed < kLogPrintMax; ++printed) {
        rc = log_read_line(c, file, &line);
        if (rc <= 0) break;
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        if (row == 0 && !sink.start_page(sink.context, log_page_header(name, unsigned(pages + 1)))) {
            failed = true;
            break;
        }
        sink.line(sink.context, row, line);
        if (++row == lines_per_page) {
            row = 0;
            ++pages;
            if (!sink.end_page(sink.context)) {
                failed = true;
                break;
            }
        }
    }
    if (!failed && row > 0) {
        ++pages;
        failed = !sink.end_page(sink.context);
    }
    const int closed = control_close_file(c, file);
    if (rc < 0 || closed < 0) return -1;
    return failed ? 0 : pages;
}
