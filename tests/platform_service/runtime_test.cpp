// Running as a service: the dispatcher, control and console events, status
// reports.
#include "platform/service.h"
#include "platform/thread.h"
#include "platform/win_error.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>

#ifndef _WIN32
#include "fake_systemd.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#endif

namespace {

std::atomic<int> g_main_calls{0};

void counting_main(int, char**) { ++g_main_calls; }

void set_env(const char* name, const char* value) {
#ifdef _WIN32
    _putenv_s(name, value ? value : "");
#else
    if (value) ::setenv(name, value, 1);
    else ::unsetenv(name);
#endif
}

TEST(Dispatcher, OutsideTheServiceControllerFailsAtOnce) {
    set_env("INVOCATION_ID", nullptr);
    set_env("TERVALO_SERVICE", nullptr);
    g_main_calls = 0;
    EXPECT_EQ(svc_run_dispatcher("NFSserver", counting_main), WIN_ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    EXPECT_EQ(sys_last_error(), WIN_ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    EXPECT_EQ(g_main_calls.load(), 0);
}

#ifndef _WIN32

// Waits up to five seconds for a condition set by another thread.
template <class F>
bool wait_for(F done) {
    for (int i = 0; i < 500; ++i) {
        if (done()) return true;
        sleep_ms(10);
    }
    return done();
}

struct main_record {
    std::atomic<int> argc{-1};
    std::string argv0;
    bool argv_ends = false;
    std::thread::id thread;
    std::atomic<bool> finished{false};
};
main_record g_main;

void recording_main(int argc, char** argv) {
    g_main.argv0 = argc > 0 && argv[0] ? argv[0] : "";
    g_main.argv_ends = argc > 0 && argv[argc] == nullptr;
    g_main.thread = std::this_thread::get_id();
    // The dispatcher must wait for the end of the service main.
    sleep_ms(100);
    g_main.argc = argc;
    g_main.finished = true;
}

void expect_dispatcher_runs_main() {
    g_main.argc = -1;
    g_main.finished = false;
    EXPECT_EQ(svc_run_dispatcher("NFSserver", recording_main), WIN_ERROR_SUCCESS);
    EXPECT_TRUE(g_main.finished.load());
    EXPECT_EQ(g_main.argc.load(), 1);
    EXPECT_EQ(g_main.argv0, "NFSserver");
    EXPECT_TRUE(g_main.argv_ends);
    EXPECT_NE(g_main.thread, std::this_thread::get_id());
}

TEST(Dispatcher, WithTervaloServiceRunsTheMainOnItsOwnThread) {
    set_env("INVOCATION_ID", nullptr);
    set_env("TERVALO_SERVICE", "1");
    expect_dispatcher_runs_main();
    set_env("TERVALO_SERVICE", nullptr);
}

TEST(Dispatcher, StartedBySystemdRunsTheMain) {
    set_env("TERVALO_SERVICE", nullptr);
    set_env("INVOCATION_ID", "0123456789abcdef0123456789abcdef");
    expect_dispatcher_runs_main();
    set_env("INVOCATION_ID", nullptr);
}

TEST(Dispatcher, OtherValuesOfTervaloServiceDoNotCount) {
    set_env("INVOCATION_ID", "");
    g_main_calls = 0;
    for (const char* v : {"0", "", "yes"}) {
        set_env("TERVALO_SERVICE", v);
        EXPECT_EQ(svc_run_dispatcher("NFSserver", counting_main), WIN_ERROR_FAILED_SERVICE_CONTROLLER_CONNECT)
            << v;
    }
    EXPECT_EQ(g_main_calls.load(), 0);
    set_env("TERVALO_SERVICE", nullptr);
    set_env("INVOCATION_ID", nullptr);
}

std::atomic<int> g_control_calls{0};
std::atomic<uint32_t> g_last_control{0};
std::atomic<bool> g_control_on_other_thread{false};
std::thread::id g_test_thread;

void control_handler(uint32_t control) {
    g_last_control = control;
    g_control_on_other_thread = std::this_thread::get_id() != g_test_thread;
    ++g_control_calls;
}

TEST(Signals, SigtermIsTheStopControl) {
    g_test_thread = std::this_thread::get_id();
    g_control_calls = 0;
    ASSERT_NE(svc_register_handler("NFSserver", control_handler), 0u);
    ASSERT_EQ(::kill(::getpid(), SIGTERM), 0);
    ASSERT_TRUE(wait_for([] { return g_control_calls.load() == 1; }));
    EXPECT_EQ(g_last_control.load(), SVC_CONTROL_STOP);
    EXPECT_TRUE(g_control_on_other_thread.load());
    // A second one arrives as well: the watcher keeps waiting.
    ASSERT_EQ(::kill(::getpid(), SIGTERM), 0);
    EXPECT_TRUE(wait_for([] { return g_control_calls.load() == 2; }));
}

TEST(Signals, RegisteringWithoutAHandlerFails) {
    EXPECT_EQ(svc_register_handler("NFSserver", nullptr), 0u);
    EXPECT_EQ(sys_last_error(), WIN_ERROR_INVALID_PARAMETER);
}

std::atomic<int> g_console_calls{0};
std::atomic<uint32_t> g_last_console{99};

bool console_handler(uint32_t event) {
    g_last_console = event;
    ++g_console_calls;
    return true;
}

TEST(Signals, SigintIsCtrlCAndSigquitCtrlBreak) {
    g_console_calls = 0;
    ASSERT_TRUE(console_set_handler(console_handler));
    ASSERT_EQ(::kill(::getpid(), SIGINT), 0);
    ASSERT_TRUE(wait_for([] { return g_console_calls.load() == 1; }));
    EXPECT_EQ(g_last_console.load(), CONSOLE_CTRL_C);
    ASSERT_EQ(::kill(::getpid(), SIGQUIT), 0);
    ASSERT_TRUE(wait_for([] { return g_console_calls.load() == 2; }));
    EXPECT_EQ(g_last_console.load(), CONSOLE_CTRL_BREAK);
}

bool refusing_handler(uint32_t) { return false; }

// The statement of a death test runs in a fresh copy of this program.
void expect_killed_by(int sig, void (*setup)()) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            setup();
            ::kill(::getpid(), sig);
            sleep_ms(5000);
            std::exit(0);
        },
        testing::KilledBySignal(sig), "");
}

TEST(SignalsDeathTest, UnhandledCtrlCEndsTheProcess) {
    expect_killed_by(SIGINT, [] { console_set_handler(refusing_handler); });
}

TEST(SignalsDeathTest, SigtermWithoutControlHandlerEndsTheProcess) {
    expect_killed_by(SIGTERM, [] { console_set_handler(console_handler); });
}

TEST(SignalsDeathTest, SigintWithoutConsoleHandlerEndsTheProcess) {
    expect_killed_by(SIGINT, [] { svc_register_handler("NFSserver", control_handler); });
}

// Started as "systemctl" with TERVALO_SIGMASK_PROBE set, this program only
// writes which of the three signals it found blocked into that file.
const bool g_sigmask_probe = [] {
    const char* file = std::getenv("TERVALO_SIGMASK_PROBE");
    if (!file) return false;
    sigset_t mask;
    sigprocmask(SIG_BLOCK, nullptr, &mask);
    std::string blocked;
    if (sigismember(&mask, SIGTERM) == 1) blocked += "TERM ";
    if (sigismember(&mask, SIGINT) == 1) blocked += "INT ";
    if (sigismember(&mask, SIGQUIT) == 1) blocked += "QUIT ";
    FILE* f = std::fopen(file, "w");
    if (f) {
        std::fputs(blocked.empty() ? "none" : blocked.c_str(), f);
        std::fclose(f);
    }
    ::_exit(0);
}();

TEST(Signals, ProgramsStartedLaterDoNotInheritTheBlockedSignals) {
    fake_systemd fake;
    ASSERT_TRUE(fake_systemd_start(fake));
    ASSERT_TRUE(console_set_handler(console_handler));
    // This thread now blocks the three signals, as the program's threads do.
    sigset_t mask;
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, nullptr, &mask), 0);
    ASSERT_EQ(sigismember(&mask, SIGTERM), 1);
    ASSERT_EQ(sigismember(&mask, SIGINT), 1);

    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(n, 0);
    self[n] = 0;
    const std::string probe_file = fake.root + "/sigmask";
    set_env("TERVALO_SYSTEMCTL", self);
    set_env("TERVALO_SIGMASK_PROBE", probe_file.c_str());
    const std::string unit = fake.unit_dir + "/NFSserver.service";
    FILE* f = std::fopen(unit.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("[Unit]\n", f);
    std::fclose(f);
    uint32_t error = 0;
    svc_manager* m = svc_open_manager(&error);
    ASSERT_NE(m, nullptr);
    svc_service* s = svc_open(m, "NFSserver", &error);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(svc_start(s), WIN_ERROR_SUCCESS);
    set_env("TERVALO_SIGMASK_PROBE", nullptr);
    EXPECT_EQ(read_text(probe_file), "none");
    svc_close(s);
    svc_close_manager(m);
    fake_systemd_stop(fake);
}

// A datagram socket standing in for systemd's notification socket.
struct notify_listener {
    int fd = -1;
    std::string address;   // as NOTIFY_SOCKET names it

    bool open(bool abstract) {
        fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return false;
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        const std::string name = "tervalo-notify-" + std::to_string(::getpid());
        socklen_t len;
        if (abstract) {
            address = "@" + name;
            std::memcpy(addr.sun_path + 1, name.data(), name.size());
            len = socklen_t(offsetof(sockaddr_un, sun_path) + 1 + name.size());
        } else {
            address = "/tmp/" + name;
            ::unlink(address.c_str());
            std::strcpy(addr.sun_path, address.c_str());
            len = sizeof addr;
        }
        if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) return false;
        timeval limit{5, 0};
        return ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) == 0;
    }
    // The next datagram, or "" when none is waiting.
    std::string next(bool wait) {
        char buf[256];
        const ssize_t n = ::recv(fd, buf, sizeof buf, wait ? 0 : MSG_DONTWAIT);
        return n > 0 ? std::string(buf, size_t(n)) : "";
    }
    ~notify_listener() {
        if (fd >= 0) ::close(fd);
        if (!address.empty() && address[0] == '/') ::unlink(address.c_str());
    }
};

svc_status status_of(uint32_t state) {
    return {SVC_WIN32_OWN_PROCESS, state, state == SVC_START_PENDING ? 0u : SVC_ACCEPT_STOP, 0, 0, 0, 3000};
}

void expect_notifications(bool abstract) {
    notify_listener listener;
    ASSERT_TRUE(listener.open(abstract));
    set_env("NOTIFY_SOCKET", listener.address.c_str());
    const uintptr_t h = svc_register_handler("NFSserver", control_handler);
    ASSERT_NE(h, 0u);
    EXPECT_TRUE(svc_set_status(h, status_of(SVC_START_PENDING)));
    EXPECT_TRUE(svc_set_status(h, status_of(SVC_RUNNING)));
    EXPECT_EQ(listener.next(true), "READY=1");
    EXPECT_TRUE(svc_set_status(h, status_of(SVC_STOP_PENDING)));
    EXPECT_EQ(listener.next(true), "STOPPING=1");
    EXPECT_TRUE(svc_set_status(h, status_of(SVC_STOPPED)));
    // START_PENDING and STOPPED sent nothing.
    EXPECT_EQ(listener.next(false), "");
    set_env("NOTIFY_SOCKET", nullptr);
}

TEST(Status, RunningAndStopPendingAreToldToSystemd) { expect_notifications(false); }

TEST(Status, AbstractNotifySocket) { expect_notifications(true); }

TEST(Status, WithoutNotifySocketReportsSucceed) {
    set_env("NOTIFY_SOCKET", nullptr);
    const uintptr_t h = svc_register_handler("NFSserver", control_handler);
    ASSERT_NE(h, 0u);
    EXPECT_TRUE(svc_set_status(h, status_of(SVC_RUNNING)));
    EXPECT_FALSE(svc_set_status(0, status_of(SVC_RUNNING)));
    EXPECT_EQ(sys_last_error(), WIN_ERROR_INVALID_HANDLE);
}

#endif

}  // namespace
