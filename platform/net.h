// Sockets: Windows Sockets 2.2 on Windows, BSD sockets on POSIX.
// Errors are reported as Windows Sockets error numbers on both backends.
#pragma once
#include <cstddef>
#include <cstdint>

using net_socket = std::intptr_t;          // SOCKET on Windows, a descriptor on POSIX
constexpr net_socket NET_INVALID = -1;     // INVALID_SOCKET is ~0

// The 16 bytes of an IPv4 socket address (sockaddr_in).
struct net_addr4 {
    uint16_t family;   // 2 (AF_INET), host order
    uint16_t port;     // network order
    uint32_t addr;     // network order
    uint8_t zero[8];
};
static_assert(sizeof(net_addr4) == 16);
constexpr int NET_ADDR4_LEN = 16;

// Windows Sockets error numbers.
enum : int {
    NET_WSAEINTR = 10004,
    NET_WSAEBADF = 10009,
    NET_WSAEACCES = 10013,
    NET_WSAEFAULT = 10014,
    NET_WSAEINVAL = 10022,
    NET_WSAEMFILE = 10024,
    NET_WSAEWOULDBLOCK = 10035,
    NET_WSAENOTSOCK = 10038,
    NET_WSAEMSGSIZE = 10040,
    NET_WSAEADDRINUSE = 10048,
    NET_WSAEADDRNOTAVAIL = 10049,
    NET_WSAENETDOWN = 10050,
    NET_WSAENETUNREACH = 10051,
    NET_WSAECONNABORTED = 10053,
    NET_WSAECONNRESET = 10054,
    NET_WSAENOBUFS = 10055,
    NET_WSAENOTCONN = 10057,
    NET_WSAESHUTDOWN = 10058,
    NET_WSAETIMEDOUT = 10060,
    NET_WSAECONNREFUSED = 10061,
    NET_WSAEHOSTUNREACH = 10065,
    NET_WSA_IO_PENDING = 997,
};

enum net_option : int {
    NET_SO_BROADCAST,
    NET_SO_KEEPALIVE,
    NET_SO_REUSEADDR,
    NET_SO_RCVBUF,
    NET_SO_SNDBUF,
    NET_TCP_NODELAY,
};

bool net_startup();   // Windows Sockets 2.2
void net_cleanup();
int net_last_error();

// addr and port in host order.
net_addr4 net_make_addr(uint32_t addr, uint16_t port);
uint32_t net_addr_host(const net_addr4& a);   // address in host order
uint16_t net_port_host(const net_addr4& a);   // port in host order

// A datagram socket; `overlapped` allows overlapped receives (net_udp_receiver).
net_socket net_udp_socket(bool overlapped);
net_socket net_tcp_socket();
bool net_bind(net_socket s, const net_addr4& local);
bool net_listen(net_socket s, int backlog);
bool net_connect(net_socket s, const net_addr4& peer);
bool net_set_option(net_socket s, net_option option, int value);
// NET_SO_RCVBUF or NET_SO_SNDBUF as the program asked for it.
bool net_get_buffer_size(net_socket s, net_option option, int* value);
bool net_local_address(net_socket s, net_addr4* local);
net_socket net_accept(net_socket s, net_addr4* peer, int32_t* peer_len);

// Byte counts like recv/send: > 0 transferred, 0 orderly close (receive), -1 error.
int net_recv(net_socket s, void* buf, int len);
// As net_recv, but never waits: -1 with NET_WSAEWOULDBLOCK when nothing has
// arrived (on Windows also after the peer's close: wait, then net_recv tells).
int net_recv_nowait(net_socket s, void* buf, int len);
int net_send(net_socket s, const void* buf, int len);
int net_recvfrom(net_socket s, void* buf, int len, net_addr4* peer, int32_t* peer_len);
int net_sendto(net_socket s, const void* buf, int len, const net_addr4& peer);

void net_shutdown(net_socket s);   // both directions; the peer sees the end (blocked local threads may not wake)
void net_close(net_socket s);

// Waits until one of `count` sockets is readable (timeout_ms < 0: no limit).
// Sets ready[i] for each readable socket. Result: number ready, 0 on time-out,
// -1 on error (net_last_error).
int net_wait_readable(const net_socket* sockets, int count, bool* ready, int timeout_ms);
// One socket: 1 readable, 0 time-out, -1 error.
inline int net_wait_one(net_socket s, int timeout_ms) {
    bool ready = false;
    return net_wait_readable(&s, 1, &ready, timeout_ms);
}

// IPv4 addresses (network order) of the local host name's address list.
int net_local_ipv4_list(uint32_t* out, int max);
// IPv4 addresses (network order, first as the name service gives them) of a
// host name, at most max. Result: the number found, 0 when it does not resolve.
int net_resolve_ipv4(const char* name, uint32_t* out, int max);
// The host name of an IPv4 address (network order), NUL-terminated in out.
// false when the address has no name or the name does not fit.
bool net_host_name_of(uint32_t address, char* out, size_t size);

// Overlapped-style datagram receive. On Windows a receive that times out is
// cancelled before returning, so the buffer is free; on POSIX a receive is a
// wait plus recvfrom. A datagram too big for the buffer is dropped
// (NET_RECV_FAILED, WSAEMSGSIZE) on both.
struct net_udp_receiver {
    alignas(8) unsigned char opaque[96];
};
enum : int {
    NET_RECV_ERROR = -1,      // the receive could not be started
    NET_RECV_TIMEOUT = -2,    // still pending after the time-out
    NET_RECV_FAILED = -3,     // a pending receive completed with an error
};
bool net_udp_receiver_open(net_udp_receiver* rx);
void net_udp_receiver_close(net_udp_receiver* rx);   // cancels a pending receive
// Result: bytes received (>= 0) or one of NET_RECV_*.
int net_udp_receive(net_udp_receiver* rx, net_socket s, void* buf, int len, net_addr4* peer,
                    int32_t* peer_len, int timeout_ms);

// Owns a socket for a scope.
struct socket_guard {
    net_socket s = NET_INVALID;
    explicit socket_guard(net_socket sock) : s(sock) {}
    socket_guard(const socket_guard&) = delete;
    socket_guard& operator=(const socket_guard&) = delete;
    ~socket_guard() {
        if (s != NET_INVALID) net_close(s);
    }
    net_socket release() {
        net_socket r = s;
        s = NET_INVALID;
        return r;
    }
};
