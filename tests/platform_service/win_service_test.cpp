// A real service under the Windows service control manager: this program
// installs itself, the manager starts it with "--service-probe", and the
// probe runs the dispatcher, reports RUNNING, takes the STOP control and
// writes what it saw into a file.
#ifdef _WIN32
#include "platform/service.h"
#include "platform/thread.h"
#include "platform/win_error.h"

#include <gtest/gtest.h>

#include <process.h>
#include <stdlib.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

// ---- The probe, when this program runs as the service ------------------

std::string g_probe_name;
std::string g_probe_file;
plat_event* g_probe_stop = nullptr;
std::atomic<uint32_t> g_probe_control{0};
uintptr_t g_probe_status = 0;

svc_status probe_status(uint32_t state) {
    return {SVC_WIN32_OWN_PROCESS, state, state == SVC_START_PENDING ? 0u : SVC_ACCEPT_STOP, 0, 0, 0, 3000};
}

void probe_handler(uint32_t control) {
    if (control != SVC_CONTROL_STOP) return;
    g_probe_control = control;
    svc_set_status(g_probe_status, probe_status(SVC_STOP_PENDING));
    event_set(g_probe_stop);
}

void probe_main(int argc, char** argv) {
    g_probe_status = svc_register_handler(g_probe_name.c_str(), probe_handler);
    if (!g_probe_status) return;
    const bool running = svc_set_status(g_probe_status, probe_status(SVC_RUNNING));
    const bool stopped = running && event_wait(g_probe_stop, 20000);
    if (FILE* f = std::fopen(g_probe_file.c_str(), "w")) {
        std::fprintf(f, "argc=%d argv0=%s running=%d control=%u stopped=%d", argc, argc > 0 ? argv[0] : "",
                     int(running), unsigned(g_probe_control.load()), int(stopped));
        std::fclose(f);
    }
    svc_set_status(g_probe_status, probe_status(SVC_STOPPED));
}

// Runs before main: as the service, this program does nothing else.
const bool g_is_probe = [] {
    if (__argc < 4 || std::strcmp(__argv[1], "--service-probe") != 0) return false;
    g_probe_name = __argv[2];
    g_probe_file = __argv[3];
    g_probe_stop = event_create(true, false);
    const uint32_t rc = svc_run_dispatcher(g_probe_name.c_str(), probe_main);
    std::exit(rc == WIN_ERROR_SUCCESS ? 0 : 1);
    return true;
}();

// ---- The test ------------------------------------------------------------

// Deletes the service however the test ends.
struct installed_service {
    svc_manager* manager = nullptr;
    svc_service* service = nullptr;
    ~installed_service() {
        if (service) {
            uint32_t state = 0;
            svc_stop(service, &state);
            svc_delete(service);
            svc_close(service);
        }
        svc_close_manager(manager);
    }
};

uint32_t wait_for_state(svc_service* s, uint32_t wanted) {
    uint32_t state = 0;
    for (int i = 0; i < 200; ++i) {
        if (svc_query_state(s, &state) && state == wanted) return state;
        sleep_ms(50);
    }
    return state;
}

TEST(WindowsService, StartsTakesStopAndEnds) {
    char exe[1024];
    ASSERT_GT(executable_path(exe, sizeof exe), 0u);
    const std::string name = "TervaloProbe" + std::to_string(_getpid());
    const std::string file = (std::filesystem::temp_directory_path() / (name + ".txt")).string();
    std::remove(file.c_str());
    const std::string command = "\"" + std::string(exe) + "\" --service-probe " + name + " \"" + file + "\"";

    installed_service svc;
    uint32_t error = 0;
    svc.manager = svc_open_manager(&error);
    ASSERT_NE(svc.manager, nullptr) << error;
    const char deps[] = "\0";
    const svc_config c{name.c_str(), "Tervalo probe", command.c_str(), nullptr, deps};
    svc.service = svc_create(svc.manager, c, &error);
    ASSERT_NE(svc.service, nullptr) << error;

    ASSERT_EQ(svc_start(svc.service), WIN_ERROR_SUCCESS) << sys_last_error();
    ASSERT_EQ(wait_for_state(svc.service, SVC_RUNNING), SVC_RUNNING);
    uint32_t state = 0;
    EXPECT_TRUE(svc_stop(svc.service, &state));
    EXPECT_TRUE(state == SVC_STOP_PENDING || state == SVC_STOPPED) << state;
    EXPECT_EQ(wait_for_state(svc.service, SVC_STOPPED), SVC_STOPPED);

    std::ifstream in(file);
    std::stringstream got;
    got << in.rdbuf();
    EXPECT_EQ(got.str(), "argc=1 argv0=" + name + " running=1 control=1 stopped=1");
    std::remove(file.c_str());
}

}  // namespace
#endif
