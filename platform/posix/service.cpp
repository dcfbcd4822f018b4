// Installing and controlling services on POSIX. A service is a systemd unit:
// installing writes the unit file and enables it, control goes through
// systemctl.
#include "platform/service.h"

#include "platform/posix/errno_map.h"
#include "platform/posix/service_error.h"
#include "platform/posix/systemctl.h"
#include "platform/posix/unit_file.h"
#include "platform/win_error.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

namespace {

const char* env_or(const char* name, const char* fallback) {
    const char* v = std::getenv(name);
    return v && *v ? v : fallback;
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
        return ::systemctl_run(systemctl, args);
    }
    uint32_t daemon_reload() const { return systemctl_error(systemctl_run({"daemon-reload"})); }
};

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
    uint32_t e = write_unit_file(s->unit_path(), text, true);
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
    uint32_t e = write_unit_file(s->unit_path(), text, false);
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
