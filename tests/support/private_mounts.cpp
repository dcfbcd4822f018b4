#include "tests/support/private_mounts.h"

#include <cerrno>
#include <cstring>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr size_t kReasonSize = 200;

std::string with_error(const std::string& what) { return what + ": " + std::strerror(errno); }

bool write_all(int fd, const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= size_t(n);
    }
    return true;
}

size_t read_all(int fd, void* data, size_t size) {
    char* p = static_cast<char*>(data);
    size_t got = 0;
    while (got < size) {
        const ssize_t n = ::read(fd, p + got, size - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += size_t(n);
    }
    return got;
}

[[noreturn]] void child(int fd, void* report, size_t size, const std::function<std::string()>& work) {
    std::string skip;
    if (::unshare(CLONE_NEWNS) != 0)
        skip = with_error("unshare(CLONE_NEWNS)");
    else if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        skip = with_error("making / private");
    else
        skip = work();
    char reason[kReasonSize] = {};
    skip.copy(reason, sizeof reason - 1);
    // The child leaves at once: the parent's objects are not its to end.
    ::_exit(write_all(fd, reason, sizeof reason) && write_all(fd, report, size) ? 0 : 3);
}

}  // namespace

bool may_mount() { return ::geteuid() == 0; }

std::string mount_in_child(const char* type, const std::string& dir, const char* options) {
    if (::mount(type, dir.c_str(), type, 0, options) == 0) return "";
    return with_error(std::string("mounting ") + type);
}

child_outcome run_with_private_mounts(void* report, size_t size, const std::function<std::string()>& work) {
    child_outcome out;
    int fds[2];
    if (::pipe(fds) != 0) return out;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        child(fds[1], report, size, work);
    }
    ::close(fds[1]);
    char reason[kReasonSize] = {};
    const bool sent = pid > 0 && read_all(fds[0], reason, sizeof reason) == sizeof reason &&
                      read_all(fds[0], report, size) == size;
    ::close(fds[0]);
    int status = 0;
    if (pid <= 0 || ::waitpid(pid, &status, 0) != pid) return out;
    out.reported = sent && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (out.reported) out.skip = reason;
    return out;
}
