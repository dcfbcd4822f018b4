// Services as systemd units: the unit files written, the systemctl calls
// made, and the Win32 errors given, against a fake systemctl.
#ifndef _WIN32
#include "fake_systemd.h"

#include "platform/registry.h"
#include "platform/service.h"
#include "platform/win_error.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;

namespace {

// A dependency list as the API takes it: names separated and ended by NULs.
std::string deps(std::initializer_list<const char*> names) {
    std::string out;
    for (const char* n : names) out += std::string(n) + '\0';
    out += '\0';
    return out;
}

class UnitFileTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(fake_systemd_start(fake));
        uint32_t error = 99;
        manager = svc_open_manager(&error);
        ASSERT_NE(manager, nullptr);
        ASSERT_EQ(error, WIN_ERROR_SUCCESS);
    }
    void TearDown() override {
        svc_close_manager(manager);
        fake_systemd_stop(fake);
        ::unsetenv("TERVALO_REGISTRY");
    }

    std::string unit_file(const std::string& name) const { return fake.unit_dir + "/" + name + ".service"; }
    size_t unit_dir_entries() const {
        size_t n = 0;
        for ([[maybe_unused]] const auto& e : fs::directory_iterator(fake.unit_dir)) ++n;
        return n;
    }
    // Creates a service and checks that it succeeded.
    svc_service* create(const char* name, const char* command_line, const std::string& dependencies,
                        const char* group = nullptr, const char* display = "NFS Server") {
        const svc_config c{name, display, command_line, group, dependencies.c_str()};
        uint32_t error = 99;
        svc_service* s = svc_create(manager, c, &error);
        EXPECT_NE(s, nullptr);
        EXPECT_EQ(error, WIN_ERROR_SUCCESS);
        return s;
    }
    // Creates a service that must fail; result: the error.
    uint32_t create_error(const svc_config& c) {
        uint32_t error = 0;
        svc_service* s = svc_create(manager, c, &error);
        EXPECT_EQ(s, nullptr);
        svc_close(s);
        return error;
    }

    fake_systemd fake;
    svc_manager* manager = nullptr;
};

constexpr const char* kServiceTail =
    "KillSignal=SIGTERM\nTimeoutStopSec=30\nRestart=no\n\n[Install]\nWantedBy=multi-user.target\n";

TEST_F(UnitFileTest, TcpipDependencyWaitsForTheNetworkAndOptionsAreKept) {
    svc_service* s = create("NFSserver", "Z:\\usr\\local\\bin\\quen -portmap", deps({"tcpip"}));
    svc_close(s);
    EXPECT_EQ(read_text(unit_file("NFSserver")),
              std::string("[Unit]\nDescription=NFS Server\n"
                          "After=network-online.target\nWants=network-online.target\n"
                          "\n[Service]\nType=simple\nExecStart=/usr/local/bin/quen -portmap\n") +
                  kServiceTail);
    EXPECT_EQ(fake_calls(fake), "[daemon-reload]\n[enable][NFSserver.service]\n");
    struct stat st;
    ASSERT_EQ(::stat(unit_file("NFSserver").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    // Nothing but the unit is left in the directory (no temporary file).
    EXPECT_EQ(unit_dir_entries(), 1u);
}

TEST_F(UnitFileTest, OtherServiceIsRequiredAndGroupIsRecorded) {
    svc_service* s = create("NFSserver", "Z:\\usr\\local\\bin\\quen", deps({"OstelDaemon"}), "NetworkProvider");
    svc_close(s);
    EXPECT_EQ(read_text(unit_file("NFSserver")),
              std::string("[Unit]\nDescription=NFS Server\n"
                          "After=OstelDaemon.service\nRequires=OstelDaemon.service\n"
                          "X-LoadOrderGroup=NetworkProvider\n"
                          "\n[Service]\nType=simple\nExecStart=/usr/local/bin/quen\n") +
                  kServiceTail);
}

TEST_F(UnitFileTest, SeveralDependenciesAndTcpipInAnyCase) {
    svc_service* s = create("OstelDaemon", "Z:\\usr\\bin\\ostel", deps({"Tcpip", "Other_1"}), nullptr,
                            "SunRPC Portmap Daemon");
    svc_close(s);
    EXPECT_EQ(read_text(unit_file("OstelDaemon")),
              std::string("[Unit]\nDescription=SunRPC Portmap Daemon\n"
                          "After=network-online.target\nWants=network-online.target\n"
                          "After=Other_1.service\nRequires=Other_1.service\n"
                          "\n[Service]\nType=simple\nExecStart=/usr/bin/ostel\n") +
                  kServiceTail);
    EXPECT_EQ(fake_calls(fake), "[daemon-reload]\n[enable][OstelDaemon.service]\n");
}

TEST_F(UnitFileTest, NoDependenciesAtAll) {
    const svc_config c{"Plain", "Plain", "Z:\\bin\\plain", nullptr, nullptr};
    uint32_t error = 99;
    svc_service* s = svc_create(manager, c, &error);
    ASSERT_NE(s, nullptr);
    svc_close(s);
    EXPECT_EQ(read_text(unit_file("Plain")),
              std::string("[Unit]\nDescription=Plain\n\n[Service]\nType=simple\nExecStart=/bin/plain\n") +
                  kServiceTail);
}

TEST_F(UnitFileTest, PathWithSpacesIsQuotedAndOptionsFollow) {
    svc_close(create("NFSserver", "Z:\\opt\\nfs server\\quen.exe -portmap", deps({"tcpip"})));
    EXPECT_NE(read_text(unit_file("NFSserver")).find("\nExecStart=\"/opt/nfs server/quen.exe\" -portmap\n"),
              std::string::npos)
        << read_text(unit_file("NFSserver"));
    // Without options the whole text is the path.
    svc_close(create("Second", "Z:\\opt\\my dir\\quen", deps({"tcpip"})));
    EXPECT_NE(read_text(unit_file("Second")).find("\nExecStart=\"/opt/my dir/quen\"\n"), std::string::npos)
        << read_text(unit_file("Second"));
    // A path quoted the Windows way, and one with the long-path prefix.
    svc_close(create("Third", "\"Z:\\opt\\a b\\quen\" -portmap -cache", deps({"tcpip"})));
    EXPECT_NE(read_text(unit_file("Third")).find("\nExecStart=\"/opt/a b/quen\" -portmap -cache\n"),
              std::string::npos)
        << read_text(unit_file("Third"));
    svc_close(create("Fourth", "\\\\?\\Z:\\usr\\sbin\\quen", deps({"tcpip"})));
    EXPECT_NE(read_text(unit_file("Fourth")).find("\nExecStart=/usr/sbin/quen\n"), std::string::npos)
        << read_text(unit_file("Fourth"));
}

TEST_F(UnitFileTest, SpecifiersVariablesAndBackslashesStayLiteral) {
    svc_close(create("Odd", "Z:\\opt\\100%\\$HOME\\quen -dir C:\\x", deps({"tcpip"}), nullptr, "100% NFS"));
    const std::string text = read_text(unit_file("Odd"));
    EXPECT_NE(text.find("\nDescription=100%% NFS\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nExecStart=/opt/100%%/$$HOME/quen -dir C:\\\\x\n"), std::string::npos) << text;
}

TEST_F(UnitFileTest, MappedDriveLetterBecomesItsFolder) {
    const std::string registry = fake.root + "/registry.reg";
    ::setenv("TERVALO_REGISTRY", registry.c_str(), 1);
    const char folder[] = "/srv/c";
    ASSERT_EQ(reg_set_value(REG_LOCAL_MACHINE, "Software\\Tervalo\\Drives", "C", REG_VALUE_SZ, folder,
                            sizeof folder),
              WIN_ERROR_SUCCESS);
    svc_close(create("Mapped", "C:\\bin\\quen -debug", deps({"tcpip"})));
    EXPECT_NE(read_text(unit_file("Mapped")).find("\nExecStart=/srv/c/bin/quen -debug\n"), std::string::npos)
        << read_text(unit_file("Mapped"));
}

TEST_F(UnitFileTest, PathWithoutNativeFormIsRefused) {
    const std::string registry = fake.root + "/registry.reg";
    ::setenv("TERVALO_REGISTRY", registry.c_str(), 1);
    for (const char* command : {"Q:\\unmapped\\quen -portmap", "quen.exe", "\\\\host\\share\\quen", ""}) {
        const std::string d = deps({"tcpip"});
        const svc_config c{"Bad", "Bad", command, nullptr, d.c_str()};
        EXPECT_NE(create_error(c), WIN_ERROR_SUCCESS) << command;
    }
    const std::string d = deps({"tcpip"});
    const svc_config c{"Bad", "Bad", "Q:\\unmapped\\quen", nullptr, d.c_str()};
    EXPECT_EQ(create_error(c), WIN_ERROR_BAD_PATHNAME);
    const svc_config no_command{"Bad", "Bad", nullptr, nullptr, d.c_str()};
    EXPECT_EQ(create_error(no_command), WIN_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(unit_dir_entries(), 0u);
    EXPECT_EQ(fake_calls(fake), "");
}

TEST_F(UnitFileTest, CreatingAnExistingServiceGives1073AndChangesNothing) {
    svc_close(create("NFSserver", "Z:\\usr\\bin\\quen", deps({"tcpip"})));
    const std::string before = read_text(unit_file("NFSserver"));
    const std::string calls_before = fake_calls(fake);
    const std::string d = deps({"OstelDaemon"});
    const svc_config again{"NFSserver", "Other", "Z:\\usr\\bin\\other", "G", d.c_str()};
    EXPECT_EQ(create_error(again), WIN_ERROR_SERVICE_EXISTS);
    EXPECT_EQ(sys_last_error(), WIN_ERROR_SERVICE_EXISTS);
    EXPECT_EQ(read_text(unit_file("NFSserver")), before);
    EXPECT_EQ(fake_calls(fake), calls_before);
    EXPECT_EQ(unit_dir_entries(), 1u);
}

TEST_F(UnitFileTest, NamesThatAreNoUnitNamesAreRefused) {
    const std::string d = deps({"tcpip"});
    for (const char* name : {"", "a/b", "../x", "x y", ".hidden", "tmpl@", "-dash", "a\nb"}) {
        const svc_config c{name, "X", "Z:\\bin\\x", nullptr, d.c_str()};
        EXPECT_EQ(create_error(c), WIN_ERROR_INVALID_NAME) << name;
    }
    const svc_config unnamed{nullptr, "X", "Z:\\bin\\x", nullptr, d.c_str()};
    EXPECT_EQ(create_error(unnamed), WIN_ERROR_INVALID_NAME);
    EXPECT_EQ(create_error({std::string(201, 'a').c_str(), "X", "Z:\\bin\\x", nullptr, d.c_str()}),
              WIN_ERROR_INVALID_NAME);
    EXPECT_EQ(unit_dir_entries(), 0u);
    EXPECT_EQ(fake_calls(fake), "");
}

TEST_F(UnitFileTest, TextThatWouldAddUnitLinesIsRefused) {
    const std::string d = deps({"tcpip"});
    const std::string bad_dep = deps({"tcpip", "x y"});
    const std::string injected_dep = deps({"x.service\nExecStartPre=/bin/false"});
    const svc_config cases[] = {
        {"S", "NFS\nExecStartPre=/bin/false", "Z:\\bin\\x", nullptr, d.c_str()},
        {"S", "NFS Server\\", "Z:\\bin\\x", nullptr, d.c_str()},
        {"S", "NFS", "Z:\\bin\\x", "group\n[Service]", d.c_str()},
        {"S", "NFS", "Z:\\bin\\x -a\r\nExecStartPre=/bin/false", nullptr, d.c_str()},
        {"S", "NFS", "Z:\\bin\\x", nullptr, bad_dep.c_str()},
        {"S", "NFS", "Z:\\bin\\x", nullptr, injected_dep.c_str()},
    };
    for (const svc_config& c : cases) EXPECT_EQ(create_error(c), WIN_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(unit_dir_entries(), 0u);
    EXPECT_EQ(fake_calls(fake), "");
}

TEST_F(UnitFileTest, OpenNeedsTheUnitFile) {
    uint32_t error = 0;
    EXPECT_EQ(svc_open(manager, "NFSserver", &error), nullptr);
    EXPECT_EQ(error, WIN_ERROR_SERVICE_DOES_NOT_EXIST);
    EXPECT_EQ(sys_last_error(), WIN_ERROR_SERVICE_DOES_NOT_EXIST);
    error = 0;
    EXPECT_EQ(svc_open(manager, "../units/NFSserver", &error), nullptr);
    EXPECT_EQ(error, WIN_ERROR_INVALID_NAME);

    svc_close(create("NFSserver", "Z:\\usr\\bin\\quen", deps({"tcpip"})));
    error = 99;
    svc_service* s = svc_open(manager, "NFSserver", &error);
    EXPECT_NE(s, nullptr);
    EXPECT_EQ(error, WIN_ERROR_SUCCESS);
    svc_close(s);
    // Only the exact unit counts, not a directory of that name.
    ASSERT_EQ(::mkdir((fake.unit_dir + "/Dir.service").c_str(), 0755), 0);
    EXPECT_EQ(svc_open(manager, "Dir", &error), nullptr);
    EXPECT_EQ(error, WIN_ERROR_SERVICE_DOES_NOT_EXIST);
}

TEST_F(UnitFileTest, FailedDaemonReloadLeavesNoUnit) {
    fake_fail_verb(fake, "daemon-reload", 1);
    const std::string d = deps({"tcpip"});
    EXPECT_EQ(create_error({"NFSserver", "NFS Server", "Z:\\usr\\bin\\quen", nullptr, d.c_str()}),
              WIN_ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    EXPECT_EQ(read_text(unit_file("NFSserver")), "<missing>");
    EXPECT_EQ(unit_dir_entries(), 0u);
}

TEST_F(UnitFileTest, FailedEnableRemovesTheUnitAgain) {
    fake_fail_verb(fake, "enable", 4);
    const std::string d = deps({"tcpip"});
    EXPECT_EQ(create_error({"NFSserver", "NFS Server", "Z:\\usr\\bin\\quen", nullptr, d.c_str()}),
              WIN_ERROR_ACCESS_DENIED);
    EXPECT_EQ(read_text(unit_file("NFSserver")), "<missing>");
    EXPECT_EQ(fake_calls(fake), "[daemon-reload]\n[enable][NFSserver.service]\n[daemon-reload]\n");
}

TEST_F(UnitFileTest, MissingSystemctlIsAnErrorNotSuccess) {
    ::setenv("TERVALO_SYSTEMCTL", (fake.root + "/no-such-program").c_str(), 1);
    uint32_t error = 99;
    svc_manager* m = svc_open_manager(&error);
    ASSERT_NE(m, nullptr);
    const std::string d = deps({"tcpip"});
    const svc_config c{"NFSserver", "NFS Server", "Z:\\usr\\bin\\quen", nullptr, d.c_str()};
    EXPECT_EQ(svc_create(m, c, &error), nullptr);
    EXPECT_EQ(error, WIN_ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    EXPECT_EQ(read_text(unit_file("NFSserver")), "<missing>");
    svc_close_manager(m);
}

TEST_F(UnitFileTest, DescriptionIsOneLineOfTheUnitSection) {
    svc_service* s = create("NFSserver", "Z:\\usr\\bin\\quen", deps({"OstelDaemon"}), "Grp");
    ASSERT_NE(s, nullptr);
    const std::string calls_before = fake_calls(fake);
    EXPECT_TRUE(svc_set_description(s, "Implements a NFS Version 2/3 Server"));
    const std::string head = "[Unit]\nDescription=NFS Server\nAfter=OstelDaemon.service\n"
                             "Requires=OstelDaemon.service\nX-LoadOrderGroup=Grp\n";
    const std::string tail =
        std::string("\n[Service]\nType=simple\nExecStart=/usr/bin/quen\n") + kServiceTail;
    EXPECT_EQ(read_text(unit_file("NFSserver")),
              head + "X-Description=Implements a NFS Version 2/3 Server\n" + tail);
    // systemd is told that the file changed.
    EXPECT_EQ(fake_calls(fake), calls_before + "[daemon-reload]\n");
    // A second description replaces the first; line breaks become spaces.
    EXPECT_TRUE(svc_set_description(s, "two\nlines\\"));
    EXPECT_EQ(read_text(unit_file("NFSserver")), head + "X-Description=two lines\n" + tail);
    EXPECT_EQ(unit_dir_entries(), 1u);
    svc_close(s);
}

TEST_F(UnitFileTest, DescriptionOfARemovedUnitFails) {
    svc_service* s = create("NFSserver", "Z:\\usr\\bin\\quen", deps({"tcpip"}));
    ASSERT_NE(s, nullptr);
    ASSERT_EQ(::unlink(unit_file("NFSserver").c_str()), 0);
    EXPECT_FALSE(svc_set_description(s, "text"));
    EXPECT_EQ(sys_last_error(), WIN_ERROR_SERVICE_DOES_NOT_EXIST);
    EXPECT_EQ(read_text(unit_file("NFSserver")), "<missing>");
    svc_close(s);
}

TEST_F(UnitFileTest, StartRunsSystemctlStartAndMapsItsExitCodes) {
    svc_service* s = create("NFSserver", "Z:\\usr\\bin\\quen", deps({"tcpip"}));
    ASSERT_NE(s, nullptr);
    const std::string before = fake_calls(fake);
    EXPECT_EQ(svc_start(s), WIN_ERROR_SUCCESS);
    EXPECT_EQ(fake_calls(fake), before + "[start][NFSserver.service]\n");
    const std::pair<int, uint32_t> codes[] = {
        {1, WIN_ERROR_FAILED_SERVICE_CONTROLLER_CONNECT},
        {4, WIN_ERROR_ACCESS_DENIED},
        {5, WIN_ERROR_SERVICE_DOES_NOT_EXIST},
        {6, 1058u},
    };
    for (const auto& [code, win32] : codes) {
        fake_fail_verb(fake, "start", code);
        EXPECT_EQ(svc_start(s), win32) << code;
        EXPECT_EQ(sys_last_error(), win32) << code;
    }
    svc_close(s);
}

TEST_F(UnitFileTest, StateComesFromIsActive) {
    svc_service* s = create("NFSserver", "Z:\\usr\\bin\\quen", deps({"tcpip"}));
    ASSERT_NE(s, nullptr);
    const std::pair<const char*, uint32_t> states[] = {
        {"active", SVC_RUNNING},       {"reloading", SVC_RUNNING},    {"activating", SVC_START_PENDING},
        {"deactivating", SVC_STOP_PENDING}, {"inactive", SVC_STOPPED}, {"failed", SVC_STOPPED},
    };
    for (const auto& [word, state] : states) {
        fake_set_state(fake, word);
        uint32_t got = 0;
        EXPECT_TRUE(svc_query_state(s, &got)) << word;
        EXPECT_EQ(got, state) << word;
    }
    const std::string calls = fake_calls(fake);
    EXPECT_NE(calls.find("[is-active][NFSserver.service]\n"), std::string::npos);
    // No answer at all is a failure, not a state.
    fake_set_state(fake, "");
    uint32_t got = 77;
    EXPECT_FALSE(svc_query_state(s, &got));
    EXPECT_EQ(got, 77u);
    EXPECT_EQ(sys_last_error(), WIN_ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    svc_close(s);
}

TEST_F(UnitFileTest, StopSendsANonBlockingStopAndReportsTheStateAfter) {
    svc_service* s = create("NFSserver", "Z:\\usr\\bin\\quen", deps({"tcpip"}));
    ASSERT_NE(s, nullptr);
    fake_set_state(fake, "active");
    const std::string before = fake_calls(fake);
    uint32_t state = 0;
    EXPECT_TRUE(svc_stop(s, &state));
    EXPECT_EQ(state, SVC_STOP_PENDING);
    EXPECT_EQ(fake_calls(fake), before +
                                    "[is-active][NFSserver.service]\n"
                                    "[stop][--no-block][NFSserver.service]\n"
                                    "[is-active][NFSserver.service]\n");
    svc_close(s);
}

TEST_F(UnitFileTest, StopOfAStoppedServiceIsNotSent) {
    svc_service* s = create("NFSserver", "Z:\\usr\\bin\\quen", deps({"tcpip"}));
    ASSERT_NE(s, nullptr);
    const std::string before = fake_calls(fake);
    uint32_t state = 0;
    EXPECT_FALSE(svc_stop(s, &state));
    EXPECT_EQ(state, SVC_STOPPED);
    EXPECT_EQ(sys_last_error(), WIN_ERROR_SERVICE_NOT_ACTIVE);
    EXPECT_EQ(fake_calls(fake), before + "[is-active][NFSserver.service]\n");
    svc_close(s);
}

TEST_F(UnitFileTest, FailedStopIsReported) {
    svc_service* s = create("NFSserver", "Z:\\usr\\bin\\quen", deps({"tcpip"}));
    ASSERT_NE(s, nullptr);
    fake_set_state(fake, "active");
    fake_fail_verb(fake, "stop", 1);
    uint32_t state = 0;
    EXPECT_FALSE(svc_stop(s, &state));
    EXPECT_EQ(state, SVC_RUNNING);
    EXPECT_EQ(sys_last_error(), WIN_ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    svc_close(s);
}

TEST_F(UnitFileTest, DeleteDisablesRemovesAndReloads) {
    svc_service* s = create("NFSserver", "Z:\\usr\\bin\\quen", deps({"tcpip"}));
    ASSERT_NE(s, nullptr);
    const std::string before = fake_calls(fake);
    EXPECT_EQ(svc_delete(s), WIN_ERROR_SUCCESS);
    EXPECT_EQ(fake_calls(fake), before + "[disable][NFSserver.service]\n[daemon-reload]\n");
    EXPECT_EQ(read_text(unit_file("NFSserver")), "<missing>");
    uint32_t error = 0;
    EXPECT_EQ(svc_open(manager, "NFSserver", &error), nullptr);
    EXPECT_EQ(error, WIN_ERROR_SERVICE_DOES_NOT_EXIST);
    // Deleting again: the service is gone.
    EXPECT_EQ(svc_delete(s), WIN_ERROR_SERVICE_DOES_NOT_EXIST);
    svc_close(s);
}

TEST_F(UnitFileTest, FailedDisableKeepsTheUnit) {
    svc_service* s = create("NFSserver", "Z:\\usr\\bin\\quen", deps({"tcpip"}));
    ASSERT_NE(s, nullptr);
    fake_fail_verb(fake, "disable", 1);
    EXPECT_EQ(svc_delete(s), WIN_ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
    EXPECT_NE(read_text(unit_file("NFSserver")), "<missing>");
    svc_close(s);
}

TEST(ServiceManager, WithoutSystemdTheControllerCannotBeReached) {
    struct stat st;
    if (::stat("/run/systemd/system", &st) == 0) GTEST_SKIP() << "systemd runs on this machine";
    ::unsetenv("TERVALO_SYSTEMD_DIR");
    uint32_t error = 0;
    EXPECT_EQ(svc_open_manager(&error), nullptr);
    EXPECT_EQ(error, WIN_ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
}

TEST(ServiceManager, MissingUnitDirectoryIsAnError) {
    ::setenv("TERVALO_SYSTEMD_DIR", "/nonexistent/tervalo/units", 1);
    uint32_t error = 0;
    EXPECT_EQ(svc_open_manager(&error), nullptr);
    EXPECT_EQ(error, WIN_ERROR_FILE_NOT_FOUND);
    ::unsetenv("TERVALO_SYSTEMD_DIR");
}

TEST(ServiceManager, UnwritableUnitDirectoryIsAccessDenied) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
    fake_systemd fake;
    ASSERT_TRUE(fake_systemd_start(fake));
    ASSERT_EQ(::chmod(fake.root.c_str(), 0755), 0);
    // A child that is not root finds the root-owned 0755 directory read-only.
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(100);
        uint32_t error = 0;
        svc_manager* m = svc_open_manager(&error);
        ::_exit(m ? 101 : int(error == WIN_ERROR_ACCESS_DENIED ? 0 : 102));
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    fake_systemd_stop(fake);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
#endif
