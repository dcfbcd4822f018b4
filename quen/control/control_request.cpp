#include "quen/control/control_request.h"

#include "control_client/control_protocol.h"

#include <cstring>

const char* control_text(const control_request& r, uint32_t offset) {
    if (offset >= r.length) return nullptr;
    const void* nul = std::memchr(r.data + offset, 0, r.length - offset);
    return nul ? reinterpret_cast<const char*>(r.data + offset) : nullptr;
}

uint32_t control_reply(uint8_t* reply, uint32_t length, uint32_t data_bytes) {
    control_put32(reply, CTL_OK);
    control_put32(reply + 4, length);
    return kControlHeaderSize + data_bytes;
}

uint32_t control_reply(uint8_t* reply, uint32_t length) { return control_reply(reply, length, length); }
