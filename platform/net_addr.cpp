// The address record in network byte order, the same on every system: its
// bytes are laid out by hand, so no system header is needed for it.
#include "platform/net.h"

#include <cstring>

namespace {

template <typename T>
T in_network_order(T host) {
    uint8_t bytes[sizeof(T)];
    for (size_t i = 0; i < sizeof(T); ++i) bytes[i] = uint8_t(host >> (8 * (sizeof(T) - 1 - i)));
    T out;
    std::memcpy(&out, bytes, sizeof out);
    return out;
}

template <typename T>
T in_host_order(T network) {
    uint8_t bytes[sizeof(T)];
    std::memcpy(bytes, &network, sizeof bytes);
    T out = 0;
    for (size_t i = 0; i < sizeof(T); ++i) out = T((out << 8) | bytes[i]);
    return out;
}

}  // namespace

net_addr4 net_make_addr(uint32_t addr, uint16_t port) {
    net_addr4 a{};
    a.family = 2;
    a.port = in_network_order(port);
    a.addr = in_network_order(addr);
    return a;
}
uint32_t net_addr_host(const net_addr4& a) { return in_host_order(a.addr); }
uint16_t net_port_host(const net_addr4& a) { return in_host_order(a.port); }
