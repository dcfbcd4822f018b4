#include "lumeno/core/exports_file.h"

#include "lumeno/core/panel_texts.h"
#include "platform/registry.h"
#include "platform/win_error.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char kServerKey[] = "Software\\Tervalo\\quen";
constexpr size_t kNone = std::string::npos;

bool blank(char c) { return c == ' ' || c == '\t'; }

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < text.size()) {
        const size_t end = text.find('\n', at);
        if (end == kNone) {
            lines.push_back(text.substr(at) + "\n");
            break;
        }
        lines.push_back(text.substr(at, end + 1 - at));
        at = end + 1;
    }
    return lines;
}

// The first token of a line: "" for an empty or comment line.
std::string first_token(const std::string& line) {
    size_t at = 0;
    while (at < line.size() && blank(line[at])) ++at;
    if (at == line.size() || line[at] == '#' || line[at] == '\r' || line[at] == '\n') return "";
    if (line[at] == '"') {
        const size_t close = line.find('"', at + 1);
        return line.substr(at, close == kNone ? kNone : close + 1 - at);
    }
    size_t end = at;
    while (end < line.size() && !blank(line[end]) && line[end] != '\r' && line[end] != '\n') ++end;
    return line.substr(at, end - at);
}

// A line that starts an entry: its first token is a path (the parser's rule:
// quoted, or a word with a backslash, colon or "{").
bool starts_entry(const std::string& token) {
    return !token.empty() && (token[0] == '"' || token.find_first_of("\\:{") != kNone);
}

// The folder in one spelling for comparison: no quotes, upper case, forward
// slashes as backslashes, no trailing backslashes.
std::string folder_key(const std::string& folder) {
    std::string k;
    for (char ch : folder) {
        if (ch == '"') continue;
        k += ch == '/' ? '\\' : char(std::toupper(static_cast<unsigned char>(ch)));
    }
    while (!k.empty() && k.back() == '\\') k.pop_back();
    return k;
}

// The lines of an entry that starts at line i: it and the lines its options
// or clients continue on (up to an empty or comment line or the next entry).
size_t entry_end(const std::vector<std::string>& lines, size_t i) {
    size_t end = i + 1;
    while (end < lines.size()) {
        const std::string t = first_token(lines[end]);
        if (t.empty() || starts_entry(t)) break;
        ++end;
    }
    return end;
}

// The line each row's entry starts at, kNone when the file has none: rows
// are the accepted entries in file order, so each is looked for after the
// previous one's line.
std::vector<size_t> match_rows(const std::vector<std::string>& lines, const std::vector<panel_row>& rows) {
    std::vector<size_t> at(rows.size(), kNone);
    size_t from = 0;
    for (size_t r = 0; r < rows.size(); ++r) {
        if (rows[r].ref == 0) break;
        const std::string want = folder_key(rows[r].text[0]);
        for (size_t i = from; i < lines.size(); ++i) {
            const std::string t = first_token(lines[i]);
            if (starts_entry(t) && folder_key(t) == want) {
                at[r] = i;
                from = i + 1;
                break;
            }
        }
    }
    return at;
}

// The options column of the view begins with a blank; a typed one may too.
std::string trimmed(const std::string& s) {
    size_t a = 0, b = s.size();
    while (a < b && blank(s[a])) ++a;
    while (b > a && (blank(s[b - 1]) || s[b - 1] == '\r' || s[b - 1] == '\n')) --b;
    return s.substr(a, b - a);
}

}  // namespace

std::string exports_entry_line(const std::string& folder, const std::string& options, const std::string& clients) {
    const std::string o = trimmed(options), c = trimmed(clients);
    std::string line;
    if (folder.find_first_of(" \t") != kNone) {
        line += '"';
        line += folder;
        line += '"';
    } else {
        line = folder;
    }
    if (!o.empty()) {
        line += ' ';
        line += o;
    }
    if (!c.empty()) {
        line += ' ';
        line += c;
    }
    line += '\n';
    return line;
}

std::string exports_rebuild(const std::string& old_text, const std::vector<panel_row>& rows,
                            const exports_change& change) {
    const std::vector<std::string> lines = split_lines(old_text);
    const std::vector<size_t> at = match_rows(lines, rows);
    const std::string entry = exports_entry_line(change.folder, change.options, change.clients);
    const size_t target = change.row < rows.size() ? at[change.row] : kNone;

    std::string out;
    bool written = false;
    for (size_t i = 0; i < lines.size();) {
        if (i == target) {
            out += entry;
            written = true;
            if (change.edit) {
                i = entry_end(lines, i);
                continue;
            }
        }
        out += lines[i++];
    }
    // Active entries the file does not hold (it changed behind the panel's back).
    for (size_t r = 0; r < rows.size(); ++r) {
        if (rows[r].ref == 0) break;
        if (at[r] != kNone || (change.edit && r == change.row)) continue;
        if (!written && r == change.row) {
            out += entry;
            written = true;
        }
        out += exports_entry_line(rows[r].text[0], rows[r].text[1], rows[r].text[2]);
    }
    if (!written) out += entry;
    return out;
}

int exports_read(control_client& c, std::string* text, size_t limit) {
    text->clear();
    uint32_t file = 0;
    const int rc = control_open_file(c, "exports", "r", &file);
    if (rc <= 0) return rc;
    char line[kControlDataMax];
    int n = 0;
    while ((n = control_read_line(c, file, line, sizeof line)) > 0) {
        const size_t len = std::strlen(line);
        if (text->size() + len > limit) {
            text->append(line, limit - text->size());
            break;
        }
        text->append(line, len);
    }
    const int closed = control_close_file(c, file);
    return n < 0 || closed < 0 ? -1 : 1;
}

std::string exports_editor_text(const std::string& file_text, size_t limit) {
    std::string out;
    size_t at = 0;
    while (at < file_text.size()) {
        size_t end = file_text.find('\n', at);
        if (end == kNone) end = file_text.size();
        std::string line = file_text.substr(at, end - at);
        const size_t cut = line.find_first_of("\r\n");
        if (cut != kNone) line.resize(cut);
        if (out.size() + line.size() + 2 > limit) break;
        out += line;
        out += "\r\n";
        at = end + 1;
    }
    return out;
}

bool exports_editor_fits(const std::string& file_text, size_t limit) {
    size_t lines = 0;
    for (char ch : file_text) lines += ch == '\n';
    if (!file_text.empty() && file_text.back() != '\n') ++lines;
    size_t kept = 0;
    const std::string shown = exports_editor_text(file_text, limit);
    for (char ch : shown) kept += ch == '\n';
    return kept == lines;
}

int exports_write(control_client& c, const std::string& text, const char* mode) {
    uint32_t file = 0;
    const int rc = control_open_file(c, "exports", mode, &file);
    if (rc <= 0) return rc;
    int result = 1;
    for (size_t at = 0; at < text.size();) {
        const uint32_t piece = uint32_t(std::min<size_t>(kExportsWritePiece, text.size() - at));
        const int n = control_write_file(c, file, text.data() + at, piece);
        if (n <= 0) {
            result = n < 0 ? -1 : 0;
            break;
        }
        at += size_t(n);
    }
    const int closed = control_close_file(c, file);
    if (closed < 0) return -1;
    return closed == 0 ? 0 : result;
}

int exports_reload(control_client& c) {
    const int rc = control_request(c, CTL_RELOAD_EXPORTS, 0, nullptr);
    return rc < 0 ? -1 : rc > 0 ? 1 : 0;
}

int exports_save_change(control_client& c, const std::vector<panel_row>& rows, const exports_change& change) {
    std::string old_text;
    // Read before writing: the new file replaces the old one only when it is closed.
    if (exports_read(c, &old_text, kExportsFileMax + 1) < 0) return -1;
    if (old_text.size() > kExportsFileMax) return 0;   // its end would be lost
    const int written = exports_write(c, exports_rebuild(old_text, rows, change), "w");
    if (written <= 0) return written;
    return exports_reload(c);
}

std::string exports_status_text(int32_t error, int32_t line) {
    if (error < 1 || error > 8) return "";
    const std::string text = panel_text(uint32_t(IDS_EXP_ERROR_1 + error - 1));
    if (error == 1) return text;
    // Translated texts are joined, never used as a format.
    return panel_text(IDS_LINE) + " " + std::to_string(unsigned(line)) + " " + text;
}

std::string exports_status_text_stored() {
    int32_t values[2] = {0, 0};
    const char* const names[2] = {"ExportsError", "ExportsLine"};
    for (int i = 0; i < 2; ++i) {
        char text[32] = {};
        uint32_t type = 0, size = sizeof text - 1;
        if (reg_query_value(REG_LOCAL_MACHINE, kServerKey, names[i], &type, text, &size) == WIN_ERROR_SUCCESS &&
            type == REG_VALUE_SZ)
            values[i] = int32_t(std::strtol(text, nullptr, 10));
    }
    return exports_status_text(values[0], values[1]);
}
