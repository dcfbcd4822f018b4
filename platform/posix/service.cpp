// Services on POSIX. A service is a systemd unit: installing writes the unit
// file and enables it, control goes through systemctl (run directly, never
// through a shell). In the running service SIGTERM is the STOP control and
// SIGINT/SIGQUIT are the console's Ctrl+C/Ctrl+Break; one thread waits for
// them with sigwait, so handlers run as ordinary code, never in signal context.
// The event log is syslog.
#include "platform/service.h"

#include "platform/posix/drive_map.h"
#include "platform/posix/errno_map.h"
#include "platform/win_error.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

extern char** environ;

namespace {

// ---- The last error --------------------------------------------------------

// Service errors have no errno. One is kept here and errno is cleared, so
// sys_last_error reports it until a later failing call sets errno again, as
// a later failing Win32 call overwrites the last error.
thread_local uint32_t t_service_error = 0;

uint32_t set_service_error(uint32_t e) {
    t_service_error = e;
    errno = 0;
    return e;
}

// Stores e in *error (when given) and as the last error. Result: e.
uint32_t fail(uint32_t* error, uint32_t e) {
    if (error) *error = e;
    return set_service_error(e);
}

size_t copy_out(const std::string& s, char* out, size_t size) {
    if (!out || size == 0) return 0;
    if (s.size() + 1 > size) {
        out[0] = 0;
        return 0;
    }
    std::memcpy(out, s.c_str(), s.size() + 1);
    return s.size();
}

const char* env_or(const char* name, const char* fallback) {
    const char* v = std::getenv(name);
    return v && *v ? v : fallback;
}

// ---- Signals -----------------------------------------------------------------

std::atomic<void (*)(uint32_t)> g_control_handler{nullptr};
std::atomic<bool (*)(uint32_t)> g_console_handler{nullptr};
std::once_flag g_watcher_once;
bool g_watcher_started = false;

sigset_t watched_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGQUIT);
    return set;
}

// What the signal would have done had nobody waited for it: for these three,
// end the process (the wait status then names the signal, as usual).
[[noreturn]] void take_default_action(int sig) {
    struct sigaction dfl{};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(sig, &dfl, nullptr);
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, sig);
    raise(sig);
    pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
    _exit(128 + sig);
}

void* signal_watcher(void*) {
    const sigset_t set = watched_signals();
    for (;;) {
        int sig = 0;
        if (sigwait(&set, &sig) != 0) continue;
        if (sig == SIGTERM) {
            if (auto h = g_control_handler.load()) {
                h(SVC_CONTROL_STOP);
                continue;
            }
        } else {
            auto h = g_console_handler.load();
            if (h && h(sig == SIGINT ? CONSOLE_CTRL_C : CONSOLE_CTRL_BREAK)) continue;
        }
        take_default_action(sig);
    }
}

// Blocks the three signals in the calling thread (threads started later
// inherit that) and starts the thread that waits for them, once.
bool watch_signals() {
    const sigset_t set = watched_signals();
    sigset_t before;
    if (pthread_sigmask(SIG_BLOCK, &set, &before) != 0) return false;
    std::call_once(g_watcher_once, [] {
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        pthread_t t;
        g_watcher_started = pthread_create(&t, &attr, signal_watcher, nullptr) == 0;
        pthread_attr_destroy(&attr);
    });
    // Without a watcher, blocked signals would never arrive: keep the old mask.
    if (!g_watcher_started) pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return g_watcher_started;
}

// ---- Running as a service ------------------------------------------------

constexpr uintptr_t kStatusHandle = 1;

bool started_by_service_manager() {
    const char* invocation = std::getenv("INVOCATION_ID");
    const char* forced = std::getenv("TERVALO_SERVICE");
    return (invocation && *invocation) || (forced && std::strcmp(forced, "1") == 0);
}

struct service_thread_args {
    void (*main)(int, char**);
    std::string name;
};

void* service_thread(void* p) {
    auto* a = static_cast<service_thread_args*>(p);
    char* argv[2] = {a->name.data(), nullptr};
    a->main(1, argv);
    return nullptr;
}

// Tells systemd about readiness or stopping when it asked for that
// (NOTIFY_SOCKET: a path, or "@name" in the abstract namespace).
void notify_systemd(const char* message) {
    const char* where = std::getenv("NOTIFY_SOCKET");
    if (!where || (where[0] != '/' && where[0] != '@')) return;
    const size_t len = std::strlen(where);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (len >= sizeof addr.sun_path) return;
    std::memcpy(addr.sun_path, where, len);
    if (where[0] == '@') addr.sun_path[0] = 0;
    const socklen_t addr_len = socklen_t(offsetof(sockaddr_un, sun_path) + len + (where[0] == '@' ? 0 : 1));
    const int saved = errno;
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd >= 0) {
        (void)::sendto(fd, message, std::strlen(message), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&addr),
                       addr_len);
        ::close(fd);
    }
    errno = saved;
}

// ---- Running systemctl ---------------------------------------------------

struct command_result {
    bool ran = false;      // the program was started and ended normally
    int exit_code = -1;
    std::string out;       // standard output, the first kOutputLimit bytes
};
constexpr size_t kOutputLimit = 4096;

// Runs argv[0] (searched in PATH unless it holds a slash) with the given
// arguments, no shell, standard input from /dev/null, standard output captured.
command_result run_program(const std::vector<std::string>& args) {
    command_result r;
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return r;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 1);
    // The child must not inherit the signals this process keeps blocked.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    const sigset_t watched = watched_signals();
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &watched);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, argv[0], &actions, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    ::close(pipe_fds[1]);
    if (rc != 0) {
        ::close(pipe_fds[0]);
        return r;
    }
    char buf[1024];
    for (;;) {
        const ssize_t n = ::read(pipe_fds[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (r.out.size() < kOutputLimit) r.out.append(buf, std::min(size_t(n), kOutputLimit - r.out.size()));
    }
    ::close(pipe_fds[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return r;
    }
    if (WIFEXITED(status)) {
        r.ran = true;
        r.exit_code = WEXITSTATUS(status);
    }
    return r;
}

// The Win32 view of systemctl's result. Its exit codes follow the LSB:
// 4 no permission, 5 no such unit, 6 unit masked.
uint32_t systemctl_error(const command_result& r) {
    if (!r.ran) return WIN_ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
    switch (r.exit_code) {
    case 0: return WIN_ERROR_SUCCESS;
    case 4: return WIN_ERROR_ACCESS_DENIED;
    case 5: return WIN_ERROR_SERVICE_DOES_NOT_EXIST;
    case 6: return WIN_ERROR_SERVICE_DISABLED;
    default: return WIN_ERROR_FAILED_SERVICE_CONTROLLER_CONNECT;
    }
}

// ---- Unit files ----------------------------------------------------------

constexpr size_t kMaxServiceName = 200;          // unit names are limited to 255 bytes
constexpr size_t kMaxDependencyList = 64 * 1024;  // bound on a malformed list

// Service names become unit names: letters, digits and "_.:-", starting with
// a letter, digit or "_" (no "@": that would name a template).
bool valid_service_name(const char* name) {
    if (!name || !*name || std::strlen(name) > kMaxServiceName) return false;
    for (const char* p = name; *p; ++p) {
        const char c = *p;
        const bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!alnum && c != '_' && (p == name || (c != '.' && c != ':' && c != '-'))) return false;
    }
    return true;
}

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

// Writes `text` as dir/file in one step: a hidden temporary beside it (which
// systemd ignores), then rename over the old file, or, when `exclusive`, a
// link that fails if the file exists (WIN_ERROR_SERVICE_EXISTS).
uint32_t write_unit_file(const std::string& dir, const std::string& file, const std::string& text,
                         bool exclusive) {
    std::string temp = dir + "/.#" + file + "XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) return errno_to_win32(errno, WIN_ERROR_CANTWRITE);
    int e = 0;
    for (size_t done = 0; done < text.size() && e == 0;) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) e = errno;
        else done += size_t(n);
    }
    if (e == 0 && ::fchmod(fd, 0644) != 0) e = errno;
    if (e == 0 && ::fsync(fd) != 0) e = errno;
    if (::close(fd) != 0 && e == 0) e = errno;
    const std::string target = dir + "/" + file;
    if (e == 0) {
        if (exclusive) {
            if (::link(temp.c_str(), target.c_str()) != 0) e = errno;
        } else if (::rename(temp.c_str(), target.c_str()) != 0) {
            e = errno;
        }
    }
    if (e != 0 || exclusive) ::unlink(temp.c_str());
    if (e == EEXIST && exclusive) return WIN_ERROR_SERVICE_EXISTS;
    return e == 0 ? WIN_ERROR_SUCCESS : errno_to_win32(e, WIN_ERROR_CANTWRITE);
}

// Sets "key=value" in [section]: replaces the first such line there, or adds
// one after the section's last non-blank line.
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

bool is_directory(const char* path) {
    struct stat st;
    return ::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

struct svc_manager {
    std::string unit_dir;
    std::string systemctl;
};

struct svc_service {
    std::string unit_dir;
    std::string systemctl;
    std::string name;

    std::string unit() const { return name + ".service"; }
    std::string unit_path() const { return unit_dir + "/" + unit(); }
    command_result systemctl_run(std::initializer_list<const char*> args) const {
        std::vector<std::string> argv{systemctl};
        for (const char* a : args) argv.emplace_back(a);
        return run_program(argv);
    }
    uint32_t daemon_reload() const { return systemctl_error(systemctl_run({"daemon-reload"})); }
};

// ---- Running as a service ----------------------------------------------

uint32_t svc_run_dispatcher(const char* name, void (*service_main)(int argc, char** argv)) {
    if (!name || !service_main) return set_service_error(WIN_ERROR_INVALID_PARAMETER);
    if (!started_by_service_manager()) return set_service_error(WIN_ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    // This thread only waits; it must not be the one that takes SIGTERM.
    watch_signals();
    service_thread_args args{service_main, name};
    pthread_t t;
    if (const int rc = pthread_create(&t, nullptr, service_thread, &args))
        return set_service_error(errno_to_win32(rc, WIN_ERROR_NOT_ENOUGH_MEMORY));
    pthread_join(t, nullptr);
    return WIN_ERROR_SUCCESS;
}

uintptr_t svc_register_handler(const char*, void (*handler)(uint32_t control)) {
    if (!handler) {
        set_service_error(WIN_ERROR_INVALID_PARAMETER);
        return 0;
    }
    g_control_handler.store(handler);
    if (!watch_signals()) {
        g_control_handler.store(nullptr);
        set_service_error(WIN_ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    return kStatusHandle;
}

bool svc_set_status(uintptr_t status_handle, const svc_status& status) {
    if (status_handle != kStatusHandle) {
        set_service_error(WIN_ERROR_INVALID_HANDLE);
        return false;
    }
    if (status.current_state == SVC_RUNNING) notify_systemd("READY=1");
    else if (status.current_state == SVC_STOP_PENDING) notify_systemd("STOPPING=1");
    return true;
}

bool console_set_handler(bool (*handler)(uint32_t event)) {
    g_console_handler.store(handler);
    if (watch_signals()) return true;
    set_service_error(WIN_ERROR_NOT_ENOUGH_MEMORY);
    return false;
}

void process_set_shutdown_level(uint32_t) {}

// ---- Installing and controlling --------------------------------------------

svc_manager* svc_open_manager(uint32_t* error) {
    const char* test_dir = std::getenv("TERVALO_SYSTEMD_DIR");
    const bool test_mode = test_dir && *test_dir;
    if (!test_mode && !is_directory("/run/systemd/system")) {
        fail(error, WIN_ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
        return nullptr;
    }
    std::string dir = test_mode ? test_dir : "/etc/systemd/system";
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    if (::access(dir.c_str(), W_OK) != 0) {
        fail(error, errno_to_win32(errno, WIN_ERROR_ACCESS_DENIED));
        return nullptr;
    }
    auto* m = new (std::nothrow) svc_manager{dir, env_or("TERVALO_SYSTEMCTL", "systemctl")};
    if (!m) {
        fail(error, WIN_ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (error) *error = WIN_ERROR_SUCCESS;
    return m;
}

void svc_close_manager(svc_manager* m) { delete m; }

svc_service* svc_create(svc_manager* m, const svc_config& config, uint32_t* error) {
    if (!m) {
        fail(error, WIN_ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (!valid_service_name(config.name)) {
        fail(error, WIN_ERROR_INVALID_NAME);
        return nullptr;
    }
    std::string text;
    if (const uint32_t e = unit_text(config, text)) {
        fail(error, e);
        return nullptr;
    }
    auto* s = new (std::nothrow) svc_service{m->unit_dir, m->systemctl, config.name};
    if (!s) {
        fail(error, WIN_ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    uint32_t e = write_unit_file(s->unit_dir, s->unit(), text, true);
    if (e == 0) {
        e = s->daemon_reload();
        if (e == 0) {
            e = systemctl_error(s->systemctl_run({"enable", s->unit().c_str()}));
            // A service is installed whole or not at all.
            if (e != 0) {
                ::unlink(s->unit_path().c_str());
                s->daemon_reload();
            }
        } else {
            ::unlink(s->unit_path().c_str());
        }
    }
    if (e != 0) {
        delete s;
        fail(error, e);
        return nullptr;
    }
    if (error) *error = WIN_ERROR_SUCCESS;
    return s;
}

svc_service* svc_open(svc_manager* m, const char* name, uint32_t* error) {
    if (!m) {
        fail(error, WIN_ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (!valid_service_name(name)) {
        fail(error, WIN_ERROR_INVALID_NAME);
        return nullptr;
    }
    auto* s = new (std::nothrow) svc_service{m->unit_dir, m->systemctl, name};
    if (!s) {
        fail(error, WIN_ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    struct stat st;
    if (::stat(s->unit_path().c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        delete s;
        fail(error, WIN_ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    if (error) *error = WIN_ERROR_SUCCESS;
    return s;
}

void svc_close(svc_service* s) { delete s; }

bool svc_set_description(svc_service* s, const char* description) {
    if (!s || !description) {
        set_service_error(s ? WIN_ERROR_INVALID_PARAMETER : WIN_ERROR_INVALID_HANDLE);
        return false;
    }
    std::string text;
    if (!read_file(s->unit_path(), text)) {
        set_service_error(errno == ENOENT ? WIN_ERROR_SERVICE_DOES_NOT_EXIST : errno_to_win32(errno));
        return false;
    }
    // One line, and no backslash at its end to join the next line to it.
    std::string value = description;
    for (char& c : value)
        if ((unsigned char)c < 0x20 || c == 0x7f) c = ' ';
    while (!value.empty() && value.back() == '\\') value.pop_back();
    text = set_section_key(text, "Unit", "X-Description", value);
    uint32_t e = write_unit_file(s->unit_dir, s->unit(), text, false);
    // systemd warns about every unit file changed behind its back.
    if (e == 0) e = s->daemon_reload();
    if (e != 0) {
        set_service_error(e);
        return false;
    }
    return true;
}

uint32_t svc_start(svc_service* s) {
    if (!s) return set_service_error(WIN_ERROR_INVALID_HANDLE);
    const uint32_t e = systemctl_error(s->systemctl_run({"start", s->unit().c_str()}));
    return e ? set_service_error(e) : WIN_ERROR_SUCCESS;
}

bool svc_query_state(svc_service* s, uint32_t* state) {
    if (!s) {
        set_service_error(WIN_ERROR_INVALID_HANDLE);
        return false;
    }
    // is-active prints the state and exits non-zero for every state but active.
    const command_result r = s->systemctl_run({"is-active", s->unit().c_str()});
    const std::string word = r.out.substr(0, r.out.find_first_of("\r\n"));
    if (!r.ran || word.empty()) {
        const uint32_t e = systemctl_error(r);
        set_service_error(e ? e : WIN_ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
        return false;
    }
    uint32_t st = SVC_STOPPED;
    if (word == "active" || word == "reloading" || word == "refreshing") st = SVC_RUNNING;
    else if (word == "activating") st = SVC_START_PENDING;
    else if (word == "deactivating") st = SVC_STOP_PENDING;
    if (state) *state = st;
    return true;
}

bool svc_stop(svc_service* s, uint32_t* state) {
    uint32_t st = SVC_STOPPED;
    if (!svc_query_state(s, &st)) return false;
    if (state) *state = st;
    // As Windows: a service that does not run takes no STOP control.
    if (st == SVC_STOPPED) {
        set_service_error(WIN_ERROR_SERVICE_NOT_ACTIVE);
        return false;
    }
    if (const uint32_t e = systemctl_error(s->systemctl_run({"stop", "--no-block", s->unit().c_str()}))) {
        set_service_error(e);
        return false;
    }
    if (svc_query_state(s, &st) && state) *state = st;
    return true;
}

uint32_t svc_delete(svc_service* s) {
    if (!s) return set_service_error(WIN_ERROR_INVALID_HANDLE);
    const std::string path = s->unit_path();
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return set_service_error(WIN_ERROR_SERVICE_DOES_NOT_EXIST);
    if (const uint32_t e = systemctl_error(s->systemctl_run({"disable", s->unit().c_str()})))
        return set_service_error(e);
    if (::unlink(path.c_str()) != 0) {
        const int err = errno;
        return set_service_error(err == ENOENT ? WIN_ERROR_SERVICE_DOES_NOT_EXIST : errno_to_win32(err));
    }
    if (const uint32_t e = s->daemon_reload()) return set_service_error(e);
    return WIN_ERROR_SUCCESS;
}

// ---- Errors and the event log ------------------------------------------

uint32_t sys_last_error() { return errno != 0 ? errno_to_win32(errno) : t_service_error; }

namespace {

struct error_text {
    uint32_t error;
    const char* text;
};

// The English system messages for the errors this backend can give.
constexpr error_text kErrorTexts[] = {
    {WIN_ERROR_SUCCESS, "The operation completed successfully."},
    {WIN_ERROR_INVALID_FUNCTION, "Incorrect function."},
    {WIN_ERROR_FILE_NOT_FOUND, "The system cannot find the file specified."},
    {WIN_ERROR_PATH_NOT_FOUND, "The system cannot find the path specified."},
    {WIN_ERROR_TOO_MANY_OPEN_FILES, "The system cannot open the file."},
    {WIN_ERROR_ACCESS_DENIED, "Access is denied."},
    {WIN_ERROR_INVALID_HANDLE, "The handle is invalid."},
    {WIN_ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this command."},
    {WIN_ERROR_INVALID_DATA, "The data is invalid."},
    {WIN_ERROR_NOT_SAME_DEVICE, "The system cannot move the file to a different disk drive."},
    {WIN_ERROR_WRITE_FAULT, "The system cannot write to the specified device."},
    {WIN_ERROR_READ_FAULT, "The system cannot read from the specified device."},
    {WIN_ERROR_GEN_FAILURE, "A device attached to the system is not functioning."},
    {WIN_ERROR_SHARING_VIOLATION, "The process cannot access the file because it is being used by another process."},
    {WIN_ERROR_LOCK_VIOLATION, "The process cannot access the file because another process has locked a portion of the file."},
    {WIN_ERROR_HANDLE_DISK_FULL, "The disk is full."},
    {WIN_ERROR_NOT_SUPPORTED, "The request is not supported."},
    {WIN_ERROR_FILE_EXISTS, "The file exists."},
    {WIN_ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
    {WIN_ERROR_BROKEN_PIPE, "The pipe has been ended."},
    {WIN_ERROR_DISK_FULL, "There is not enough space on the disk."},
    {WIN_ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small."},
    {WIN_ERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is incorrect."},
    {WIN_ERROR_DIR_NOT_EMPTY, "The directory is not empty."},
    {WIN_ERROR_NOT_LOCKED, "The segment is already unlocked."},
    {WIN_ERROR_BAD_PATHNAME, "The specified path is invalid."},
    {WIN_ERROR_BUSY, "The requested resource is in use."},
    {WIN_ERROR_ALREADY_EXISTS, "Cannot create a file when that file already exists."},
    {WIN_ERROR_FILENAME_EXCED_RANGE, "The filename or extension is too long."},
    {WIN_ERROR_FILE_TOO_LARGE, "The file size exceeds the limit allowed and cannot be saved."},
    {WIN_ERROR_MORE_DATA, "More data is available."},
    {WIN_ERROR_NO_MORE_ITEMS, "No more data is available."},
    {WIN_ERROR_OPERATION_ABORTED, "The I/O operation has been aborted because of either a thread exit or an application request."},
    {WIN_ERROR_BADKEY, "The configuration registry key is invalid."},
    {WIN_ERROR_CANTOPEN, "The configuration registry key could not be opened."},
    {WIN_ERROR_CANTREAD, "The configuration registry key could not be read."},
    {WIN_ERROR_CANTWRITE, "The configuration registry key could not be written."},
    {WIN_ERROR_KEY_DELETED, "Illegal operation attempted on a registry key that has been marked for deletion."},
    {WIN_ERROR_DEPENDENT_SERVICES_RUNNING, "A stop control has been sent to a service that other running services are dependent on."},
    {WIN_ERROR_INVALID_SERVICE_CONTROL, "The requested control is not valid for this service."},
    {WIN_ERROR_SERVICE_REQUEST_TIMEOUT, "The service did not respond to the start or control request in a timely fashion."},
    {WIN_ERROR_SERVICE_ALREADY_RUNNING, "An instance of the service is already running."},
    {WIN_ERROR_SERVICE_DISABLED, "The service cannot be started, either because it is disabled or because it has no enabled devices "
           "associated with it."},
    {WIN_ERROR_SERVICE_DOES_NOT_EXIST, "The specified service does not exist as an installed service."},
    {WIN_ERROR_SERVICE_CANNOT_ACCEPT_CTRL, "The service cannot accept control messages at this time."},
    {WIN_ERROR_SERVICE_NOT_ACTIVE, "The service has not been started."},
    {WIN_ERROR_FAILED_SERVICE_CONTROLLER_CONNECT, "The service process could not connect to the service controller."},
    {WIN_ERROR_PROCESS_ABORTED, "The process terminated unexpectedly."},
    {WIN_ERROR_SERVICE_MARKED_FOR_DELETE, "The specified service has been marked for deletion."},
    {WIN_ERROR_SERVICE_EXISTS, "The specified service already exists."},
    {WIN_ERROR_SERVICE_DEPENDENCY_DELETED, "The dependency service does not exist or has been marked for deletion."},
    {WIN_ERROR_IO_DEVICE, "The request could not be performed because of an I/O device error."},
    {WIN_ERROR_TIMEOUT, "This operation returned because the timeout period expired."},
    {WIN_ERROR_CANT_RESOLVE_FILENAME, "The name of the file cannot be resolved by the system."},
};

std::mutex g_syslog_mutex;

}  // namespace

size_t sys_error_message(uint32_t error, char* out, size_t size) {
    for (const error_text& t : kErrorTexts)
        if (t.error == error) return copy_out(t.text, out, size);
    return copy_out("", out, size);
}

bool event_log_error(const char* source, const char* const* strings, unsigned count) {
    std::string text;
    for (unsigned i = 0; strings && i < count; ++i) {
        if (i) text += ": ";
        text += strings[i] ? strings[i] : "";
    }
    // openlog keeps the ident pointer until closelog; the lock keeps the three
    // calls of one report together.
    std::lock_guard<std::mutex> lock(g_syslog_mutex);
    static std::string ident;
    ident = source && *source ? source : "tervalo";
    ::openlog(ident.c_str(), LOG_PID, LOG_DAEMON);
    ::syslog(LOG_DAEMON | LOG_ERR, "%s", text.c_str());
    ::closelog();
    return true;
}

size_t executable_path(char* out, size_t size) {
    char buf[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return copy_out("", out, size);
    return copy_out(native_to_windows_path(std::string(buf, size_t(n))), out, size);
}
