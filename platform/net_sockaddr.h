// net_addr4 and the system's sockaddr_in, the same on both backends (for
// their net.cpp only: it brings the socket headers along).
#pragma once
#include "platform/net.h"

#ifdef _WIN32
#include <winsock2.h>
#else
#include <netinet/in.h>
#endif

sockaddr_in to_sockaddr(const net_addr4& a);
net_addr4 from_sockaddr(const sockaddr_in& sa);
