#include "platform/posix/file_replace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

int write_all(int fd, const std::string& text) {
    for (size_t done = 0; done < text.size();) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        done += size_t(n);
    }
    return 0;
}

}  // namespace

void sync_directory(const std::string& dir) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

int replace_native_file(const std::string& path, const std::string& text, mode_t mode, replace_mode how) {
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    // Hidden, so that readers of the directory (systemd among them) pass it by.
    std::string temp = dir + "/.#" + name + "XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) return errno;
    int e = write_all(fd, text);
    if (e == 0 && ::fchmod(fd, mode) != 0) e = errno;
    if (e == 0 && ::fsync(fd) != 0) e = errno;
    if (::close(fd) != 0 && e == 0) e = errno;
    if (e == 0) {
        // link() fails when the name exists, where rename() would replace it.
        const int rc = how == REPLACE_CREATE_NEW ? ::link(temp.c_str(), path.c_str())
                                                 : ::rename(temp.c_str(), path.c_str());
        if (rc != 0) e = errno;
    }
    if (e != 0 || how == REPLACE_CREATE_NEW) ::unlink(temp.c_str());
    if (e == 0) sync_directory(dir);
    return e;
}
