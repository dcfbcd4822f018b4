#include "lumeno/core/log_view.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

constexpr uint32_t kDirectoryAttribute = 0x10;

bool has_time_stamp(std::string_view line) {
    return line.size() >= 19 && line[4] == '-' && line[13] == ':';
}

void add_found(const control_find_data& found, std::vector<std::string>* names) {
    if (found.attributes & kDirectoryAttribute) return;
    const size_t n = strnlen(found.name, sizeof found.name);
    if (n == 0 || n > kLogFileNameMax) return;
    names->emplace_back(found.name, n);
}

}  // namespace

std::string log_month_name(int year, int month) {
    char name[32];
    std::snprintf(name, sizeof name, "quen%02d%02d.log", ((year % 100) + 100) % 100, month % 100);
    return name;
}

log_row log_split_line(std::string_view line) {
    log_row row;
    std::string_view message = line;
    if (has_time_stamp(line)) {
        row.date = std::string(line.substr(0, 10));
        row.time = std::string(line.substr(11, 8));
        message = line.size() > 20 ? line.substr(20) : std::string_view();
        if (line.find(" error ") != std::string_view::npos) row.mark = LOG_MARK_ERROR;
    } else if (line.find("mountd: Line ") != std::string_view::npos) {
        row.mark = LOG_MARK_ERROR;
    }
    row.message = std::string(message.substr(0, kLogLineShown));
    return row;
}

int log_list_files(control_client& c, const std::string& current, std::vector<std::string>* names) {
    names->clear();
    uint32_t search = 0;
    control_find_data found{};
    int rc = control_find_first(c, kLogPattern, &search, &found);
    if (rc > 0) {
        add_found(found, names);
        while ((rc = control_find_next(c, search, &found)) > 0) add_found(found, names);
        if (control_find_close(c, search) < 0) rc = -1;
    }
    std::sort(names->begin(), names->end());
    names->erase(std::unique(names->begin(), names->end()), names->end());
    if (names->empty()) names->push_back(current);
    return rc < 0 ? -1 : 1;
}

size_t log_choose(const std::vector<std::string>& names, const std::string& current) {
    const auto at = std::find(names.begin(), names.end(), current);
    return at == names.end() ? 0 : size_t(at - names.begin());
}

int log_load(control_client& c, const std::string& name, std::vector<log_row>* rows) {
    rows->clear();
    uint32_t file = 0;
    const int opened = control_open_file(c, name.c_str(), "r", &file);
    if (opened <= 0) return opened;
    std::string line;
    int rc = 0;
    while ((rc = log_read_line(c, file, &line)) > 0) {
        if (line.size() < 3) continue;
        // Only a line end is dropped: a last line without one keeps its last character.
        if (line.back() == '\n') line.pop_back();
        if (!line.empty() && line.back() == '\r') line.pop_back();
        rows->push_back(log_split_line(line));
    }
    const int closed = control_close_file(c, file);
    return rc < 0 || closed < 0 ? -1 : 1;
}

void log_column_widths(int client_width, int scroll_width, int out[4]) {
    static constexpr int kPercent[4] = {4, 13, 11, 60};
    const int width = client_width > scroll_width ? client_width - scroll_width : 0;
    for (int i = 0; i < 4; ++i) out[i] = width * kPercent[i] / 100;
}

int log_read_line(control_client& c, uint32_t file, std::string* line) {
    line->clear();
    char piece[kControlDataMax];
    for (;;) {
        const int n = control_read_line(c, file, piece, sizeof piece);
        if (n <= 0) return n < 0 ? -1 : (line->empty() ? 0 : 1);
        const size_t len = strnlen(piece, size_t(n));
        if (line->size() < kLogLineHeld) line->append(piece, std::min(len, kLogLineHeld - line->size()));
        if (len > 0 && piece[len - 1] == '\n') return 1;
    }
}
