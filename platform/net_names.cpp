// Host names and addresses through the system's name service: the same
// getaddrinfo/getnameinfo calls on both backends, only the headers differ.
#include "platform/net.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <cstring>

int net_resolve_ipv4(const char* name, uint32_t* out, int max) {
    if (!name || !*name || max <= 0) return 0;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* res = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &res) != 0) return 0;
    int n = 0;
    for (addrinfo* p = res; p && n < max; p = p->ai_next) {
        if (p->ai_family != AF_INET || p->ai_addrlen < sizeof(sockaddr_in)) continue;
        out[n++] = reinterpret_cast<sockaddr_in*>(p->ai_addr)->sin_addr.s_addr;
    }
    freeaddrinfo(res);
    return n;
}

bool net_host_name_of(uint32_t address, char* out, size_t size) {
    if (!out || size == 0) return false;
    out[0] = 0;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = address;
    char host[1025];
    if (getnameinfo(reinterpret_cast<sockaddr*>(&a), sizeof a, host, sizeof host, nullptr, 0, NI_NAMEREQD) != 0)
        return false;
    const size_t n = std::strlen(host);
    if (n >= size) return false;
    std::memcpy(out, host, n + 1);
    return true;
}

int net_local_ipv4_list(uint32_t* out, int max) {
    char host[256];
    if (gethostname(host, sizeof host) != 0) return 0;
    host[sizeof host - 1] = '\0';
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* res = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &res) != 0) return 0;
    int n = 0;
    for (addrinfo* p = res; p && n < max; p = p->ai_next) {
        if (p->ai_family != AF_INET || p->ai_addrlen < sizeof(sockaddr_in)) continue;
        uint32_t a = reinterpret_cast<sockaddr_in*>(p->ai_addr)->sin_addr.s_addr;
        bool seen = false;
        for (int i = 0; i < n; ++i) seen |= out[i] == a;
        if (!seen) out[n++] = a;
    }
    freeaddrinfo(res);
    return n;
}
