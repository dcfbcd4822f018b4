// The control pipe on POSIX: a SOCK_SEQPACKET Unix-domain socket, which keeps
// message boundaries as a message-mode pipe does. Its folder is not writable
// by others, so nobody can put another socket in its place.
#include "platform/pipe.h"

#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

struct pipe_listener {
    int fd;
    sockaddr_un address;   // removed again when the listener closes
};
struct pipe_conn {
    int fd;
};

namespace {

constexpr const char* kDefaultPath = "/run/tervalo/nfs_server";

bool make_address(sockaddr_un* a) {
    const char* path = pipe_name();
    std::memset(a, 0, sizeof *a);
    a->sun_family = AF_UNIX;
    if (std::strlen(path) >= sizeof a->sun_path) return false;
    std::memcpy(a->sun_path, path, std::strlen(path) + 1);
    return true;
}

// The socket's folder: created owner-only-writable when missing; refused when
// others may write it without the sticky bit (they could swap the socket).
bool folder_ready(const char* path) {
    std::string dir(path);
    const size_t slash = dir.rfind('/');
    if (slash == std::string::npos) return false;
    dir.resize(slash == 0 ? 1 : slash);
    struct stat st {};
    if (stat(dir.c_str(), &st) != 0) {
        if (mkdir(dir.c_str(), 0755) != 0 || stat(dir.c_str(), &st) != 0) return false;
    }
    if (!S_ISDIR(st.st_mode)) return false;
    return (st.st_mode & (S_IWGRP | S_IWOTH)) == 0 || (st.st_mode & S_ISVTX) != 0;
}

int connect_socket() {
    sockaddr_un a;
    if (!make_address(&a)) return -1;
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool peer_credentials(int fd, ucred* cred) {
    socklen_t len = sizeof *cred;
    return getsockopt(fd, SOL_SOCKET, SO_PEERCRED, cred, &len) == 0 && len == sizeof *cred;
}

bool in_admin_group(const ucred& cred) {
    std::vector<char> buf(16384);
    group g{};
    group* gp = nullptr;
    if (getgrnam_r(pipe_admin_group(), &g, buf.data(), buf.size(), &gp) != 0 || !gp) return false;
    const gid_t admin = gp->gr_gid;
    if (cred.gid == admin) return true;
    passwd pw{};
    passwd* pwp = nullptr;
    std::vector<char> pbuf(16384);
    if (getpwuid_r(cred.uid, &pw, pbuf.data(), pbuf.size(), &pwp) != 0 || !pwp) return false;
    int count = 64;
    std::vector<gid_t> groups(64);
    if (getgrouplist(pw.pw_name, pw.pw_gid, groups.data(), &count) < 0) {
        if (count <= 0 || count > 65536) return false;
        groups.resize(size_t(count));
        if (getgrouplist(pw.pw_name, pw.pw_gid, groups.data(), &count) < 0) return false;
    }
    for (int i = 0; i < count; ++i)
        if (groups[size_t(i)] == admin) return true;
    return false;
}

}  // namespace

const char* pipe_name() {
    const char* env = std::getenv("TERVALO_PIPE");
    return env && *env ? env : kDefaultPath;
}

const char* pipe_admin_group() { return "tervalo-admin"; }

pipe_listener* pipe_listen() {
    sockaddr_un a;
    if (!make_address(&a) || !folder_ready(a.sun_path)) return nullptr;
    const int live = connect_socket();
    if (live >= 0) {  // another server answers there
        close(live);
        return nullptr;
    }
    unlink(a.sun_path);
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    // Any local user may connect, as the Windows pipe lets local users in;
    // what each may do is decided per connection from its credentials.
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || chmod(a.sun_path, 0666) != 0 ||
        listen(fd, 16) != 0) {
        close(fd);
        return nullptr;
    }
    pipe_listener* l = new (std::nothrow) pipe_listener{fd, a};
    if (!l) {
        close(fd);
        unlink(a.sun_path);
    }
    return l;
}

pipe_conn* pipe_accept(pipe_listener* l) {
    for (;;) {
        const int fd = accept4(l->fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            pipe_conn* c = new (std::nothrow) pipe_conn{fd};
            if (!c) close(fd);
            return c;
        }
        if (errno != EINTR && errno != ECONNABORTED) return nullptr;
    }
}

void pipe_listener_wake(pipe_listener* l) { shutdown(l->fd, SHUT_RDWR); }

void pipe_listener_close(pipe_listener* l) {
    if (!l) return;
    close(l->fd);
    unlink(l->address.sun_path);
    delete l;
}

int pipe_read_message(pipe_conn* c, void* buf, uint32_t cap) {
    for (;;) {
        const ssize_t n = recv(c->fd, buf, cap, MSG_TRUNC);
        if (n < 0 && errno == EINTR) continue;
        // 0: the peer closed (an empty message is no valid request either).
        if (n <= 0 || size_t(n) > cap) return -1;
        return int(n);
    }
}

int pipe_read_message_within(pipe_conn* c, void* buf, uint32_t cap, uint32_t timeout_ms) {
    pollfd p{c->fd, POLLIN, 0};
    int ready;
    do ready = poll(&p, 1, timeout_ms > 0x7FFFFFFFu ? 0x7FFFFFFF : int(timeout_ms));
    while (ready < 0 && errno == EINTR);
    if (ready <= 0) return ready;
    return pipe_read_message(c, buf, cap);
}

bool pipe_write_message(pipe_conn* c, const void* data, uint32_t size) {
    ssize_t n;
    do n = send(c->fd, data, size, MSG_NOSIGNAL);
    while (n < 0 && errno == EINTR);
    return n == ssize_t(size);
}

bool pipe_peer_is_admin(pipe_conn* c) {
    ucred cred{};
    if (!peer_credentials(c->fd, &cred)) return false;
    return cred.uid == 0 || in_admin_group(cred);
}

bool pipe_self_is_admin() {
    const ucred self{getpid(), geteuid(), getegid()};
    return self.uid == 0 || in_admin_group(self);
}

bool pipe_peer_user(pipe_conn* c, pipe_user* out) {
    ucred cred{};
    if (!peer_credentials(c->fd, &cred)) return false;
    std::snprintf(out->key, sizeof out->key, "uid %u", unsigned(cred.uid));
    out->admin = cred.uid == 0 || in_admin_group(cred);
    return true;
}

void pipe_close(pipe_conn* c) {
    if (!c) return;
    close(c->fd);
    delete c;
}

pipe_conn* pipe_connect() {
    const int fd = connect_socket();
    if (fd < 0) return nullptr;
    pipe_conn* c = new (std::nothrow) pipe_conn{fd};
    if (!c) close(fd);
    return c;
}

int pipe_transact(pipe_conn* c, const void* request, uint32_t size, void* reply, uint32_t cap) {
    if (!pipe_write_message(c, request, size)) return -1;
    return pipe_read_message(c, reply, cap);
}
