// BSD sockets behind the Windows Sockets view of the rest of the code.
#include "platform/net.h"
#include "platform/net_sockaddr.h"

#include <arpa/inet.h>
#include <cerrno>
#include <algorithm>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

namespace {

thread_local int t_last_error = 0;

int wsa_from_errno(int e) {
    switch (e) {
    case 0: return 0;
    case EINTR: return NET_WSAEINTR;
    case EBADF: return NET_WSAEBADF;
    case EACCES:
    case EPERM: return NET_WSAEACCES;
    case EFAULT: return NET_WSAEFAULT;
    case EINVAL: return NET_WSAEINVAL;
    case EMFILE:
    case ENFILE: return NET_WSAEMFILE;
    case EAGAIN: return NET_WSAEWOULDBLOCK;
    case ENOTSOCK: return NET_WSAENOTSOCK;
    case EMSGSIZE: return NET_WSAEMSGSIZE;
    case EADDRINUSE: return NET_WSAEADDRINUSE;
    case EADDRNOTAVAIL: return NET_WSAEADDRNOTAVAIL;
    case ENETDOWN: return NET_WSAENETDOWN;
    case ENETUNREACH: return NET_WSAENETUNREACH;
    case ECONNABORTED: return NET_WSAECONNABORTED;
    case ECONNRESET:
    case EPIPE: return NET_WSAECONNRESET;
    case ENOBUFS:
    case ENOMEM: return NET_WSAENOBUFS;
    case ENOTCONN: return NET_WSAENOTCONN;
    case ESHUTDOWN: return NET_WSAESHUTDOWN;
    case ETIMEDOUT: return NET_WSAETIMEDOUT;
    case ECONNREFUSED: return NET_WSAECONNREFUSED;
    case EHOSTUNREACH: return NET_WSAEHOSTUNREACH;
    default: return NET_WSAEINVAL;
    }
}

void note_errno() { t_last_error = wsa_from_errno(errno); }

int fd_of(net_socket s) { return static_cast<int>(s); }

net_socket new_socket(int type) {
    int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        note_errno();
        return NET_INVALID;
    }
    return fd;
}

struct posix_receiver {
    bool open;
};
static_assert(sizeof(posix_receiver) <= sizeof(net_udp_receiver::opaque));

int64_t monotonic_ns() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

}  // namespace

bool net_startup() { return true; }
void net_cleanup() {}
int net_last_error() { return t_last_error; }

net_socket net_udp_socket(bool) { return new_socket(SOCK_DGRAM); }
net_socket net_tcp_socket() { return new_socket(SOCK_STREAM); }

bool net_bind(net_socket s, const net_addr4& local) {
    sockaddr_in sa = to_sockaddr(local);
    if (::bind(fd_of(s), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) return true;
    note_errno();
    return false;
}

bool net_listen(net_socket s, int backlog) {
    if (::listen(fd_of(s), backlog) == 0) return true;
    note_errno();
    return false;
}

bool net_connect(net_socket s, const net_addr4& peer) {
    sockaddr_in sa = to_sockaddr(peer);
    for (;;) {
        if (::connect(fd_of(s), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) return true;
        if (errno != EINTR) break;
    }
    note_errno();
    return false;
}

bool net_set_option(net_socket s, net_option option, int value) {
    int level = SOL_SOCKET, name = 0;
    switch (option) {
    case NET_SO_BROADCAST: name = SO_BROADCAST; break;
    case NET_SO_KEEPALIVE: name = SO_KEEPALIVE; break;
    case NET_SO_REUSEADDR: name = SO_REUSEADDR; break;
    case NET_SO_RCVBUF: name = SO_RCVBUF; break;
    case NET_SO_SNDBUF: name = SO_SNDBUF; break;
    case NET_TCP_NODELAY: level = IPPROTO_TCP; name = TCP_NODELAY; break;
    }
    if (::setsockopt(fd_of(s), level, name, &value, sizeof value) == 0) return true;
    note_errno();
    return false;
}

bool net_get_buffer_size(net_socket s, net_option option, int* value) {
    if (option != NET_SO_RCVBUF && option != NET_SO_SNDBUF) return false;
    int got = 0;
    socklen_t len = sizeof got;
    if (::getsockopt(fd_of(s), SOL_SOCKET, option == NET_SO_RCVBUF ? SO_RCVBUF : SO_SNDBUF, &got, &len) != 0) {
        note_errno();
        return false;
    }
    // Linux reports twice the size set (its bookkeeping included); Winsock
    // reports the size itself.
    *value = got / 2;
    return true;
}

bool net_local_address(net_socket s, net_addr4* local) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (::getsockname(fd_of(s), reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
        note_errno();
        return false;
    }
    *local = from_sockaddr(sa);
    return true;
}

net_socket net_accept(net_socket s, net_addr4* peer, int32_t* peer_len) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    int fd;
    do {
        fd = ::accept4(fd_of(s), reinterpret_cast<sockaddr*>(&sa), &len, SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        note_errno();
        return NET_INVALID;
    }
    if (peer) *peer = from_sockaddr(sa);
    if (peer_len) *peer_len = NET_ADDR4_LEN;
    return fd;
}

int net_recv(net_socket s, void* buf, int len) {
    ssize_t n;
    do {
        n = ::recv(fd_of(s), buf, static_cast<size_t>(len), 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        note_errno();
        return -1;
    }
    return static_cast<int>(n);
}

int net_recv_nowait(net_socket s, void* buf, int len) {
    ssize_t n;
    do {
        n = ::recv(fd_of(s), buf, static_cast<size_t>(len), MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        note_errno();
        return -1;
    }
    return static_cast<int>(n);
}

int net_send(net_socket s, const void* buf, int len) {
    ssize_t n;
    do {
        n = ::send(fd_of(s), buf, static_cast<size_t>(len), MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        note_errno();
        return -1;
    }
    return static_cast<int>(n);
}

int net_recvfrom(net_socket s, void* buf, int len, net_addr4* peer, int32_t* peer_len) {
    sockaddr_in sa{};
    socklen_t sl = sizeof sa;
    ssize_t n;
    do {
        n = ::recvfrom(fd_of(s), buf, static_cast<size_t>(len), MSG_TRUNC, reinterpret_cast<sockaddr*>(&sa), &sl);
    } while (n < 0 && errno == EINTR);
    if (n > len) errno = EMSGSIZE;   // as Winsock: a datagram too big for the buffer is lost, not cut
    if (n < 0 || n > len) {
        note_errno();
        return -1;
    }
    if (peer) *peer = from_sockaddr(sa);
    if (peer_len) *peer_len = NET_ADDR4_LEN;
    return static_cast<int>(n);
}

int net_sendto(net_socket s, const void* buf, int len, const net_addr4& peer) {
    sockaddr_in sa = to_sockaddr(peer);
    ssize_t n = ::sendto(fd_of(s), buf, static_cast<size_t>(len), MSG_NOSIGNAL,
                         reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    if (n < 0) {
        note_errno();
        return -1;
    }
    return static_cast<int>(n);
}

void net_shutdown(net_socket s) {
    if (s != NET_INVALID) ::shutdown(fd_of(s), SHUT_RDWR);
}

void net_close(net_socket s) {
    if (s != NET_INVALID) ::close(fd_of(s));
}

int net_wait_readable(const net_socket* sockets, int count, bool* ready, int timeout_ms) {
    // poll, not select: descriptors above FD_SETSIZE must not overflow a set.
    pollfd fds[128];
    if (count < 0 || count > 128) {
        t_last_error = NET_WSAEINVAL;
        return -1;
    }
    for (int i = 0; i < count; ++i) {
        fds[i].fd = fd_of(sockets[i]);
        fds[i].events = POLLIN;
        fds[i].revents = 0;
    }
    // Winsock's select is not cut short by signals; poll is, even with a zero
    // time-out, so an interrupted wait goes on for the time that is left.
    const int64_t deadline = timeout_ms < 0 ? 0 : monotonic_ns() + int64_t(timeout_ms) * 1000000;
    int n;
    for (;;) {
        // Rounded up, so that the wait never ends before its time.
        int wait_ms = timeout_ms < 0 ? -1 : int((std::max<int64_t>(deadline - monotonic_ns(), 0) + 999999) / 1000000);
        n = ::poll(fds, static_cast<nfds_t>(count), wait_ms);
        if (n >= 0 || errno != EINTR) break;
    }
    if (n < 0) {
        note_errno();
        return -1;
    }
    int marked = 0;
    for (int i = 0; i < count; ++i) {
        // Errors and hang-ups count as readable, as select reports them.
        ready[i] = (fds[i].revents & (POLLIN | POLLERR | POLLHUP | POLLNVAL)) != 0;
        marked += ready[i];
    }
    return marked;
}

bool net_udp_receiver_open(net_udp_receiver* rx) {
    auto* r = reinterpret_cast<posix_receiver*>(rx->opaque);
    r->open = true;
    return true;
}

void net_udp_receiver_close(net_udp_receiver* rx) {
    reinterpret_cast<posix_receiver*>(rx->opaque)->open = false;
}

int net_udp_receive(net_udp_receiver*, net_socket s, void* buf, int len, net_addr4* peer,
                    int32_t* peer_len, int timeout_ms) {
    int w = net_wait_one(s, timeout_ms);
    if (w == 0) return NET_RECV_TIMEOUT;
    if (w < 0) return NET_RECV_FAILED;
    // Several workers wake for one datagram; those that lose the race must not
    // block in recvfrom, or they would miss the stop until the next datagram.
    sockaddr_in sa{};
    socklen_t sl = sizeof sa;
    ssize_t n;
    do {
        n = ::recvfrom(fd_of(s), buf, static_cast<size_t>(len), MSG_DONTWAIT | MSG_TRUNC,
                       reinterpret_cast<sockaddr*>(&sa), &sl);
    } while (n < 0 && errno == EINTR);
    if (n > len) {   // too big for the buffer: dropped, as Winsock drops it
        errno = EMSGSIZE;
        note_errno();
        return NET_RECV_FAILED;
    }
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) return NET_RECV_TIMEOUT;
        note_errno();
        return NET_RECV_FAILED;
    }
    if (peer) *peer = from_sockaddr(sa);
    if (peer_len) *peer_len = NET_ADDR4_LEN;
    return static_cast<int>(n);
}
