// System error numbers and texts, the executable's path and the event log.
#include "platform/console.h"
#include "platform/service.h"
#include "platform/win_error.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#ifndef _WIN32
#include "platform/posix/errno_map.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace {

std::string message(uint32_t error) {
    char buf[512];
    std::memset(buf, 'x', sizeof buf);
    const size_t n = sys_error_message(error, buf, sizeof buf);
    if (n == 0) {
        EXPECT_EQ(buf[0], 0) << error;
        return "";
    }
    EXPECT_EQ(n, std::strlen(buf)) << error;
    return std::string(buf, n);
}

std::string lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = char(c + 32);
    return s;
}

TEST(ErrorMessage, KnownErrorsHaveATextWithoutLineBreak) {
    for (uint32_t e : {2u, 3u, 5u, 87u, 1060u, 1062u, 1063u, 1073u}) {
        const std::string text = message(e);
        ASSERT_FALSE(text.empty()) << e;
        EXPECT_NE(text.back(), '\n') << e;
        EXPECT_NE(text.back(), '\r') << e;
    }
    EXPECT_NE(lower(message(WIN_ERROR_SERVICE_DOES_NOT_EXIST)).find("service"), std::string::npos);
    EXPECT_NE(lower(message(WIN_ERROR_ACCESS_DENIED)).find("denied"), std::string::npos);
    // Different errors, different texts.
    EXPECT_NE(message(WIN_ERROR_SERVICE_EXISTS), message(WIN_ERROR_SERVICE_DOES_NOT_EXIST));
}

TEST(ErrorMessage, UnknownNumberHasNoText) {
    EXPECT_EQ(message(0x2000ABCDu), "");
    EXPECT_EQ(message(61234u), "");
}

TEST(ErrorMessage, TextThatDoesNotFitGivesZero) {
    const std::string full = message(WIN_ERROR_SERVICE_DOES_NOT_EXIST);
    ASSERT_FALSE(full.empty());
    char buf[512];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(sys_error_message(WIN_ERROR_SERVICE_DOES_NOT_EXIST, buf, 8), 0u);
    EXPECT_EQ(buf[0], 0);
    EXPECT_EQ(sys_error_message(WIN_ERROR_SERVICE_DOES_NOT_EXIST, buf, 0), 0u);
    EXPECT_EQ(buf[0], 0);
}

TEST(ExecutablePath, IsTheTestProgramInWindowsForm) {
    char buf[2048];
    const size_t n = executable_path(buf, sizeof buf);
    ASSERT_GT(n, 3u);
    ASSERT_EQ(n, std::strlen(buf));
    const std::string path(buf, n);
    EXPECT_TRUE((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')) << path;
    EXPECT_EQ(path.substr(1, 2), ":\\") << path;
    EXPECT_EQ(path.find('/'), std::string::npos) << path;
    const std::string base = path.substr(path.rfind('\\') + 1);
    EXPECT_EQ(lower(base).rfind("platform_service_test", 0), 0u) << path;
    // Exactly as long as needed: one byte less leaves no room for the NUL.
    char exact[2048];
    EXPECT_EQ(executable_path(exact, n + 1), n);
    EXPECT_EQ(std::string(exact), path);
    EXPECT_EQ(executable_path(exact, n), 0u);
    EXPECT_EQ(exact[0], 0);
}

#ifndef _WIN32

TEST(ErrnoMap, CommonErrnosGiveTheWin32Numbers) {
    EXPECT_EQ(errno_to_win32(0), WIN_ERROR_SUCCESS);
    EXPECT_EQ(errno_to_win32(ENOENT), WIN_ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(errno_to_win32(ENOTDIR), WIN_ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(errno_to_win32(EACCES), WIN_ERROR_ACCESS_DENIED);
    EXPECT_EQ(errno_to_win32(EROFS), WIN_ERROR_ACCESS_DENIED);
    EXPECT_EQ(errno_to_win32(EEXIST), WIN_ERROR_FILE_EXISTS);
    EXPECT_EQ(errno_to_win32(EINVAL), WIN_ERROR_INVALID_PARAMETER);
    EXPECT_EQ(errno_to_win32(ENOSPC), WIN_ERROR_DISK_FULL);
    EXPECT_EQ(errno_to_win32(ENOTEMPTY), WIN_ERROR_DIR_NOT_EMPTY);
    EXPECT_EQ(errno_to_win32(ENAMETOOLONG), WIN_ERROR_FILENAME_EXCED_RANGE);
    EXPECT_EQ(errno_to_win32(ENOMEM), WIN_ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(errno_to_win32(EBADF), WIN_ERROR_INVALID_HANDLE);
}

TEST(ErrnoMap, UnmappedErrnoGivesTheCallersChoice) {
    EXPECT_EQ(errno_to_win32(EHOSTDOWN), kErrnoUnmappedDefault);
    EXPECT_EQ(errno_to_win32(EHOSTDOWN, WIN_ERROR_CANTWRITE), WIN_ERROR_CANTWRITE);
    EXPECT_EQ(errno_to_win32(ENOENT, WIN_ERROR_CANTWRITE), WIN_ERROR_FILE_NOT_FOUND);
}

TEST(ErrnoMap, EveryMappedNumberHasAText) {
    for (int e = 0; e < 134; ++e) {
        const uint32_t w = errno_to_win32(e);
        EXPECT_FALSE(message(w).empty()) << "errno " << e << " -> " << w;
    }
}

TEST(LastError, FollowsErrno) {
    EXPECT_LT(::open("/nonexistent/tervalo/file", O_RDONLY), 0);
    EXPECT_EQ(sys_last_error(), WIN_ERROR_FILE_NOT_FOUND);
    EXPECT_LT(::open("/proc/self/exe/x", O_RDONLY), 0);
    EXPECT_EQ(sys_last_error(), WIN_ERROR_PATH_NOT_FOUND);
}

// The event log is syslog: in a child with a mount namespace of its own, a
// datagram socket bound at /dev/log receives what the report sends.
TEST(EventLog, ReportIsOneSyslogMessageOfTheDaemonFacility) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root for a mount namespace";
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::close(fds[0]);
        if (::unshare(CLONE_NEWNS) != 0) ::_exit(10);
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) ::_exit(10);
        if (::mount("tmpfs", "/dev", "tmpfs", 0, "size=64k") != 0) ::_exit(10);
        const int s = ::socket(AF_UNIX, SOCK_DGRAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strcpy(addr.sun_path, "/dev/log");
        if (s < 0 || ::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) ::_exit(11);
        timeval limit{5, 0};
        ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        const char* strings[] = {"NFSserver error: 1063", "StartServiceCtrlDispatcher failed."};
        if (!event_log_error("NFSserver", strings, 2)) ::_exit(12);
        char buf[1024];
        const ssize_t n = ::recv(s, buf, sizeof buf, 0);
        if (n <= 0) ::_exit(13);
        if (::write(fds[1], buf, size_t(n)) != n) ::_exit(14);
        // Only one message per report.
        if (::recv(s, buf, sizeof buf, MSG_DONTWAIT) > 0) ::_exit(15);
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string got;
    char buf[1024];
    ssize_t n;
    while ((n = ::read(fds[0], buf, sizeof buf)) > 0) got.append(buf, size_t(n));
    ::close(fds[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 10) GTEST_SKIP() << "no mount namespace here";
    ASSERT_EQ(WEXITSTATUS(status), 0) << got;
    // LOG_DAEMON (3 << 3) | LOG_ERR (3).
    EXPECT_EQ(got.rfind("<27>", 0), 0u) << got;
    const std::string tail = "[" + std::to_string(pid) +
                             "]: NFSserver error: 1063: StartServiceCtrlDispatcher failed.";
    EXPECT_NE(got.find(" NFSserver" + tail), std::string::npos) << got;
}

#endif

}  // namespace

namespace {

void print_to(FILE* f, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    console_vprintf(f, format, ap);
    va_end(ap);
}

}  // namespace

// A stream that is no console (a pipe, a file) gets the UTF-8 bytes as they
// are, whole, however long the text.
TEST(ConsoleText, AStreamThatIsNoConsoleGetsTheUtf8BytesWhole) {
    FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    const std::string long_name(3000, 'n');
    print_to(f, "caf\xC3\xA9 %s %d\n", long_name.c_str(), 7);
    std::rewind(f);
    std::string back(4000, '\0');
    back.resize(std::fread(back.data(), 1, back.size(), f));
    std::fclose(f);
    EXPECT_EQ(back, "caf\xC3\xA9 " + long_name + " 7\n");
}
