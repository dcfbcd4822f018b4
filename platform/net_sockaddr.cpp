#include "platform/net_sockaddr.h"

sockaddr_in to_sockaddr(const net_addr4& a) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = a.port;
    sa.sin_addr.s_addr = a.addr;
    return sa;
}

net_addr4 from_sockaddr(const sockaddr_in& sa) {
    net_addr4 a{};
    a.family = AF_INET;
    a.port = sa.sin_port;
    a.addr = sa.sin_addr.s_addr;
    return a;
}
