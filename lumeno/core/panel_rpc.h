// The configuration sheet's RPC client of this machine's own services: one
// call without arguments (AUTH_NULL) to 127.0.0.1, and the decoding of the
// three lists the pages show (MOUNT DUMP and EXPORT, portmap DUMP). Every
// list is decoded by iteration, each length checked before it is used.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

enum : int {
    PANEL_RPC_XID = -1,          // the reply answers another call
    PANEL_RPC_NOT_REPLY = -2,
    PANEL_RPC_MISMATCH = -3,     // RPC version mismatch
    PANEL_RPC_AUTH = -4,         // authentication error
    PANEL_RPC_PROG_MISMATCH = -6,
    PANEL_RPC_PROG_UNAVAIL = -7,
    PANEL_RPC_PROC_UNAVAIL = -8,
    PANEL_RPC_OTHER = -9,        // any other accept status
    PANEL_RPC_SHORT = -10,       // fewer bytes than a reply holds
    PANEL_RPC_NO_ANSWER = -11,   // no socket, not sent, or no reply within 2 seconds
};
inline constexpr uint32_t kPanelRpcBufferSize = 8192;
inline constexpr uint32_t kRpcMount = 100005, kRpcPortmap = 100000;

// Judges a reply to the call of xid. Result: 1 with *result_offset the
// start of the result data (24), or one of the codes above.
int panel_rpc_check_reply(const uint8_t* reply, uint32_t size, uint32_t xid, uint32_t* result_offset);
// One call over UDP (tcp false) or TCP. Result: 1 with the result data, or a code.
int panel_rpc_query(uint32_t program, uint32_t version, uint32_t procedure, uint16_t port, bool tcp,
                    std::vector<uint8_t>* result);

struct panel_mount_row {
    std::string host, folder;
};
struct panel_portmap_row {
    uint32_t program, version, protocol, port;
};
struct panel_export_view_row {
    std::string folder, options, clients;
};
std::vector<panel_mount_row> panel_decode_mounts(const uint8_t* data, uint32_t size);
std::vector<panel_portmap_row> panel_decode_portmaps(const uint8_t* data, uint32_t size);
// Group names beginning with "-" are option words; the others clients
// (their column kept within 8191 characters). Each is followed by a blank.
std::vector<panel_export_view_row> panel_decode_exports(const uint8_t* data, uint32_t size);
// The PortMapper page's protocol column: "TCP", "UDP" or the number.
std::string panel_protocol_text(uint32_t protocol);
