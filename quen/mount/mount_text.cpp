#include "quen/mount/mount_text.h"

#include "platform/codepage.h"
#include "quen/config/settings.h"
#include "quen/mount/mount_context.h"
#include "quen/inode/paths.h"

#include <cstdio>
#include <cstring>

std::string dotted_ipv4(uint32_t address_net) {
    const uint8_t* b = reinterpret_cast<const uint8_t*>(&address_net);
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return text;
}

std::string client_path_form(const std::string& windows) {
    char out[kPathSize];
    if (windows_path_to_nfs(windows.c_str(), out, sizeof out) == 0) return std::string();
    return out;
}

std::string ansi_text(const std::string& utf8) {
    char buf[2048];
    if (utf8.size() >= sizeof buf) return utf8;
    std::memcpy(buf, utf8.c_str(), utf8.size() + 1);
    if (utf8.empty() || utf8_to_codepage(0, buf, sizeof buf) == 0) return utf8;
    return buf;
}

uint32_t request_name_encoding(uint32_t stamp) {
    return stamp == g_settings.record.win10tag ? NAME_ENCODING_CODE_PAGE : NAME_ENCODING_UTF8;
}
