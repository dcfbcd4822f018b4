#include "control_client/control_client.h"

#include "platform/pipe.h"

#include <cstring>

namespace {

struct request_buffer {
    uint8_t bytes[kControlMessageMax];
    uint32_t size = kControlHeaderSize;
};

// Starts a request; false when the data does not fit.
bool build(request_buffer& b, uint32_t code, uint32_t length, const void* data, uint32_t data_bytes) {
    if (data_bytes > kControlDataMax) return false;
    control_put32(b.bytes, code);
    control_put32(b.bytes + 4, length);
    if (data_bytes) std::memcpy(b.bytes + kControlHeaderSize, data, data_bytes);
    b.size = kControlHeaderSize + data_bytes;
    return true;
}

uint32_t reply_length(const control_client& c) { return control_get32(c.reply + 4); }

// A request with a 4-byte reference; -1, or the reply's size when its status is 0.
int with_ref(control_client& c, uint32_t code, uint32_t ref) {
    uint8_t data[4];
    control_put32(data, ref);
    return control_request(c, code, 4, data);
}

bool text_fits(const char* text, uint32_t max) { return std::strlen(text) < max; }

}  // namespace

void control_disconnect(control_client& c) {
    pipe_close(c.conn);
    c.conn = nullptr;
}

int control_transact(control_client& c, const void* message, uint32_t size) {
    if (!c.conn && !(c.conn = pipe_connect())) return -1;
    const int n = pipe_transact(c.conn, message, size, c.reply, sizeof c.reply);
    if (n < 0) {
        control_disconnect(c);
        return -1;
    }
    if (n < 4 || control_get32(c.reply) != CTL_OK) return 0;
    return n;
}

int control_request(control_client& c, uint32_t code, uint32_t length, const void* data) {
    request_buffer b;
    if (!build(b, code, length, data, data ? length : 0)) return 0;
    return control_transact(c, b.bytes, b.size);
}

int control_request_result(control_client& c, uint32_t code, uint32_t length, const void* data, uint32_t minimum,
                           void* result, uint32_t capacity) {
    const int n = control_request(c, code, length, data);
    if (n <= 0) return n;
    const uint32_t len = reply_length(c);
    if (n < 8 || len < minimum || uint32_t(n) < kControlHeaderSize + len || len > capacity) return 0;
    if (len) std::memcpy(result, c.reply + kControlHeaderSize, len);
    return 1;
}

int control_find_first(control_client& c, const char* pattern, uint32_t* search, control_find_data* found) {
    if (!text_fits(pattern, kControlDataMax)) return 0;
    const int n = control_request(c, CTL_FIND_FIRST, uint32_t(std::strlen(pattern) + 1), pattern);
    if (n != int(kControlFindReplySize)) return n < 0 ? -1 : 0;
    *search = control_get32(c.reply + kControlHeaderSize);
    std::memcpy(found, c.reply + kControlHeaderSize + 4, sizeof *found);
    return 1;
}

int control_find_next(control_client& c, uint32_t search, control_find_data* found) {
    const int n = with_ref(c, CTL_FIND_NEXT, search);
    if (n != int(kControlFindReplySize)) return n < 0 ? -1 : 0;
    std::memcpy(found, c.reply + kControlHeaderSize + 4, sizeof *found);
    return 1;
}

int control_find_close(control_client& c, uint32_t search) {
    const int n = with_ref(c, CTL_FIND_CLOSE, search);
    if (n != 8) return n < 0 ? -1 : 0;
    return reply_length(c) != 0 ? 1 : 0;
}

int control_open_file(control_client& c, const char* name, const char* mode, uint32_t* file) {
    const size_t a = std::strlen(name) + 1, b = std::strlen(mode) + 1;
    if (a + b > kControlDataMax) return 0;
    uint8_t data[kControlDataMax];
    std::memcpy(data, name, a);
    std::memcpy(data + a, mode, b);
    const int n = control_request(c, CTL_OPEN_FILE, uint32_t(a + b), data);
    if (n != 12) return n < 0 ? -1 : 0;
    *file = control_get32(c.reply + kControlHeaderSize);
    return *file != 0 ? 1 : 0;
}

int control_close_file(control_client& c, uint32_t file) {
    const int n = with_ref(c, CTL_CLOSE_FILE, file);
    if (n != 8) return n < 0 ? -1 : 0;
    return reply_length(c) == 0 ? 1 : 0;
}

int control_read_line(control_client& c, uint32_t file, char* out, uint32_t size) {
    const int n = with_ref(c, CTL_READ_LINE, file);
    if (n < 8) return n < 0 ? -1 : 0;
    const uint32_t len = reply_length(c);
    const uint8_t* text = c.reply + kControlHeaderSize;
    // The line with its NUL, exactly filling the reply.
    if (len == 0 || uint32_t(n) != kControlHeaderSize + len || len > size || text[len - 1] != 0) return 0;
    std::memcpy(out, text, len);
    return int(len);
}

int control_write_file(control_client& c, uint32_t file, const void* data, uint32_t count) {
    if (count > kControlDataMax - 4) return 0;
    uint8_t body[kControlDataMax];
    control_put32(body, file);
    std::memcpy(body + 4, data, count);
    request_buffer b;
    build(b, CTL_WRITE_FILE, count, body, count + 4);
    const int n = control_transact(c, b.bytes, b.size);
    if (n != 8) return n < 0 ? -1 : 0;
    return int(reply_length(c));
}

int control_shell_menu(control_client& c, const char* parent, const char* verb, const char* menu_text,
                       const char* command) {
    const char* texts[4] = {parent, verb, menu_text, menu_text ? command : nullptr};
    uint8_t data[kControlDataMax];
    uint32_t at = 8;
    for (int i = 0; i < 4; ++i) {
        const size_t len = texts[i] ? std::strlen(texts[i]) + 1 : 0;
        if (len > 0xFFFF || at + len > kControlDataMax) return 0;
        data[2 * i] = uint8_t(len);
        data[2 * i + 1] = uint8_t(len >> 8);
        if (len) std::memcpy(data + at, texts[i], len);
        at += uint32_t(len);
    }
    const int n = control_request(c, CTL_SHELL_MENU, at, data);
    if (n != 8) return n < 0 ? -1 : 0;
    return reply_length(c) != 0 ? 1 : 0;
}
