#include "quen/control/control_commands.h"

#include "control_client/control_protocol.h"
#include "platform/file.h"
#include "quen/control/control_files.h"
#include "quen/control/control_lists.h"
#include "quen/config/settings.h"

#include <cstring>

static_assert(sizeof(server_config) == kControlSettingsSize);

namespace {

uint32_t reply_status(uint8_t* reply, uint32_t status) {
    control_put32(reply, status);
    return 4;
}

uint32_t get_settings(control_session&, const control_request&, uint8_t* reply) {
    std::memcpy(reply + kControlHeaderSize, &g_settings.record, kControlSettingsSize);
    return control_reply(reply, kControlSettingsSize);
}

// The running server keeps the values that sized its buffers, sockets and
// tables at start (a larger read size would overrun the message buffers
// made for the old one) and the facts it found about the system; the store
// gets the new values, which the next start reads.
server_config live_record(const server_config& received, const server_config& running) {
    server_config live = received;
    live.portmapper = running.portmapper;
    live.udp = running.udp;
    live.tcp = running.tcp;
    live.mount = running.mount;
    live.nlm = running.nlm;
    live.port = running.port;
    live.mount_port = running.mount_port;
    live.nlm_port = running.nlm_port;
    live.threads = running.threads;
    live.datasize = running.datasize;
    live.max_read = running.max_read;
    live.max_write = running.max_write;
    live.dir_reply_size = running.dir_reply_size;
    live.fh_size = running.fh_size;
    live.cache = running.cache;
    live.inode_reset = running.inode_reset;
    live.inode_check = running.inode_check;
    live.code_page = running.code_page;
    live.file_id = running.file_id;
    live.so_rcvbuf = running.so_rcvbuf;
    live.so_tcpbuf = running.so_tcpbuf;
    live.hard_links_available = running.hard_links_available;
    live.file_ids_available = running.file_ids_available;
    return live;
}

uint32_t set_settings(control_session&, const control_request& r, uint8_t* reply) {
    if (r.length != kControlSettingsSize) return reply_status(reply, CTL_SET_SETTINGS);
    server_config received;
    std::memcpy(&received, r.data, kControlSettingsSize);
    g_settings.record = live_record(received, g_settings.record);
    config_write_back(received);
    return reply_status(reply, CTL_OK);
}

uint32_t file_attributes(control_session&, const control_request& r, uint8_t* reply) {
    const char* path = control_text(r, 0);
    if (r.length == 0 || !path) return reply_status(reply, CTL_GET_FILE_ATTRIBUTES);
    control_put32(reply + kControlHeaderSize, wp_get_file_attributes(path));
    return control_reply(reply, 4);
}

enum control_right : uint8_t { ANYONE, ADMIN };

struct control_command {
    uint32_t code;
    control_right right;
    control_handler handler;
};

// Writing opens of CTL_OPEN_FILE check the right themselves.
constexpr control_command kCommands[] = {
    {CTL_GET_SETTINGS, ANYONE, get_settings},
    {CTL_SET_SETTINGS, ADMIN, set_settings},
    {CTL_GET_EXPORT, ANYONE, control_get_export},
    {CTL_GET_EXPORT_FOLDER, ANYONE, control_get_export_folder},
    {CTL_GET_EXPORT_NAME, ANYONE, control_get_export_name},
    {CTL_GET_EXPORT_CLIENTS, ANYONE, control_get_export_clients},
    {CTL_RELOAD_EXPORTS, ADMIN, control_reload_exports},
    {CTL_REMOVE_EXPORT, ADMIN, control_remove_export},
    {CTL_GET_FILE_ATTRIBUTES, ADMIN, file_attributes},
    {CTL_GET_MOUNT, ANYONE, control_get_mount},
    {CTL_REMOVE_MOUNT, ADMIN, control_remove_mount},
    {CTL_FIND_FIRST, ANYONE, control_find_first},
    {CTL_FIND_NEXT, ANYONE, control_find_next},
    {CTL_FIND_CLOSE, ANYONE, control_find_close},
    {CTL_OPEN_FILE, ANYONE, control_open_file},
    {CTL_CLOSE_FILE, ANYONE, control_close_file},
    {CTL_READ_LINE, ANYONE, control_read_line},
    {CTL_WRITE_FILE, ADMIN, control_write_file},
    {CTL_SHELL_MENU, ADMIN, control_shell_menu},
};

}  // namespace

uint32_t control_process(control_session& s, const uint8_t* message, uint32_t size, uint8_t* reply) {
    std::memset(reply, 0, kControlHeaderSize);
    if (size < kControlHeaderSize || size > kControlMessageMax) return reply_status(reply, CTL_UNKNOWN);
    control_request r{control_get32(message), control_get32(message + 4), message + kControlHeaderSize,
                      size - kControlHeaderSize};
    // The length word never reaches past the bytes that arrived.
    if (r.length > r.received) return reply_status(reply, CTL_UNKNOWN);
    for (const control_command& c : kCommands) {
        if (c.code != r.code) continue;
        if (c.right == ADMIN && !s.admin) return reply_status(reply, CTL_DENIED);
        const uint32_t n = c.handler(s, r, reply);
        return n <= kControlMessageMax ? n : reply_status(reply, r.code);
    }
    return reply_status(reply, CTL_UNKNOWN);
}

void control_session_close(control_session& s) {
    control_files_close_all(s);
}
