// Windows Sockets 2.2 behind net.h; the error numbers are Winsock's own.
#include "platform/net.h"

// net_wait_readable takes up to 128 sockets; Winsock's default set holds 64.
#define FD_SETSIZE 128
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mswsock.h>
#include "platform/net_sockaddr.h"
#include <windows.h>

#include <cstring>

namespace {

constexpr int WAIT_MAX_SOCKETS = 128;
static_assert(FD_SETSIZE >= WAIT_MAX_SOCKETS);
static_assert(sizeof(net_socket) == sizeof(SOCKET));
static_assert(static_cast<SOCKET>(NET_INVALID) == INVALID_SOCKET);
static_assert(sizeof(sockaddr_in) == sizeof(net_addr4));
static_assert(NET_WSAEWOULDBLOCK == WSAEWOULDBLOCK && NET_WSAEMSGSIZE == WSAEMSGSIZE &&
              NET_WSAECONNRESET == WSAECONNRESET && NET_WSAETIMEDOUT == WSAETIMEDOUT &&
              NET_WSAEINVAL == WSAEINVAL && NET_WSA_IO_PENDING == WSA_IO_PENDING);

SOCKET sock_of(net_socket s) { return static_cast<SOCKET>(s); }

net_socket from_socket(SOCKET s) {
    return s == INVALID_SOCKET ? NET_INVALID : static_cast<net_socket>(s);
}

// The state of one overlapped receiver. The sender's address lands here, not
// in the caller's memory, so its length word has the type Winsock writes.
struct win32_receiver {
    WSAOVERLAPPED overlapped;
    WSAEVENT event;
    sockaddr_in from;
    INT from_len;
    DWORD flags;
};
static_assert(sizeof(win32_receiver) <= sizeof(net_udp_receiver::opaque));
static_assert(alignof(win32_receiver) <= alignof(net_udp_receiver));

win32_receiver* receiver_of(net_udp_receiver* rx) {
    return reinterpret_cast<win32_receiver*>(rx->opaque);
}

// Cancels this thread's pending receive on s and waits until Winsock has let
// go of the buffer. Result: bytes of a datagram that completed before the
// cancel took effect, or -1 when the receive was cancelled or failed.
int cancel_and_settle(win32_receiver* r, SOCKET s) {
    CancelIo(reinterpret_cast<HANDLE>(s));
    DWORD got = 0, flags = 0;
    if (WSAGetOverlappedResult(s, &r->overlapped, &got, TRUE, &flags)) return static_cast<int>(got);
    return -1;
}

}  // namespace

bool net_startup() {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
    if (data.wVersion != MAKEWORD(2, 2)) {
        WSACleanup();
        return false;
    }
    return true;
}

void net_cleanup() { WSACleanup(); }
int net_last_error() { return WSAGetLastError(); }

net_socket net_udp_socket(bool overlapped) {
    DWORD flags = overlapped ? WSA_FLAG_OVERLAPPED : 0;
    SOCKET s = WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, flags);
    if (s != INVALID_SOCKET) {
        // Without this, an ICMP port-unreachable for an earlier reply (a
        // client that went away) fails the next receive with WSAECONNRESET,
        // and the worker that gets it pauses as on a real receive error.
        BOOL report = FALSE;
        DWORD returned = 0;
        WSAIoctl(s, SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &returned, nullptr, nullptr);
    }
    return from_socket(s);
}

net_socket net_tcp_socket() { return from_socket(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)); }

bool net_bind(net_socket s, const net_addr4& local) {
    sockaddr_in sa = to_sockaddr(local);
    return bind(sock_of(s), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
}

bool net_listen(net_socket s, int backlog) { return listen(sock_of(s), backlog) == 0; }

bool net_connect(net_socket s, const net_addr4& peer) {
    sockaddr_in sa = to_sockaddr(peer);
    return connect(sock_of(s), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
}

bool net_set_option(net_socket s, net_option option, int value) {
    int level = SOL_SOCKET, name = 0;
    switch (option) {
    case NET_SO_BROADCAST: name = SO_BROADCAST; break;
    case NET_SO_KEEPALIVE: name = SO_KEEPALIVE; break;
    case NET_SO_REUSEADDR:
        // Windows' SO_REUSEADDR lets another program bind the same port and
        // take its traffic; a server wants none of that, and a restarted one
        // can bind again without it.
        return true;
    case NET_SO_RCVBUF: name = SO_RCVBUF; break;
    case NET_SO_SNDBUF: name = SO_SNDBUF; break;
    case NET_TCP_NODELAY: level = IPPROTO_TCP; name = TCP_NODELAY; break;
    default: WSASetLastError(WSAENOPROTOOPT); return false;
    }
    return setsockopt(sock_of(s), level, name, reinterpret_cast<const char*>(&value), sizeof value) == 0;
}

bool net_get_buffer_size(net_socket s, net_option option, int* value) {
    if (option != NET_SO_RCVBUF && option != NET_SO_SNDBUF) return false;
    int len = sizeof *value;
    return getsockopt(sock_of(s), SOL_SOCKET, option == NET_SO_RCVBUF ? SO_RCVBUF : SO_SNDBUF,
                      reinterpret_cast<char*>(value), &len) == 0;
}

bool net_local_address(net_socket s, net_addr4* local) {
    sockaddr_in sa{};
    int len = sizeof sa;
    if (getsockname(sock_of(s), reinterpret_cast<sockaddr*>(&sa), &len) != 0) return false;
    *local = from_sockaddr(sa);
    return true;
}

net_socket net_accept(net_socket s, net_addr4* peer, int32_t* peer_len) {
    sockaddr_in sa{};
    int len = sizeof sa;
    SOCKET c = accept(sock_of(s), reinterpret_cast<sockaddr*>(&sa), &len);
    if (c == INVALID_SOCKET) return NET_INVALID;
    if (peer) *peer = from_sockaddr(sa);
    if (peer_len) *peer_len = NET_ADDR4_LEN;
    return static_cast<net_socket>(c);
}

int net_recv(net_socket s, void* buf, int len) {
    int n = recv(sock_of(s), static_cast<char*>(buf), len, 0);
    return n == SOCKET_ERROR ? -1 : n;
}

int net_recv_nowait(net_socket s, void* buf, int len) {
    // The socket stays blocking (other threads of its connection send on it);
    // what has arrived is asked first. Nothing there may also be the peer's
    // close, which the caller's wait then reports as readable.
    u_long waiting = 0;
    if (ioctlsocket(sock_of(s), FIONREAD, &waiting) == SOCKET_ERROR) return -1;
    if (waiting == 0) {
        WSASetLastError(WSAEWOULDBLOCK);
        return -1;
    }
    return net_recv(s, buf, len);
}

int net_send(net_socket s, const void* buf, int len) {
    int n = send(sock_of(s), static_cast<const char*>(buf), len, 0);
    return n == SOCKET_ERROR ? -1 : n;
}

int net_recvfrom(net_socket s, void* buf, int len, net_addr4* peer, int32_t* peer_len) {
    sockaddr_in sa{};
    int sl = sizeof sa;
    int n = recvfrom(sock_of(s), static_cast<char*>(buf), len, 0, reinterpret_cast<sockaddr*>(&sa), &sl);
    if (n == SOCKET_ERROR) return -1;
    if (peer) *peer = from_sockaddr(sa);
    if (peer_len) *peer_len = NET_ADDR4_LEN;
    return n;
}

int net_sendto(net_socket s, const void* buf, int len, const net_addr4& peer) {
    sockaddr_in sa = to_sockaddr(peer);
    int n = sendto(sock_of(s), static_cast<const char*>(buf), len, 0, reinterpret_cast<sockaddr*>(&sa),
                   sizeof sa);
    return n == SOCKET_ERROR ? -1 : n;
}

void net_shutdown(net_socket s) {
    if (s != NET_INVALID) shutdown(sock_of(s), SD_BOTH);
}

void net_close(net_socket s) {
    if (s != NET_INVALID) closesocket(sock_of(s));
}

int net_wait_readable(const net_socket* sockets, int count, bool* ready, int timeout_ms) {
    if (count < 0 || count > WAIT_MAX_SOCKETS) {
        WSASetLastError(WSAEINVAL);
        return -1;
    }
    if (count == 0) {
        // select refuses empty sets; waiting on nothing is a plain sleep.
        Sleep(timeout_ms < 0 ? INFINITE : static_cast<DWORD>(timeout_ms));
        return 0;
    }
    fd_set set;
    FD_ZERO(&set);
    for (int i = 0; i < count; ++i) set.fd_array[i] = sock_of(sockets[i]);
    set.fd_count = static_cast<u_int>(count);
    timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    int n = select(0, &set, nullptr, nullptr, timeout_ms < 0 ? nullptr : &tv);
    if (n == SOCKET_ERROR) return -1;
    int marked = 0;
    for (int i = 0; i < count; ++i) {
        ready[i] = FD_ISSET(sock_of(sockets[i]), &set) != 0;
        marked += ready[i];
    }
    return marked;
}

bool net_udp_receiver_open(net_udp_receiver* rx) {
    win32_receiver* r = receiver_of(rx);
    std::memset(r, 0, sizeof *r);
    r->event = WSACreateEvent();
    return r->event != WSA_INVALID_EVENT;
}

void net_udp_receiver_close(net_udp_receiver* rx) {
    // net_udp_receive never returns with a receive pending, so only the
    // event is left to release.
    win32_receiver* r = receiver_of(rx);
    if (r->event != WSA_INVALID_EVENT) WSACloseEvent(r->event);
    r->event = WSA_INVALID_EVENT;
}

int net_udp_receive(net_udp_receiver* rx, net_socket s, void* buf, int len, net_addr4* peer,
                    int32_t* peer_len, int timeout_ms) {
    win32_receiver* r = receiver_of(rx);
    SOCKET sock = sock_of(s);
    if (len < 0) {
        WSASetLastError(WSAEINVAL);
        return NET_RECV_ERROR;
    }
    std::memset(&r->overlapped, 0, sizeof r->overlapped);
    WSAResetEvent(r->event);
    r->overlapped.hEvent = r->event;
    r->from = sockaddr_in{};
    r->from_len = sizeof r->from;
    r->flags = 0;
    WSABUF wb{static_cast<ULONG>(len), static_cast<char*>(buf)};
    DWORD got = 0;
    int rc = WSARecvFrom(sock, &wb, 1, &got, &r->flags, reinterpret_cast<sockaddr*>(&r->from), &r->from_len,
                         &r->overlapped, nullptr);
    if (rc == SOCKET_ERROR) {
        const int err = WSAGetLastError();
        // A datagram too big for the buffer is lost; the next one may be fine.
        if (err == WSAEMSGSIZE) return NET_RECV_FAILED;
        if (err != WSA_IO_PENDING) return NET_RECV_ERROR;
        DWORD wait = WSAWaitForMultipleEvents(1, &r->event, FALSE,
                                              timeout_ms < 0 ? WSA_INFINITE : static_cast<DWORD>(timeout_ms),
                                              FALSE);
        if (wait != WSA_WAIT_EVENT_0) {
            // Time-out or a failed wait: the buffer must be free again before
            // returning, and a datagram that slipped in meanwhile still counts.
            int late = cancel_and_settle(r, sock);
            if (late < 0) {
                WSASetLastError(wait == WSA_WAIT_TIMEOUT ? WSAETIMEDOUT : WSAEINVAL);
                return wait == WSA_WAIT_TIMEOUT ? NET_RECV_TIMEOUT : NET_RECV_FAILED;
            }
            got = static_cast<DWORD>(late);
        } else {
            DWORD flags = 0;
            if (!WSAGetOverlappedResult(sock, &r->overlapped, &got, FALSE, &flags)) return NET_RECV_FAILED;
        }
    }
    if (peer) *peer = from_sockaddr(r->from);
    if (peer_len) *peer_len = NET_ADDR4_LEN;
    return static_cast<int>(got);
}
