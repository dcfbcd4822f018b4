// Running as a service or a console on POSIX: the service manager is
// systemd (readiness through NOTIFY_SOCKET), controls and console events are
// signals, and the event log is syslog.
#include "platform/service.h"

#include "platform/posix/drive_map.h"
#include "platform/posix/errno_map.h"
#include "platform/posix/service_error.h"
#include "platform/posix/service_signals.h"
#include "platform/win_error.h"

#include <pthread.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

namespace {

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

std::mutex g_syslog_mutex;

}  // namespace

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
    set_control_handler(handler);
    if (!watch_signals()) {
        set_control_handler(nullptr);
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
    set_console_handler(handler);
    if (watch_signals()) return true;
    set_service_error(WIN_ERROR_NOT_ENOUGH_MEMORY);
    return false;
}

void process_set_shutdown_level(uint32_t) {}

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
