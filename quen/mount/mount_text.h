// Texts the mount service shows in replies and log lines.
#pragma once
#include <cstdint>
#include <string>

// a.b.c.d of an IPv4 address in network order.
std::string dotted_ipv4(uint32_t address_net);
// The slash form of a Windows path (C:\dir is /c/dir); empty when it does not fit.
std::string client_path_form(const std::string& windows);
// The text in the Windows ANSI code page, as log lines carry paths; the
// UTF-8 form when it has no such form.
std::string ansi_text(const std::string& utf8);
// The name encoding a request asks for by its credential stamp: the client
// code page when the stamp is the "win10tag" setting, else UTF-8.
uint32_t request_name_encoding(uint32_t stamp);
