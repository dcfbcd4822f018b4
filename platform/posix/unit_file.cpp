#include "platform/posix/unit_file.h"

#include "platform/posix/drive_map.h"
#include "platform/posix/errno_map.h"
#include "platform/posix/file_replace.h"
#include "platform/win_error.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace {

constexpr size_t kMaxServiceName = 200;          // unit names are limited to 255 bytes
constexpr size_t kMaxDependencyList = 64 * 1024;  // bound on a malformed list

// A value for a line of its own: no control characters, and no trailing
// backslash, which would join the next line to it.
bool valid_line_value(const std::string& v) {
    for (unsigned char c : v)
        if (c < 0x20 || c == 0x7f) return false;
    return v.empty() || v.back() != '\\';
}

// systemd expands "%" specifiers in most values.
std::string escape_specifiers(const std::string& v) {
    std::string out;
    for (char c : v) {
        out += c;
        if (c == '%') out += '%';
    }
    return out;
}

// One word of ExecStart: specifiers, variables and C escapes made literal,
// quoted when it holds characters that would split or unquote it.
std::string exec_word(const std::string& w) {
    std::string out;
    bool quote = w.empty();
    for (char c : w) {
        switch (c) {
        case '%': out += "%%"; break;
        case '$': out += "$$"; break;
        case '\\': out += "\\\\"; quote = true; break;
        case '"': out += "\\\""; quote = true; break;
        case ' ': case '\t': case '\'': case ';': out += c; quote = true; break;
        default: out += c;
        }
    }
    return quote ? "\"" + out + "\"" : out;
}

// Options are kept as written, with specifiers, variables and backslashes
// made literal.
std::string exec_options(const std::string& options) {
    std::string out;
    for (char c : options) {
        if (c == '%') out += "%%";
        else if (c == '$') out += "$$";
        else if (c == '\\') out += "\\\\";
        else out += c;
    }
    return out;
}

// "Z:\usr\local\bin\quen -portmap" -> "/usr/local/bin/quen -portmap": the
// Windows-form executable path (before the first " -", or quoted) becomes the
// native one.
uint32_t exec_start_value(const std::string& command_line, std::string& out) {
    std::string path, options;
    if (!command_line.empty() && command_line[0] == '"') {
        const size_t close = command_line.find('"', 1);
        if (close == std::string::npos) return WIN_ERROR_INVALID_PARAMETER;
        path = command_line.substr(1, close - 1);
        options = command_line.substr(close + 1);
    } else {
        const size_t dash = command_line.find(" -");
        path = command_line.substr(0, dash);
        if (dash != std::string::npos) options = command_line.substr(dash);
    }
    std::string native;
    if (!windows_to_native_path(path.c_str(), native) || native.empty()) return WIN_ERROR_BAD_PATHNAME;
    out = exec_word(native) + exec_options(options);
    return WIN_ERROR_SUCCESS;
}

bool equals_ignoring_case(const char* a, const char* b) {
    for (; *a && *b; ++a, ++b) {
        const char ca = (*a >= 'A' && *a <= 'Z') ? char(*a + 32) : *a;
        const char cb = (*b >= 'A' && *b <= 'Z') ? char(*b + 32) : *b;
        if (ca != cb) return false;
    }
    return *a == *b;
}

}  // namespace

bool valid_service_name(const char* name) {
    if (!name || !*name || std::strlen(name) > kMaxServiceName) return false;
    for (const char* p = name; *p; ++p) {
        const char c = *p;
        const bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!alnum && c != '_' && (p == name || (c != '.' && c != ':' && c != '-'))) return false;
    }
    return true;
}

uint32_t unit_text(const svc_config& c, std::string& text) {
    const std::string display = c.display_name ? c.display_name : c.name;
    const std::string group = c.group ? c.group : "";
    const std::string command = c.command_line ? c.command_line : "";
    if (!valid_line_value(display) || !valid_line_value(group) || !valid_line_value(command) || command.empty())
        return WIN_ERROR_INVALID_PARAMETER;
    std::string exec_start;
    if (const uint32_t e = exec_start_value(command, exec_start)) return e;

    text = "[Unit]\nDescription=" + escape_specifiers(display) + "\n";
    if (c.dependencies) {
        size_t total = 0;
        for (const char* d = c.dependencies; *d; d += std::strlen(d) + 1) {
            total += std::strlen(d) + 1;
            if (total > kMaxDependencyList) return WIN_ERROR_INVALID_PARAMETER;
            if (equals_ignoring_case(d, "tcpip")) {
                text += "After=network-online.target\nWants=network-online.target\n";
            } else {
                if (!valid_service_name(d)) return WIN_ERROR_INVALID_PARAMETER;
                text += "After=" + std::string(d) + ".service\nRequires=" + std::string(d) + ".service\n";
            }
        }
    }
    if (!group.empty()) text += "X-LoadOrderGroup=" + escape_specifiers(group) + "\n";
    text += "\n[Service]\nType=simple\nExecStart=" + exec_start +
            "\nKillSignal=SIGTERM\nTimeoutStopSec=30\nRestart=no\n"
            "\n[Install]\nWantedBy=multi-user.target\n";
    return WIN_ERROR_SUCCESS;
}

bool read_file(const std::string& path, std::string& out) {
    out.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int e = errno;
            ::close(fd);
            errno = e;
            return false;
        }
        if (n == 0) break;
        out.append(buf, size_t(n));
    }
    ::close(fd);
    return true;
}
uint32_t write_unit_file(const std::string& path, const std::string& text, bool exclusive) {
    const int e = replace_native_file(path, text, 0644, exclusive ? REPLACE_CREATE_NEW : REPLACE_EXISTING);
    if (e == EEXIST && exclusive) return WIN_ERROR_SERVICE_EXISTS;
    return e == 0 ? WIN_ERROR_SUCCESS : errno_to_win32(e, WIN_ERROR_CANTWRITE);
}

std::string set_section_key(const std::string& text, const std::string& section, const std::string& key,
                            const std::string& value) {
    std::vector<std::string> lines;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    const std::string header = "[" + section + "]";
    const std::string line = key + "=" + value;
    size_t begin = lines.size();
    for (size_t i = 0; i < lines.size(); ++i)
        if (lines[i] == header) {
            begin = i;
            break;
        }
    if (begin == lines.size()) {
        lines.insert(lines.begin(), {header, line, ""});
    } else {
        size_t last = begin;   // the section's last non-blank line
        bool replaced = false;
        for (size_t i = begin + 1; i < lines.size() && !(lines[i].size() && lines[i][0] == '['); ++i) {
            if (lines[i].compare(0, key.size() + 1, key + "=") == 0) {
                lines[i] = line;
                replaced = true;
                break;
            }
            if (!lines[i].empty()) last = i;
        }
        if (!replaced) lines.insert(lines.begin() + long(last + 1), line);
    }
    std::string out;
    for (const std::string& l : lines) out += l + "\n";
    return out;
}
